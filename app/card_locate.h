// Text lines of a located card: the title line that levels the photo side,
// and the text lines of the back side, which is levelled and turned upright
// on the way so that its line boxes and the card image share one frame.
//
// Both sides work on a half-size grey copy of the card; every box that
// leaves this topic is in full-resolution card pixels. Old-camera flags: 1 is
// the old camera, any other value the new one.
#pragma once
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

// The levelling angle of a text line from its minimum-area rectangle in the
// classic [-90, 0) convention: the angle, plus 90 when it is below -45.
float lineDeskewAngle(const cv::RotatedRect& classicRect);

// ---- photo side ---------------------------------------------------------------

// Size limits of the title line search, in half-size pixels.
struct FrontTitleLimits {
  int charHeight;    // an MSER box must be lower than this
  int closeWidth;    // width of the closing element (height 2)
  int lineLength;    // a line's long side must exceed this
  int lineThickness; // and its short side this
};
// 28, 50, 65, 17 for the old camera (1); 25, 40, 60, 15 otherwise.
FrontTitleLimits frontTitleLimits(int oldCamera);

// The part of the half-size card blanked around the photograph: the face
// rectangle (full-resolution card pixels) grown by 50 left and right, 80 above
// and 90 below, halved and clipped to a gray_cols x gray_rows image. Empty
// when the face has no area or nothing of it lies inside.
cv::Rect frontPhotoBlank(const cv::Rect& face, int gray_cols, int gray_rows);

// Levels the photo side by its title line: the topmost line of MSER
// characters in the upper left part (65 % x 30 %) of the card, with the
// photograph blanked. Rotates card in place by the line's angle (not when it
// is 0) and returns 0; -1 when no line qualifies (card unchanged). lines and
// cardClass are accepted and not used.
int check_and_rotated_card_front(cv::Mat& card, cv::Rect face, std::vector<cv::Rect>& lines, int cardClass,
                                 int oldCamera);

// ---- back side ----------------------------------------------------------------

// Long-line width of the back side in full-resolution pixels: 830 for the old
// camera (1), 730 otherwise.
int backLongLineWidth(int oldCamera);

// Finds the back side's text lines: MSER with maximum variation 0.37, once
// more with 0.9 when that fails. On 0, lines holds the boxes of the upper part
// followed by at least three long lines aligned on one left edge and width,
// and card has been levelled and, when it lay upside down, turned by 180
// degrees. -1 otherwise (card unchanged). Logs its time and adds it to the
// test-info line in every case.
int detectLettersRect_back(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera);

// One attempt of detectLettersRect_back on the half-size grey card gray with
// the given detector; boxes are multiplied by scale. 0, -1 (also for an empty
// or not 8-bit grey image), or the failure of process_indeterminacy_rect_back.
int lineSelect_back(cv::Mat& card, cv::Mat& gray, std::vector<cv::Rect>& lines, cv::Ptr<cv::MSER>& mser,
                    int scale, int oldCamera);

// Aligns the back's long lines: every left edge moves to the leftmost one (at
// most x 100) with the right edge kept, every width grows to the widest, and
// a line 51 or more high becomes 30 high (its top kept).
void alignLongLines(std::vector<cv::Rect>& longRects);

// Builds a third long line when exactly two were found: splits a box taller
// than heightLimit into halves, or joins the uncertain boxes between the two
// lines (or, when the lines are neighbours, a run of boxes just above or just
// below them). The new box is appended when it is wider than widthLimit / 2.
// 0 (with or without a new box), or -1 when nothing can be built.
int process_indeterminacy_rect_back(std::vector<cv::Rect>& longRects, std::vector<cv::Rect>& indeterminacy_rect,
                                    int heightLimit, int widthLimit);
