#include "global.h"

#include <sys/time.h>

int g_new_camera = 1;
int g_debug_show = 0;
int g_set_detect_mode = 0;
int g_detect_mode = 0;
int g_scan_none = 0;
int CUT_SIZE = 480;
int CHAR_TEMPLATE_WIDTH = 0;
int CHAR_TEMPLATE_HEIGHT = 0;
int g_total_count = 0;

NEXT_FRAME g_next_frame = {0, 0.f, 0.f, 0.f, 0.f};

std::vector<cv::Rect> g_posRect;
std::vector<cv::Rect> g_posRect1;
std::vector<cv::Rect> g_posRect2;
std::vector<cv::Rect> g_posRect3;
std::vector<cv::Rect> g_posRect1_rgb;
std::vector<cv::Rect> g_posRect2_rgb;
std::vector<cv::Rect> g_posRect3_rgb;
std::vector<cv::Rect> g_posRect_no_blank;
std::vector<cv::Rect> g_posRect3_no_blank;
cv::Mat g_line12;
cv::Mat g_line12_2;
cv::Mat g_line1, g_line2, g_line3;
cv::Mat g_rapidRec_line_1, g_rapidRec_line_2, g_rapidRec_line_3;
int g_line1_edge = 0, g_line2_edge = 0, g_line3_edge = 0;
int g_aCharWidth = 0, g_aCharHeight = 0;

cv::Mat g_cropimg;
cv::Mat g_faceimg;

PASSPORT_OCR_RESULT passport_ocr_result = {};
OCR_RESULT card_result = {};

const char* lineformat_90_head = "LLXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
const char* lineformat_60 = "XXXNNNNNNNNNNNNNNNNNNNLNNNNNNNLLLLLLLLLLLLLLLLLLLLNNNNNNNNNN";
const char* lineformat_60_L = "XXLXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
const char* lineformat_60_N = "XXNXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
const char* lineformat_90 = "XXLLLNNNNNNNNNNNNNLLLOOOOOOOOONNNNNNNLNNNNNNNLLLNNNNNNNNNNNN";
const char* lineformat_line3 = "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLL";

int ocr_sum_conf = 0;
int ocr_min_conf = 0;
int pos_min_conf = -1;
int ocr_mean_conf = 0;
int ocr_min_conf1 = 0;
int pos_min_conf1 = -1;
int ocr_conf[88] = {0};

void setTotalCount(int width, int height, int camera) {
  CHAR_TEMPLATE_HEIGHT = height;
  g_total_count = width * height;
  g_new_camera = camera;
  CHAR_TEMPLATE_WIDTH = width;
}

int isNewCamera() { return g_new_camera; }
int isOldCamera() { return g_new_camera <= 0 ? 1 : 0; }
bool isDebugShow() { return g_debug_show == 1; }
void setDebugShow(int show) { g_debug_show = show; }
void setDetectMode(int mode) { g_set_detect_mode = mode; }
int getDetectMode() { return g_set_detect_mode; }

double vyr_get_current_time() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) * 1000.0 + static_cast<double>(tv.tv_usec) / 1000.0;
}
