// The two-line permit MRZ reader: the travel permits for Hong Kong/Macau
// residents (CR) and Taiwan residents (CT), two lines of 30 characters,
// segmented, template-matched by character class, re-read where it matters,
// checked item by item, with the holder's name decoded from its letter
// coding. An APEC card (CP) is handed on to card_scan_apec.h.
//
// Line 1: 0-1 document code, 2-10 card number (H or M first for CR), 11 its
// check digit, 15-20 expiry YYMMDD, 21 its check digit, 22 sex, 23-28 birth
// date YYMMDD, 29 its check digit. Line 2: 0-15 the name in letter coding,
// 18 the century of the birth date (A 18, B 19, C 20).
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// Binarises and segments MRZ lines 1 and 2 (8-bit BGR line images, left
// unchanged), clears card_result, inverts the merged line image for the
// template matcher and calls cardMatchOcr(card, g_posRect, card_result,
// line3). -1 when the segmentation does not give 2 x 30 boxes (card_result
// then cleared: status -1); otherwise cardMatchOcr's result, unchanged.
int getBackRslt2(cv::Mat card, cv::Mat line1, cv::Mat line2, cv::Mat line3);

// Reads the segmented permit MRZ whose boxes the segmentation published
// (`boxes` must hold the 60 boxes of g_posRect; only its size is read) into
// `result`. The working record is passport_ocr_result. `card` and the colour
// line-3 image `line3` are only handed to the APEC reader.
// 0: read and every item checked; `result` then holds status 1, cert_type 3
// (CR) or 4 (CT), the certificate name, id (card number without trailing
// fillers), name (the Chinese name in UTF-8), birthday (8 digits, century
// first), sex ("男"/"女"), valid_to (YYMMDD), category "其它", the 88-
// character MRZ text, mrz_type 2 and check_flags 1,1,1,0,0,1,0,0.
// Every failure returns before `result` is written:
// -62 not 60 boxes ("posRect size %d error"); -61 a template pass, or a
// position it left blank that the recognisers cannot read either;
// -63 the document code or the century letter cannot be re-read;
// -1003 a document code other than CR, CT or CP; -23 card number (for CR
// also a first character other than H or M); -35 sex; -21 birth date or a
// century letter other than A, B or C; -22 expiry; -38 name.
// A CP card returns cardMatchOcrApec's result.
int cardMatchOcr(cv::Mat& card, std::vector<cv::Rect>& boxes, OCR_RESULT& result, cv::Mat& line3);
