// The passport and visa MRZ reader: two segmented lines of 44 or 36
// characters are matched, re-read where doubtful, verified item by item and
// copied into the caller's result record.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// Result codes of passportMatchOcr2 besides 0 (read, verified and copied).
enum {
  MRZ_ERR_GENERIC = -1,         // an unexpected failure inside the reader
  MRZ_ERR_BIRTHDAY = -21,       // date of birth
  MRZ_ERR_EXPIRY = -22,         // date of expiry
  MRZ_ERR_DOC_NO = -23,         // document number or one of its re-reads
  MRZ_ERR_NATIONALITY = -34,    // nationality
  MRZ_ERR_SEX = -35,            // sex re-read, or neither 'M' nor 'F'
  MRZ_ERR_OPTION = -36,         // optional data (never for a visa)
  MRZ_ERR_COMPOSITE = -37,      // composite check (never for a visa)
  MRZ_ERR_NAME = -38,           // name
  MRZ_ERR_MATCH = -61,          // a template-matching pass
  MRZ_ERR_BOX_COUNT = -62,      // neither 72 nor 88 character boxes
  MRZ_ERR_HEAD = -63,           // document head, issuing state or composite re-read
  MRZ_ERR_UNSUPPORTED = -1003,  // document code not supported
};

// Reads the segmented MRZ whose character boxes are `boxes` (only their
// number is used: 88 for two lines of 44, 72 for two lines of 36). Matching
// works on the published hand-over images g_line12_2 / g_posRect_no_blank,
// re-reading on g_rapidRec_line_1/2 with g_posRect1_rgb/g_posRect2_rgb;
// `image` is not read. Fills passport_ocr_result and, from the copy on, `res`:
// the fields of the record copy, the name (res.name for a letter-coded Chinese
// name, res.name_en for a Latin one), and for some Chinese documents a
// category and an additional number. Returns 0 or a code above.
int passportMatchOcr2(cv::Mat& image, std::vector<cv::Rect>& boxes, OCR_RESULT& res);

// Re-reads the name field of line 1 (colour line `line`, its boxes `boxes`)
// into passport_ocr_result.mrz. 0 when read; the name reader's negative code;
// -1 when the re-read of line-1 positions 41-44 failed; -37 for a document
// code other than P, R, S, T and V.
int passportCrnnOcr2_line1(cv::Mat& line, std::vector<cv::Rect>& boxes);
