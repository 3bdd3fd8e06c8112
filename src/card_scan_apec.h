// The APEC business travel card MRZ reader: three lines of 30 characters.
//
// Line 1: 0-1 document code CP, 2-4 issuing state, 5-13 card number, 14 its
// check digit. Line 2: 0-5 birth date YYMMDD, 6 its check digit, 7 sex, 8-13
// expiry YYMMDD, 14 its check digit, 15-17 nationality. Line 3: the holder's
// name in Latin letters, "<" as separator and filler.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// Reads an APEC card whose lines 1 and 2 the permit reader (card_scan_pattern.h)
// has segmented and whose document code it has read: passport_ocr_result
// cleared with mrz_type 2 and "CP" at line-1 positions 0-1, and the hand-over
// globals of lines 1 and 2 published. `line3` is the colour third line (8-bit
// BGR, not modified); it is binarised and segmented here. `card` and `boxes`
// are not read.
// 0: read; `result` then holds what copy_ocr_result gives for the working
// record (id, nationality even when not in the code table, birthday and
// valid_to as YYMMDD, sex, issue_country, the 88-character MRZ text of lines 1
// and 2, mrz_type 2, mrz_state 0) and status 1, cert_type 11,
// certificate_name and category "APEC商务旅行卡", name_en the line-3 name with
// its fillers turned into blanks. name and check_flags are not written.
// Every failure returns before `result` is written:
// -62 line 3 not split into 30 boxes; -61 a template pass, or a position of
// lines 1 and 2 it left blank that the recognisers cannot read; -63 a re-read of
// the card number or of line-2 positions 6, 14 or 29; -35 sex; -21 birth
// date; -22 expiry; -23 card number; -34 issuing state; -38 name.
int cardMatchOcrApec(cv::Mat& card, std::vector<cv::Rect>& boxes, OCR_RESULT& result, cv::Mat& line3);

// Characters per line of the MRZ layout code of passport_ocr_result: 36 for
// 1, 30 for 2, 44 for every other value.
int get_line_total(int mrzType);
