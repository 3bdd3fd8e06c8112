// Small helpers of the driver tests: a temporary working directory, file
// reading and writing, and stdout capture.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace driver_test {

namespace fs = std::filesystem;

// Creates a fresh directory and makes it the working directory for the
// lifetime of the object.
class TempCwd {
 public:
  TempCwd() {
    char tmpl[] = "/tmp/vyr_driver_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "";
    old_ = fs::current_path();
    if (!path_.empty()) fs::current_path(path_);
  }
  ~TempCwd() {
    std::error_code ec;
    fs::current_path(old_, ec);
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempCwd(const TempCwd&) = delete;
  TempCwd& operator=(const TempCwd&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  fs::path old_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

inline std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline void copy_into(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// A models directory as vyrocr_init loads it, from the fixture models: the
// untrained recognisers with their dictionaries, the DB-like text detector,
// the face and card detectors and the OCR-B sheets the build renders.
inline void fill_models_dir(const std::string& m) {
  const std::string data = VYR_TEST_DATA_DIR;
  for (const char* n : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p"})
    copy_into(data + "/crnn/crnn45.p", m + "/" + n);
  for (const char* n : {"boxv3.p", "det_mrz.p"}) copy_into(data + "/models/db_fixture.p", m + "/" + n);
  for (const char* n : {"ocrv3_en.txt", "ocrv3_mrz.txt", "ocrv3_cn.txt"})
    copy_into(data + "/crnn/" + n, m + "/" + n);
  copy_into(data + "/detectors/face_fixture.p", m + "/fd4_2.p");
  copy_into(data + "/detectors/card_fixture.p", m + "/card.p");
  for (int size : {24, 26, 28, 30, 32, 34}) {
    const std::string sheet = "ocrb_" + std::to_string(size) + ".png";
    copy_into(std::string(VYR_MODELS_DIR) + "/" + sheet, m + "/" + sheet);
  }
}

}  // namespace driver_test
