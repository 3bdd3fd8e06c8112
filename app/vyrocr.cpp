#include "vyrocr.h"

#include <strings.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "card_main.h"
#include "fixed_text.h"
#include "getfaceimage.h"
#include "global.h"
#include "matchocr.h"
#include "passport_locate2.h"
#include "passport_scan.h"
#include "passport_visa.h"
#include "passport_visa_utils.h"
#include "scrfd.h"
#include "test_ocr_result.h"
#include "verify.h"
#include "vyr_crnn.h"
#include "vyr_log.h"
#include "detect/centerface.h"
#include "utils.h"

int g_init_ok = 0;
const char* g_version_information = "vyrocr v3.5.0c-20231226";
int g_scan_type = 0;

const char* visa_type_mrz = "ACDEFGLMRTUWXYZQPJXS";
const char* visa_type_item1 = "WCDEFGLMRTUWXYZQJJXS";
const char* visa_type_item2 = "                21  ";

namespace {

constexpr int kWorkWidth = 1600;
constexpr int kMinWorkRows = 800;
// Frames of extreme aspect would be enlarged to gigabytes; a page is never
// ten times higher than wide.
constexpr int kMaxWorkRows = 16000;

// Stored scan type per argument 0..12.
constexpr int kScanTypeTable[13] = {0, 1, 0, 3, 4, 0, 0, 7, 8, 9, 10, 11, 12};

bool isPassportType(int t) { return t == 1 || t == 7 || t == 8 || t == 9 || t == 10 || t == 12; }
bool isCardType(int t) { return t == 3 || t == 4 || t == 11; }

int elapsedMs(double t0) { return static_cast<int>(vyr_get_current_time() - t0); }


// The release sequence of shut-down; every step skips what does not exist.
void releaseAll() {
  match_unInit();
  unload_model_centerface();
  uninit_crnn();
  g_init_ok = 0;
  clearVisaIssueInfo();
  uninit_card_ai();
}

// The working frame: 8-bit BGR, 1600 columns. 0, or -7 for an image that
// cannot become one (empty, unsupported type, or a height out of range).
int workingFrame(cv::Mat& image, cv::Mat& frame) {
  if (image.empty() || image.dims != 2 || image.depth() != CV_8U) return -7;
  cv::Mat bgr;
  switch (image.channels()) {
    case 3:
      bgr = image;
      break;
    case 1:
      cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
      break;
    case 4:
      cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
      break;
    default:
      return -7;
  }
  if (bgr.cols == kWorkWidth) {
    frame = bgr;
  } else {
    const double s = bgr.cols / static_cast<double>(kWorkWidth);
    const double w = std::round(bgr.cols / s);
    const double h = std::round(bgr.rows / s);
    if (h > kMaxWorkRows || h < 1 || w < 1) return -7;
    cv::resize(bgr, frame, cv::Size(static_cast<int>(w), static_cast<int>(h)), 0, 0, cv::INTER_LINEAR);
  }
  if (frame.rows > kMaxWorkRows || frame.rows < kMinWorkRows) return -7;
  return 0;
}

}  // namespace

// ---- start-up and shut-down ------------------------------------------------------

int vyrocr_init(const char* models_dir, const char* device, int camera) {
  vyr_log(1, "version: %s", g_version_information);
  if (models_dir == nullptr || device == nullptr) {
    vyr_log(1, "vyrocr_init: models directory or device missing");
    return -1;
  }
  if (camera != 0 && camera != 1) {
    vyr_log(1, "vyrocr_init: isNewCamera=%d is not support", camera);
    return -1;
  }
  // A repeated start-up replaces what an earlier one loaded; the interface
  // is not ready again until every step has passed.
  releaseAll();

  if (camera == 1) {
    vyr_log(1, ">>>> isNewCamera <<<<\n");
    setTotalCount(19, 28, 1);
  } else {
    vyr_log(1, ">>>> isOldCamera <<<<\n");
    setTotalCount(24, 34, 0);
  }
  init_ncode_map();

  std::string dir(models_dir);
  const int option = strcasecmp(device, "opencl") == 0 ? 1 : 0;
  int r = init_crnn(&dir[0], option);
  if (r != 0) {
    vyr_log(1, "===> init1 fail <===  %d", r);
    return r;
  }
  vyr_log(1, "init 1 pass.");
  r = match_init(dir.c_str());
  if (r != 0) {
    vyr_log(1, "===> init2 fail <===  %d", r);
    return r;
  }
  vyr_log(1, "init 2 pass.");
  r = vyr_face_init2(dir.c_str());
  if (r != 0) {
    vyr_log(1, "===> init3 fail <===  %d", r);
    return r;
  }
  vyr_log(1, "init 3 pass.");
  r = init_card_ai(dir.c_str());
  if (r != 0) {
    vyr_log(1, "===> init5 fail <===  %d", r);
    return r;
  }
  vyr_log(1, "init 5 pass.");

  vyr_log(1, ">>>> init success <<<<");
  std::memset(&g_next_frame, 0, sizeof(g_next_frame));
  g_init_ok = 1;
  return 0;
}

void vyrocr_unInit() { releaseAll(); }

void vyrocr_reset() {
  ocr_mean_conf = 0;
  ocr_min_conf = 0;
  pos_min_conf = -1;
  ocr_sum_conf = 0;
  clearResult();
}

int vyrocr_conf(int& sum, int& min, int& pos_min) {
  sum = ocr_sum_conf;
  min = ocr_min_conf;
  pos_min = pos_min_conf;
  return 0;
}

// ---- scan entry -------------------------------------------------------------------

void vyrocr_set_scan_type(int type) {
  g_scan_type = (type >= 0 && type <= 12) ? kScanTypeTable[type] : 0;
  vyr_log(0, "set_scan_type = %d", type);
  g_detect_mode = 0;
  append_test_info_item("vyrocr_set_scan_type: ", g_scan_type);
}

int vyrocr_scan_mat(cv::Mat& image, int, OCR_RESULT& result) {
  clearOcrResult(result);
  if (g_init_ok != 1) {
    vyr_log(1, "vyrocr_init first!");
    vyr_log(1, "ocr return = %d", -1);
    return -1;
  }
  int r = -1;
  try {
    cv::Mat frame;
    r = workingFrame(image, frame);
    if (r != 0) {
      vyr_log(1, "image size invalid.");
    } else {
      g_cropimg.release();
      g_faceimg.release();
      r = vyrocr_scan_passport(frame, result);
      if (r == 0) {
        g_next_frame.has_point = 0;
        g_detect_mode = 0;
      }
    }
  } catch (const cv::Exception& e) {
    vyr_log(1, "vyrocr_scan_mat: %s", e.what());
    r = -1;
  } catch (const std::exception& e) {
    vyr_log(1, "vyrocr_scan_mat: %s", e.what());
    r = -1;
  }
  vyr_log(1, "ocr return = %d", r);
  return r;
}

int vyrocr_scan_yuv(unsigned char* nv21, int width, int height, int, int, int, OCR_RESULT& result) {
  if (g_init_ok != 1) {
    clearOcrResult(result);
    vyr_log(1, "vyrocr_init first!");
    return -1;
  }
  // The buffer's length cannot be checked; its shape can.
  const int64_t bytes = static_cast<int64_t>(width) * (static_cast<int64_t>(height) + height / 2);
  if (nv21 == nullptr || width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0 || bytes > INT32_MAX) {
    clearOcrResult(result);
    vyr_log(1, "image size invalid.");
    vyr_log(1, "ocr return = %d", -7);
    return -7;
  }
  cv::Mat bgr;
  try {
    const cv::Mat yuv(height + height / 2, width, CV_8UC1, nv21);
    cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV21);
  } catch (const cv::Exception& e) {
    clearOcrResult(result);
    vyr_log(1, "vyrocr_scan_yuv: %s", e.what());
    vyr_log(1, "ocr return = %d", -1);
    return -1;
  }
  return vyrocr_scan_mat(bgr, 0, result);
}

int vyrocr_scan_passport(cv::Mat& frame, OCR_RESULT& result) {
  if (g_init_ok != 1) {
    vyr_log(1, "vyrocr_init first!");
    return -1;
  }
  if (isPassportType(g_scan_type)) {
    vyr_log(0, "-----------CERTIFICATE_TYPE_PASSPORT/VISA/RESIDENT-----------\n");
    return vyr_passport_scan(frame, result);
  }
  if (isCardType(g_scan_type)) {
    vyr_log(0, "-----------CERTIFICATE_TYPE_FROM_HM/TW-----------\n");
    return vyr_card_scan(frame, result);
  }
  vyr_log(0, "-----------CERTIFICATE_TYPE_DEFAULT-----------\n");
  return vyr_mixed_scan(frame, result);
}

int vyr_passport_scan(cv::Mat& page, OCR_RESULT& result) {
  append_test_info_item("vyr_passport_scan: ", TEST_INFO_NO_VALUE);
  const double t0 = vyr_get_current_time();
  int sz1 = 0;
  int sz2 = 0;
  int r = passport_location(page, sz1, sz2);
  if (r == 0) r = vyr_passport_result_analysis(page, result);
  vyr_log(0, "vyr_passport_scan: %.3f ms", vyr_get_current_time() - t0);
  append_test_info_item("vyr_passport_scan: ", elapsedMs(t0));
  return r;
}

int vyr_mixed_scan(cv::Mat& page, OCR_RESULT& result) {
  append_test_info_item("vyr_mixed_scan: ", TEST_INFO_NO_VALUE);
  const double t0 = vyr_get_current_time();
  int sz1 = 0;
  int sz2 = 0;
  int r = passport_location(page, sz1, sz2);
  if (r < 0) {
    r = vyr_card_scan(page, result);
  } else if (r == 0) {
    r = vyr_passport_result_analysis(page, result);
  } else {
    vyr_log(0, "error");
    r = -1;
  }
  vyr_log(0, "vyr_mixed_scan: %.3f ms", vyr_get_current_time() - t0);
  append_test_info_item("vyr_mixed_scan: ", elapsedMs(t0));
  return r;
}

// ---- passport result analysis --------------------------------------------------------

void normalize_visa_category(char c, char* category) {
  if (category == nullptr) return;
  char text[32];
  vyr::copy_text(text, category);
  const std::size_t n = std::strlen(text);
  const char* at = (c != '\0' && c != '<') ? std::strchr(visa_type_mrz, c) : nullptr;
  const int k = at ? static_cast<int>(at - visa_type_mrz) : -1;

  std::string out;
  if (n <= 1) {
    if (k >= 0) {
      out.push_back(visa_type_item1[k]);
      if (visa_type_item2[k] != ' ') out.push_back(visa_type_item2[k]);
    }
  } else {
    const char t0 = text[0];
    const char t1 = text[1];
    if (c == 'J' && t0 == 'J' && (t1 == '1' || t1 == '2')) {
      out.assign(text, 2);
    } else if (k < 0) {
      out.clear();
    } else {
      out.assign(text);
      out[0] = visa_type_item1[k];
      if (visa_type_item2[k] != ' ') {
        out = std::string(1, visa_type_item1[k]) + visa_type_item2[k];
      } else if (c != 'Q' && c != 'S' && c != 'X') {
        out = std::string(1, visa_type_item1[k]);
      } else if (t0 == c && (t1 == '1' || t1 == '2')) {
        out.resize(2);
      }
    }
  }
  vyr::copy_text(category, 32, out.c_str());
}

int vyr_passport_result_analysis(cv::Mat& page, OCR_RESULT& result) {
  if (g_scan_none == 1) return 0;
  cv::bitwise_not(g_line12, g_line12_2);
  const int r = passportMatchOcr2(page, g_posRect, result);
  if (r >= 0) {
    if (passport_ocr_result.mrz[0] == 'V' && std::strncmp(passport_ocr_result.issue_country, "CHN", 3) == 0) {
      // The visa number and category are printed on the page, not in the
      // MRZ; a failed reading is not an error of the scan, and the MRZ's
      // visa-type letter still gives the category.
      get_visa_issue_info(page, result);
      normalize_visa_category(passport_ocr_result.mrz[1], result.category);
      vyr_log(0, "-------------support visa------------\n");
    }
    print_passport_result(result);
    cv::Mat face;
    if (getPassportFaceImage(page, face) == 0) {
      g_faceimg = face.clone();
      debugShow("face", g_faceimg);
    }
  }
  const cv::Rect crop = isNewCamera() == 1 ? cv::Rect(120, 50, page.cols - 240, page.rows - 100)
                                           : cv::Rect(40, 40, page.cols - 80, page.rows - 80);
  const cv::Rect inside = crop & cv::Rect(0, 0, page.cols, page.rows);
  if (inside.area() > 0) g_cropimg = page(inside).clone();
  return r;
}
