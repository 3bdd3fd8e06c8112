// Process-wide state of the library: mode flags, the motion-gate memory, the
// hand-over images and boxes of one scan, the crops of the last scan and the
// counters of the scan interface. One document is scanned at a time, from
// one thread; nothing here is locked.
#pragma once
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// ---- mode flags -------------------------------------------------------------
extern int g_new_camera;        // 1 new camera, 0 old one
extern int g_debug_show;        // 1 shows intermediate images in windows
extern int g_set_detect_mode;   // fixed detect mode + 1; 0 lets it alternate
extern int g_detect_mode;       // 0 geometric MRZ location, else text detector
extern int g_scan_none;         // 1: locate only, do not read
extern int CUT_SIZE;            // rows of the bottom band searched for the MRZ
extern int CHAR_TEMPLATE_WIDTH;
extern int CHAR_TEMPLATE_HEIGHT;
extern int g_total_count;

// ---- motion gate --------------------------------------------------------------
struct NEXT_FRAME {
  int32_t has_point;
  float card_x, card_y;  // slot 1 (card path)
  float mrz_x, mrz_y;    // any other slot (passport path)
};
extern NEXT_FRAME g_next_frame;

// ---- hand-over of one scan ------------------------------------------------------
extern std::vector<cv::Rect> g_posRect;       // all boxes, in the g_line12 frame
extern std::vector<cv::Rect> g_posRect1;      // line 1, bordered line, before repair
extern std::vector<cv::Rect> g_posRect2;      // line 2, bordered line, before repair
extern std::vector<cv::Rect> g_posRect3;      // line 3 (APEC card)
extern std::vector<cv::Rect> g_posRect1_rgb;  // repaired, colour-line frame
extern std::vector<cv::Rect> g_posRect2_rgb;
extern std::vector<cv::Rect> g_posRect3_rgb;
extern std::vector<cv::Rect> g_posRect_no_blank;   // g_posRect shrunk to ink
extern std::vector<cv::Rect> g_posRect3_no_blank;
extern cv::Mat g_line12;    // both inverted bordered lines side by side
extern cv::Mat g_line12_2;  // inverse of g_line12
extern cv::Mat g_line1, g_line2, g_line3;  // binarised bordered lines
extern cv::Mat g_rapidRec_line_1, g_rapidRec_line_2, g_rapidRec_line_3;  // colour lines
extern int g_line1_edge, g_line2_edge, g_line3_edge;  // border widths
extern int g_aCharWidth, g_aCharHeight;               // average pitch and height

// ---- crops of the last scan ---------------------------------------------------
extern cv::Mat g_cropimg;  // document crop
extern cv::Mat g_faceimg;  // holder's photograph

// ---- result records -------------------------------------------------------------
extern PASSPORT_OCR_RESULT passport_ocr_result;
extern OCR_RESULT card_result;

// ---- format strings of the card readers ------------------------------------------
// One class letter per character box, line 1 then line 2 (the APEC card's
// third line alone in lineformat_line3): L letter or filler, N digit or
// filler, O letter, digit or filler, X matched by no pass of that format.
extern const char* lineformat_90_head;  // permit: the document code, line-1 positions 0-1
extern const char* lineformat_60;       // permit: everything but line-1 positions 0-2
extern const char* lineformat_60_L;     // permit: line-1 position 2 as a letter (R)
extern const char* lineformat_60_N;     // permit: line-1 position 2 as a digit (T)
extern const char* lineformat_90;       // APEC card, lines 1 and 2
extern const char* lineformat_line3;    // APEC card, line 3

// ---- counters of the scan interface (nothing in the library updates them) --------
extern int ocr_sum_conf;
extern int ocr_min_conf;
extern int pos_min_conf;
extern int ocr_mean_conf;
extern int ocr_min_conf1;
extern int pos_min_conf1;
extern int ocr_conf[88];

// ---- accessors --------------------------------------------------------------------
void setTotalCount(int width, int height, int camera);
int isNewCamera();
int isOldCamera();
bool isDebugShow();
void setDebugShow(int show);
void setDetectMode(int mode);
int getDetectMode();

// Wall-clock milliseconds since the epoch, microsecond resolution.
double vyr_get_current_time();
