// Helpers of the visa-page reading: the reset of the MRZ line deskew records,
// the back-mapping of a point of MRZ line 1 into the MRZ band, clamps of
// points and rectangles to an image, and the format checks of a Chinese
// visa's printed number and category.
#pragma once
#include <opencv2/core.hpp>

#include "nn/CrnnNet.h"

// Resets both MRZ line deskew records (size of line_rect, angle, mapping flag,
// crop and source offsets; line_rect's corner and the matrix stay) and
// empties the visa item's corner list. The visa reading's own copy of a
// record is not touched. Called at the start of every passport location and
// at shut-down; safe at any time.
void clearVisaIssueInfo();

// ---- MRZ-to-band mapping and clamps ---------------------------------------------

// Writes into *out where the point p of the bordered, binarised MRZ line 1
// (the frame of line 1's boxes in g_posRect) lies in the MRZ band, through
// g_get_issue_addr: minus g_line1_edge, plus the record's crop offsets,
// through its inverse matrix, minus its source offsets, plus line_rect's
// corner. A record without a 2 x 3 double matrix maps as the identity. The
// third argument is not read; a null out does nothing.
void get_roi_map_point(cv::Point2f p, cv::Point2f* out, float);

// Clamps *p into [0, W - 1] x [0, H - 1] (bounds inclusive).
void get_valid_point(cv::Point2f* p, cv::Size size);

// Clamps *r to a W x H image: x and y below 0 become 0 (the size is kept);
// a rectangle reaching column W - 1 or row H - 1 or beyond is cut to end
// before it (x + width <= W - 1, y + height <= H - 1).
void get_valid_rect(cv::Rect* r, cv::Size size);

// ---- checks of a read visa number or category -------------------------------------
// Symbols are counted by text->scores. Every finding is logged at level 0.

// Kinds 0 and 1 (number just above / high above the MRZ): 8 symbols, the
// first 2 (kind 0) or 1 (kind 1) letters or digits, the rest digits; kind 0
// first turns every letter O at positions 2 to 7 into the digit 0. Kind 4:
// 9 symbols, 2 leading letters or digits. Kinds 2 and 3 (category): one of
// "CDGZFMLRTW", or two symbols, the first of "QXSJ0" (0 becomes Q), the
// second of "12IZ" (I becomes 1, Z becomes 2). Any other kind (above 4 as an
// unsigned number) is accepted unseen. Repairs are written into text->text,
// also when the text is then rejected. A text of 100 bytes or more is
// rejected for kinds 0 to 4. A null text is rejected.
bool checkVisaText(TextLine* text, int kind);

// A nine-digit visa number: 9 symbols, all digits. Nothing is repaired.
bool checkVisaNo_Ext(TextLine* text);
