// Rendered Chinese visa pages (tools/render_pages.py --chn, tests/data/
// visa_pages) scanned end to end with the released models in both detect
// modes: the visa number and category come out exactly, other documents get
// neither, and a page without its red print gets no number. Skipped when
// models-release has not been built.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "test_scan_fixtures.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

const std::string kVisaPages = kData + "/visa_pages";
const char* const kNames[] = {"c01_bottom_clean", "c02_top_clean",          "c03_bottom_tilt_blur",
                              "c04_top_tilt_short", "c05_bottom_nine_digits", "c06_top_dark_small"};

class ChineseVisa : public ReleasedModels {
 protected:
  static int scan(cv::Mat img, int mode, OCR_RESULT& r) {
    FixedMode fixed(mode);
    return vyrocr_scan_mat(img, 1, r);
  }
};

TEST_F(ChineseVisa, NumberAndCategoryInBothDetectModes) {
  int index = 0;
  for (const char* name : kNames) {
    const Page p = loadPage(kVisaPages, name);
    ASSERT_EQ(p["kind"], "visa_chn") << name;
    for (int mode : {0, 1}) {
      // Under the sanitizer every other page, once, the modes alternating
      // (the NV21 test below scans a page of the other layout).
      if (underSanitizer() && (index % 2 != 0 || (index / 2 + mode) % 2 != 0)) continue;
      SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
      OCR_RESULT r;
      ASSERT_EQ(scan(readPage(p), mode, r), 0);
      expectFields(p, r);
      EXPECT_FALSE(std::string(r.add_id).empty());
    }
    ++index;
  }
}

TEST_F(ChineseVisa, AnNv21FrameKeepsTheRedPrint) {
  const Page p = loadPage(kVisaPages, "c02_top_clean");
  cv::Mat img = readPage(p);
  if (img.channels() == 1) cv::cvtColor(img, img, cv::COLOR_GRAY2BGR);
  std::vector<unsigned char> nv21 = toNV21(img);
  FixedMode fixed(1);
  OCR_RESULT r;
  ASSERT_EQ(vyrocr_scan_yuv(nv21.data(), img.cols, img.rows, 0, 0, 0, r), 0);
  expectFields(p, r);
}

TEST_F(ChineseVisa, WithoutRedPrintTheNumberStaysEmpty) {
  // A grey copy: nothing is red, so no number region passes its gate; the
  // category is the one the MRZ letter Q stands for, not the printed Q2.
  const Page p = loadPage(kVisaPages, "c01_bottom_clean");
  cv::Mat grey;
  cv::cvtColor(readPage(p), grey, cv::COLOR_BGR2GRAY);
  OCR_RESULT r;
  ASSERT_EQ(scan(grey, 0, r), 0);
  EXPECT_STREQ(r.add_id, "");
  EXPECT_STREQ(r.category, "Q");
  EXPECT_EQ(std::string(r.id), p["id"]);
}

TEST_F(ChineseVisa, OtherDocumentsGetNeither) {
  // A visa of another state, a passport, and a Chinese passport.
  for (const char* name : {"v01_a_clean", "p01_clean", "p14_chn"}) {
    SCOPED_TRACE(name);
    const Page& p = page(name);
    OCR_RESULT r;
    ASSERT_EQ(scan(readPage(p), 0, r), 0);
    EXPECT_STREQ(r.add_id, "");
    EXPECT_STREQ(r.category, "");
    EXPECT_EQ(std::string(r.mrz, 44), p["mrz1"]);
  }
}

}  // namespace
