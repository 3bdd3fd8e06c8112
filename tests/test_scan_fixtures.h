// Fixtures of the scan-interface and page-location tests: a models directory
// assembled from the fixture models, the rendered pages of tests/data/pages
// with their expected fields, a recogniser stand-in that answers what is
// printed under each crop, and log capture.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "encode.h"
#include "global.h"
#include "model_file.h"
#include "scan_utils.h"
#include "vyr_log.h"
#include "vyrocr.h"

namespace scanfx {

namespace fs = std::filesystem;

inline const std::string kData = VYR_TEST_DATA_DIR;

// ---- files ----------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vyr_scan_XXXXXX";
    const char* p = ::mkdtemp(tmpl);
    path_ = p ? p : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<unsigned char> readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

// Wraps a network body into an enciphered model-file container.
inline bool writeContainer(const std::string& path, std::vector<unsigned char> body) {
  if (body.empty()) return false;
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  head.magic = kModelMagic;
  std::memcpy(head.v, "0300", 4);
  head.e = 1;
  std::strncpy(head.id, "scan", sizeof(head.id));
  if (encode_model_body(body.data(), static_cast<long>(body.size()), head) != 0) return false;
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(&head), sizeof(head));
  f.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  return static_cast<bool>(f);
}

// A models directory as vyrocr_init expects it, from the fixture models: the
// untrained recognisers, a stub box detector, a DB-like MRZ line detector
// that marks lines of dark glyphs (so the text-detector mode can find the
// lines of a page), the face and card fixtures, the dictionaries and the
// OCR-B template sheets that the build renders.
class ModelsDir {
 public:
  ModelsDir() {
    ok_ = !dir_.path().empty();
    for (const char* n : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p"}) copy("/crnn/crnn45.p", n);
    copy("/crnn/db_stub.p", "boxv3.p");
    for (const char* n : {"ocrv3_en.txt", "ocrv3_mrz.txt", "ocrv3_cn.txt"}) copy(std::string("/crnn/") + n, n);
    copy("/models/face_fixture.p", "fd4_2.p");
    copy("/models/card_fixture.p", "card.p");
    ok_ = ok_ && writeContainer(dir_.file("det_mrz.p"), readBytes(kData + "/textdet/db_ink.onnx"));
    for (int size : {24, 26, 28, 30, 32, 34}) {
      const std::string name = "ocrb_" + std::to_string(size) + ".png";
      std::error_code ec;
      fs::copy_file(std::string(VYR_MODELS_DIR) + "/" + name, dir_.file(name), ec);
      ok_ = ok_ && !ec;
    }
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  void copy(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::copy_file(kData + from, dir_.file(to), fs::copy_options::overwrite_existing, ec);
    ok_ = ok_ && !ec;
  }
  TempDir dir_;
  bool ok_ = false;
};

// ---- rendered pages ------------------------------------------------------------------

struct Page {
  std::string name;
  std::string dir = kData + "/pages";
  std::map<std::string, std::string> expected;
  std::string file() const { return dir + "/" + name + ".png"; }
  const std::string& operator[](const std::string& key) const {
    static const std::string none;
    auto it = expected.find(key);
    return it == expected.end() ? none : it->second;
  }
};

// One page of `dir` with its truth ("key:value" lines of <name>.txt).
inline Page loadPage(const std::string& dir, const std::string& name) {
  Page p;
  p.name = name;
  p.dir = dir;
  std::ifstream f(dir + "/" + name + ".txt");
  std::string line;
  while (std::getline(f, line)) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) p.expected[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return p;
}

// Every page of tests/data/pages, in name order.
inline std::vector<Page> loadPages() {
  std::vector<Page> pages;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kData + "/pages", ec))
    if (entry.path().extension() == ".txt") pages.push_back(loadPage(kData + "/pages", entry.path().stem().string()));
  std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) { return a.name < b.name; });
  return pages;
}

inline cv::Mat readPage(const Page& p) { return cv::imread(p.file(), cv::IMREAD_UNCHANGED); }

// An NV21 frame of a BGR image with even sides.
inline std::vector<unsigned char> toNV21(const cv::Mat& bgr) {
  cv::Mat i420;
  cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
  const int w = bgr.cols, h = bgr.rows;
  std::vector<unsigned char> out(static_cast<std::size_t>(w) * h * 3 / 2);
  std::memcpy(out.data(), i420.data, static_cast<std::size_t>(w) * h);
  const unsigned char* u = i420.data + static_cast<std::size_t>(w) * h;
  const unsigned char* v = u + static_cast<std::size_t>(w) * h / 4;
  unsigned char* vu = out.data() + static_cast<std::size_t>(w) * h;
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h / 4; ++i) {
    vu[2 * i] = v[i];
    vu[2 * i + 1] = u[i];
  }
  return out;
}

// ---- recogniser stand-in ------------------------------------------------------------

// The fixture recognisers are untrained. This stand-in answers every re-read
// with the characters printed under the crop: it finds the line by the crop's
// parent image and the characters by the published colour-line boxes whose
// centres the crop covers. A mode of 'N' still answers letters: the stand-in
// reads, it does not guess. Installed through the reader's seam while alive.
class TruthRecognisers {
 public:
  TruthRecognisers(const std::string& line1, const std::string& line2) : truth_{line1, line2} {
    set_reread_recognisers([this](const cv::Mat& m, char) { return answer(m); },
                           [this](const cv::Mat& m, char) { return answer(m); });
  }
  ~TruthRecognisers() { set_reread_recognisers(nullptr, nullptr); }
  TruthRecognisers(const TruthRecognisers&) = delete;
  TruthRecognisers& operator=(const TruthRecognisers&) = delete;
  int calls() const { return calls_; }

 private:
  TextLine answer(const cv::Mat& img) {
    ++calls_;
    TextLine t;
    if (img.empty()) return t;
    int line = -1;
    if (img.datastart == g_rapidRec_line_1.datastart) line = 0;
    if (img.datastart == g_rapidRec_line_2.datastart) line = 1;
    if (line < 0) return t;
    const std::vector<cv::Rect>& boxes = line == 0 ? g_posRect1_rgb : g_posRect2_rgb;
    cv::Size whole;
    cv::Point ofs;
    img.locateROI(whole, ofs);
    for (std::size_t i = 0; i < boxes.size() && i < truth_[line].size(); ++i) {
      const int centre = boxes[i].x + boxes[i].width / 2;
      if (centre >= ofs.x && centre < ofs.x + img.cols) t.text.push_back(truth_[line][i]);
    }
    t.scores.assign(t.text.size(), 0.99f);
    return t;
  }
  std::string truth_[2];
  int calls_ = 0;
};

// ---- scanning the pages -------------------------------------------------------------

// A test environment that starts the scan interface on a fixture models
// directory (new camera, quiet log) and shuts it down at the end.
class ScanEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    models() = new ModelsDir();
    ASSERT_TRUE(models()->ok());
    vyr_set_log_dummy(1);
    ASSERT_EQ(vyrocr_init(models()->path().c_str(), "", 1), 0);
  }
  void TearDown() override {
    vyrocr_unInit();
    delete models();
    models() = nullptr;
  }
  static ModelsDir*& models() {
    static ModelsDir* dir = nullptr;
    return dir;
  }
};

inline const std::vector<Page>& pages() {
  static const std::vector<Page> all = loadPages();
  return all;
}

inline const Page& page(const std::string& name) {
  for (const Page& p : pages())
    if (p.name == name) return p;
  static const Page none;
  ADD_FAILURE() << "no page " << name;
  return none;
}

// The MRZ text of a result: line 1 from index 0, line 2 from index 44, each
// filled up with blanks.
inline std::string mrzText(const Page& p) {
  std::string l1 = p["mrz1"], l2 = p["mrz2"];
  l1.resize(44, ' ');
  l2.resize(44, ' ');
  return l1 + l2;
}

// Every text field of a successful scan of page p.
inline void expectFields(const Page& p, const OCR_RESULT& r) {
  const bool passport = p["kind"] == "passport";
  EXPECT_EQ(r.cert_type, passport ? 1 : 7);
  EXPECT_STREQ(r.certificate_name, passport ? "护照" : "签证");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::string(r.mrz), mrzText(p));
  EXPECT_EQ(r.mrz_type, p["mrz1"].size() == 44 ? 0 : 1);
  EXPECT_EQ(std::string(r.id), p["id"]);
  EXPECT_EQ(std::string(r.name_en), p["name_en"]);
  EXPECT_STREQ(r.name, "");
  EXPECT_EQ(std::string(r.nationality), p["nationality"]);
  EXPECT_EQ(std::string(r.birthday), p["birthday"]);
  EXPECT_STREQ(r.sex, p["sex"] == "M" ? "男" : "女");
  EXPECT_EQ(std::string(r.valid_to), p["valid_to"]);
  EXPECT_EQ(std::string(r.issue_country), p["issue_country"]);
  // A Chinese visa's printed number and category, or the category its MRZ
  // letter stands for; empty for every other document of these pages.
  EXPECT_EQ(std::string(r.add_id), p["add_id"]);
  EXPECT_EQ(std::string(r.category), p["category"]);
  // Not on the MRZ.
  for (const char* empty : {r.ethnicity, r.address, r.birth_at, r.valid_from, r.issue_date, r.issue_by,
                            r.issue_at, r.issue_count})
    EXPECT_STREQ(empty, "");
}

// Rows of the working frame a page becomes.
inline int workRows(const cv::Mat& img) { return static_cast<int>(std::round(img.rows * 1600.0 / img.cols)); }

// The models directory tools/build_models.sh writes, and whether it exists.
inline const std::string kReleaseDir = std::string(VYR_SOURCE_DIR) + "/models-release";
inline bool releasedModelsBuilt() {
  std::error_code ec;
  return fs::exists(kReleaseDir + "/ocrv3_mrz.p", ec);
}

// A suite that starts the scan interface on the whole released models
// directory, face and card detectors included (new camera, quiet log). Its
// tests are skipped when the directory has not been built.
class ReleasedModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!releasedModelsBuilt()) return;
    vyr_set_log_dummy(1);
    initCode() = vyrocr_init(kReleaseDir.c_str(), "", 1);
  }
  static void TearDownTestSuite() { vyrocr_unInit(); }
  void SetUp() override {
    if (!releasedModelsBuilt()) GTEST_SKIP() << "models-release not built";
    ASSERT_EQ(initCode(), 0);
  }
  static int& initCode() {
    static int code = -1;
    return code;
  }
};

// Fixed detect mode `mode` (0 geometry, 1 text detector), passport path.
class FixedMode {
 public:
  explicit FixedMode(int mode, int scanType = 1) {
    setDetectMode(mode + 1);
    vyrocr_set_scan_type(scanType);
  }
  ~FixedMode() {
    setDetectMode(0);
    vyrocr_set_scan_type(0);
  }
};


// ---- log capture -------------------------------------------------------------------

// Standard output goes to /dev/null while alive: start-up logs its steps and
// every scan its result at level 1, which would fill a benchmark's report.
class Silence {
 public:
  Silence() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
  ~Silence() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      ::dup2(saved_, STDOUT_FILENO);
      ::close(saved_);
    }
  }
  Silence(const Silence&) = delete;
  Silence& operator=(const Silence&) = delete;

 private:
  int saved_ = -1;
};

inline std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

// Position of needle in hay at or after `from`, npos when missing.
inline std::size_t after(const std::string& hay, const std::string& needle, std::size_t from) {
  return from == std::string::npos ? std::string::npos : hay.find(needle, from);
}

// True when built with AddressSanitizer: the end-to-end tests then scan a
// subset of the pages (every page still in at least one detect mode).
inline bool underSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

}  // namespace scanfx
