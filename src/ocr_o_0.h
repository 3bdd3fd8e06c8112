// Letter O versus digit 0. OCR-B draws both as closed ovals, so the template
// matcher and the recognisers confuse them. This topic holds the image test
// that looks at one character, and the repairs that decide the O/0 of an MRZ
// item that fails its check digit from the characters around them, the
// issuing state and check-digit trials.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// ---- image test ---------------------------------------------------------------

// More points first: the order that puts the longest contour first.
bool cmpSize(std::vector<cv::Point> a, std::vector<cv::Point> b);

// Decides from the image of one character whether it shows the letter O (1)
// or the digit 0 (0); -1 when it cannot decide (empty image, no usable
// contour, fewer than 10 contour points, an ellipse smaller than 8 square
// pixels, or an image it cannot process). A colour image (BGR or BGRA) is
// smoothed and binarised with an inverted adaptive mean threshold; a
// single-channel image is taken as already binarised with ink 255. With
// `open` the binarised image is opened 3 x 3 first. The ink is thinned, an
// ellipse is fitted to the skeleton's longest outer contour, and the share of
// contour points lying on the drawn ellipse decides (see decide_o_0). The
// repair of the document number passes 0.55, 0.2466, 1.71 and false.
int distinguish_o_0(const cv::Mat& image, float t1, float t2, float t3, bool open);

// The decision of distinguish_o_0 from its three measures: `share` of contour
// points on the ellipse (at least t1 + 0.05 is O, below t1 - 0.05 is 0), then
// the `areaRatio` of contour area to pi * h * w (at least t2 + 0.0002 is O,
// below t2 - 0.0002 is 0), then the ellipse's height-to-width ratio (up to t3
// is O, above it 0). Comparisons are made in double precision.
int decide_o_0(float share, double areaRatio, float heightToWidth, float t1, float t2, float t3);

// ---- substring tests ------------------------------------------------------------

// True when the len characters of s from index start on are each '<', 'O' or
// a digit (isNumericSubstring) or '<', 'O' or a letter of either case
// (isLetterSubstring); true for len 0. False when start or len is negative,
// start lies beyond the end of s, or fewer than len characters follow it.
bool isNumericSubstring(const char* s, int start, int len);
bool isLetterSubstring(const char* s, int start, int len);

// ---- repairs ----------------------------------------------------------------------

// Both repairs work on the item text[start] .. text[start + len - 1] of an MRZ
// text (line 2 from index 44); the character after the item is its check
// digit, read but never changed. Only 'O' and '0' before the item's trailing
// '<' run are examined and changed. The repaired characters are written back
// into `text` in any case, and into `out` only when the repaired item passes
// its check digit. The result is true when something changed and the item
// passes. `text` and `out` may be the same buffer.

// Repair of an item such as the optional data: trials of the check digit
// decide between the candidates that the neighbouring characters allow.
bool correctDiy_o0(char* text, char* out, int start, int len);

// Repair of the document number (line 2, positions 0 to 8): decides from the
// neighbouring characters, the Korean and Singaporean number rules and the
// image test of the character's box `boxes[k]` in `line` (the colour image of
// MRZ line 2); only the final check-digit trial is run. A box that lies partly
// outside `line` is cut to the image; an empty cut leaves the image test
// undecided.
bool correctPassportid_o0(char* text, char* out, cv::Mat& line, std::vector<cv::Rect>& boxes,
                          int start, int len);
