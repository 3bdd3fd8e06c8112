// Permit card reading: the entry of the back side (line selection, document
// crop, hand-over to the MRZ readers of card_scan_pattern.h and
// card_scan_apec.h). The photo-side reader and the older back-side reader
// belong to this topic too.
//
// Cards handled: the mainland travel permits for Hong Kong/Macau residents
// (document code CR) and Taiwan residents (CT), two MRZ lines of 30, and the
// APEC business travel card (CP), three lines of 30. Results go into the
// library's card record card_result; the scan interface copies it out.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// ---- back side ------------------------------------------------------------------

// Reads the back side of a permit card.
// - card: the rectified card, 8-bit BGR, not modified.
// - lines: the candidate text-line boxes found on that card (card pixels);
//   widened and sorted by their top edge in place.
// - oldCamera: 1 for the old camera generation (isOldCamera()), any other
//   value for the new one; it chooses the document crop only.
// Empties the texts of card_result, selects the three MRZ lines (the lowest
// three long lines of the card), replaces g_cropimg by the card region
// measured from the top line (old camera: from 45 px left of and 428 px above
// it, at most 1000 x 630; new: 50 px and 362 px, at most 870 x 544), and hands
// the lines to getBackRslt2.
// Returns getBackRslt2's result: 0 with card_result filled (status 1), or a
// negative code (-1 no three lines, a card image that is not 8-bit BGR, or
// a failed segmentation; -61, -62, -63, -1003, -21, -22, -23, -34, -35,
// -38 from the readers). A failure never leaves card_result with status 1.
int rapidocr_back(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera);

// Empties the texts of card_result: the first byte of each of the 20 text
// fields becomes 0 and mrz_type 0; status, cert_type, check_flags and
// mrz_state keep their values.
void clearResult2();

// Selects the three MRZ lines of a card back among `boxes`, on an image of
// image.rows x image.cols (only the size is read).
// Every box is widened in place (x - 5, y - 2, width + 10, height + 4, cut to
// end at least one pixel before the right and bottom edges), then the list
// is sorted by its top edge, boxes with equal tops keeping their order. A
// line is a widened box at least 651 x 26 whose top lies below 0.6 x rows.
// 0 when exactly three lines were found: they are appended to `selected`,
// top line first. -1 otherwise, with nothing appended (an empty list stays
// unchanged, fewer than three boxes are widened but not sorted).
int rectSelect2(cv::Mat& image, std::vector<cv::Rect>& boxes, std::vector<cv::Rect>& selected);
