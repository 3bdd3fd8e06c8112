// The scan interface an embedding application (or the test driver) calls:
// start-up and shut-down, the scan entry points for decoded images and NV21
// camera frames, the choice of document type, and the passport path's
// reading of a located page. One document at a time, from one thread.
#pragma once
#include <opencv2/core.hpp>

#include "result.h"

// 1 after a vyrocr_init that passed every step, 0 before and after
// vyrocr_unInit (and while an init is running).
extern int g_init_ok;
// "vyrocr v3.5.0c-20231226"
extern const char* g_version_information;
// Document type of the following scans (the cert_type numbers): one of 0
// (automatic), 1, 3, 4, 7, 8, 9, 10, 11 or 12.
extern int g_scan_type;

// Visa-type letters of a visa MRZ (second character) and the printed
// category they stand for (first and second character; blank: none).
extern const char* visa_type_mrz;
extern const char* visa_type_item1;
extern const char* visa_type_item2;

// Loads everything a scan needs, in this order: nationality codes, the
// recognisers and text detectors ("ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p",
// "ocrv3_mrz.p", "boxv3.p", "det_mrz.p" with their dictionaries), the OCR-B
// template sheets, the face detector "fd4_2.p" and the card detector
// "card.p". device "opencl" (any case) lets the recognisers use the GPU;
// camera 1 is the new camera, 0 the old one. Whatever an earlier init loaded
// is released first. Returns 0, -1 for a missing directory or device string
// or an unknown camera (nothing changed then), or the code of the first step
// that failed (what loaded before it stays until vyrocr_unInit; the
// interface stays not ready).
int vyrocr_init(const char* models_dir, const char* device, int camera);

// Releases the face detector, the recognisers and text detectors, the line
// deskew records and the card detector; may be called at any time, repeatedly.
void vyrocr_unInit();

// Confidence counters back to 0, 0, 0, -1 and the working MRZ record emptied.
void vyrocr_reset();

// sum, min <- ocr_sum_conf, ocr_min_conf; pos_min <- pos_min_conf. Returns 0.
int vyrocr_conf(int& sum, int& min, int& pos_min);

// Sets the document type of the following scans: 0, 1, 3, 4, 7, 8, 9, 10, 11
// and 12 are kept, anything else becomes 0 (automatic). 1, 7, 8, 9, 10 and 12
// take the passport path, 3, 4 and 11 the card path, 0 the mixed path.
void vyrocr_set_scan_type(int type);

// Scans one image: 8-bit, 1 (grey), 3 (BGR) or 4 (BGRA) channels. The
// caller's record is cleared first. The frame is scaled to 1600 columns
// (heights rounded half away from zero); a result of 799 rows or fewer, or
// more than 16000 rows, an empty or unsupported image gives -7. -1 before a
// successful vyrocr_init or on an unexpected failure. Otherwise the path's
// code: 0 with the fields in `result`, -80 while the document moves, the
// location's or the reader's negative code. A scan that passes the size check
// replaces g_faceimg and g_cropimg. The int argument is not used.
int vyrocr_scan_mat(cv::Mat& image, int, OCR_RESULT& result);

// Scans an NV21 frame: width x height luma bytes, then the interleaved V/U
// plane, width x (height / 2) bytes, rows back to back. Width and height must
// be positive and even (-7 otherwise, and for a null buffer); the buffer must
// be that large. -1 before vyrocr_init. Then as vyrocr_scan_mat. The three
// int arguments after height are not used.
int vyrocr_scan_yuv(unsigned char* nv21, int width, int height, int, int, int, OCR_RESULT& result);

// The dispatcher and the two paths of this file (the card path is in card_main).
int vyrocr_scan_passport(cv::Mat& frame, OCR_RESULT& result);
int vyr_passport_scan(cv::Mat& page, OCR_RESULT& result);
int vyr_mixed_scan(cv::Mat& page, OCR_RESULT& result);

// Reads the segmented MRZ of a located page into result; for a visa issued
// by China also the printed visa number (add_id) and category, which is then
// brought into its standard form (normalize_visa_category). Crops the
// holder's photograph into g_faceimg (on success) and the page without its
// margin into g_cropimg (always). 0 or the MRZ reader's negative code (a
// failed visa reading is not one); 0 at once in locate-only mode.
int vyr_passport_result_analysis(cv::Mat& page, OCR_RESULT& result);

// Brings the category printed on a Chinese visa (category, NUL-terminated,
// at most 31 characters, rewritten in place) into the standard form for the
// MRZ visa-type letter mrz_letter: e.g. 'A' -> "W", 'P' -> "J2", 'J' -> "J1"
// unless "J2" was read, 'Q'/'S'/'X' with a digit read -> "Q2"; an unknown
// letter or '<' empties it.
void normalize_visa_category(char mrz_letter, char* category);
