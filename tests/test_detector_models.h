// Helpers of the card and face detector tests: a temporary models directory
// holding fixture model files under the names the loaders expect, and a
// capture of the log lines a call prints.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace detector_test {

// Fixture model files (tools/make_detector_fixtures.py and
// tools/make_fixture_models.py).
inline std::string fixture(const std::string& name) {
  return std::string(VYR_TEST_DATA_DIR) + "/" + name;
}

class TempModelsDir {
 public:
  TempModelsDir() {
    char tmpl[] = "/tmp/vyr_detectors_XXXXXX";
    const char* made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "";
  }
  ~TempModelsDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempModelsDir(const TempModelsDir&) = delete;
  TempModelsDir& operator=(const TempModelsDir&) = delete;

  const std::string& path() const { return path_; }

  // Copies tests/data/<from> to <dir>/<name>; false when it cannot.
  bool put(const std::string& from, const std::string& name) const {
    std::error_code ec;
    std::filesystem::copy_file(fixture(from), path_ + "/" + name,
                               std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
  }

  // A subdirectory (created with its parents) as a models directory.
  std::string sub(const std::string& rel) const {
    std::error_code ec;
    std::filesystem::create_directories(path_ + "/" + rel, ec);
    return path_ + "/" + rel;
  }

 private:
  std::string path_;
};

// The standard output printed while f runs (the logger prints there).
inline std::string capture_log(const std::function<void()>& f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace detector_test
