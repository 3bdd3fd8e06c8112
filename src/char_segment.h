// Character segmentation of binarised MRZ lines: stray-blob removal, repair of
// the box count, box shaping, and the two drivers that publish lines and boxes
// in the hand-over globals of global.h.
//
// Vocabulary shared by every operation here:
// - binarised line: 8-bit, one channel, ink 255 on 0, with the background
//   border that preprocess.h adds; R rows and C columns;
// - character box: cv::Rect in the pixels of that bordered line; a box list runs
//   from left to right and is changed in place;
// - count (int&): the length of the box list, kept equal to it by every
//   operation that changes the list;
// - document kind: 1 is a permit-card back (lines of 30 characters), any other
//   value a passport or visa page (36 or 44);
// - debug canvas and line name ("line1", "line2", "line3"): figures are drawn
//   on the canvas and shown in the window of that name only while
//   isDebugShow() is on and the canvas holds pixels; no operation waits for a
//   key.
//
// No operation here throws: degenerate boxes and images are left alone.
#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>

// Nominal character size of the current segmentation: 25 x 30 for permit-card
// lines, 26 x 33 for passports and visas. The drivers set them at every call.
extern int this_char_width;
extern int this_char_height;

// Result code of the one-line driver on every failure.
constexpr int kCharSegOneFailed = -4;

// ---- stray blobs ---------------------------------------------------------------

// Erases, in the band itself, every blob that keeps clear of the band edge
// next to the text: with mode 1 (a band above the text) the blobs whose lowest
// row lies above the band's last three rows, with any other mode (a band below
// the text) the blobs that start below the band's first three rows. Blobs are
// judged by their outer borders, so a kept character keeps the ink round its
// holes. An image that is not 8-bit with one channel is left alone.
void removeSmallContour(IplImage* band, int mode);

// Erases every blob whose outer border encloses less than minArea pixels.
void removeSmallAreaContour(IplImage* image, int minArea);

// ---- box-count repair ------------------------------------------------------------

// Drops up to two surplus boxes at the line's ends (31/32 -> 30 for kind 1,
// 45/46 -> 44 and 37/38 -> 36 otherwise) by their spacing, height and position,
// then joins overlapping narrow pairs with mergeTwoChar. Any other count
// returns at once.
void removeHeadAndTail(int kind, cv::Mat& line, int& count, std::vector<cv::Rect>& boxes,
                       cv::Mat& canvas, std::string name);

// Joins each overlapping pair of boxes whose widths sum to 37 or less into one;
// the walk resumes after a joined pair. The first argument is not read.
void mergeTwoChar(int kind, cv::Mat& line, int& count, std::vector<cv::Rect>& boxes,
                  cv::Mat& canvas, std::string name);

// Fills every gap of more than 1.8 box widths with one box, or with two when it
// spans more than 3.1 widths. New boxes take the top and height of their left
// neighbour; a gap too narrow to hold a box of width 1 gets none.
void addCharBox(int& count, std::vector<cv::Rect>& boxes, cv::Mat& canvas, std::string name);

// On a line exactly one box short (29 for kind 1, 35 or 43 otherwise) adds the
// missing box at the end with the wider margin, when that margin is 30 pixels
// or more and exceeds the other by more than 15. A box added at the tail is cut
// at the line's right edge. The name is not read.
void fixLessOne(int kind, int& count, cv::Mat& line, std::vector<cv::Rect>& boxes,
                cv::Mat& canvas, std::string name);

// ---- box shaping ------------------------------------------------------------------

// Gives each box lower than 25 (kind 1) or 28 rows a plausible height: from its
// left neighbour when their tops or bottoms agree, else from the ink in the
// line's central band. A box that the neighbour rule would push out of the
// line's vertical margins is left as it was.
void padTopBottom(int kind, cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                  std::string name);

// Re-splits each neighbouring pair with a gap of 10 pixels or more into two
// equal halves 4 pixels apart. Only the first `count` boxes (at most the list's
// length) are visited; the image is not read.
void fixHalfBox(int count, cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                std::string name);

// Aligns the top and height of every inner box that is out of line with its
// neighbours, then calls fixCharSegment2.
void fixCharSegment(cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                    std::string name);

// Fixes the height and width of the first and last boxes from their neighbours
// and re-measures short inner boxes on the ink around them. Needs two boxes.
void fixCharSegment2(cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                     std::string name);

// Ink probes on an 8-bit one-channel image (ink above 128). A rectangle is
// probed only when it lies clear of the last row and column, below row 0 and
// has a positive size.
// First inked row counted from the rectangle's top, or -1.
int searchTopPoint(cv::Mat& image, cv::Rect r);
// Last inked row counted from the rectangle's top; -1 without ink or for an
// empty rectangle, 0 for a rectangle at an image edge.
int searchBottomPoint(cv::Mat& image, cv::Rect r);
// Rightmost inked column counted from the rectangle's left, or 0.
int searchRightPoint(cv::Mat& image, cv::Rect r);
// Always 0.
int checkPosValid(int kind, cv::Mat& line, std::vector<cv::Rect>& boxes);

// Drops one end box of a line that still has 45 boxes: first by the gap next
// to it (9 pixels or more, head before tail), then, while 45 remain, by a top
// 9 or more rows above its neighbour's or a bottom 9 or more rows off (head,
// then tail). Any other count changes nothing.
void removeEdgeOf45(int& count, std::vector<cv::Rect>& boxes);

// ---- drivers --------------------------------------------------------------------------

// Segments the two binarised lines of one document (cleaned in place) into
// exactly one box per MRZ position and publishes them: g_posRect is emptied
// and g_line1, g_line2, g_line12 rewritten at every call; on success the
// per-line lists, the colour-line copies, the average character size and the
// ink-tight boxes follow (see posrect.h). sz1 and sz2 receive the counts
// (sz2 stays untouched when line 1 has no text band).
// Returns 0 on success, -1 when a line has no text band, a count is below 20,
// or the counts are not 30/30 (kind 1) or each 36 or 44.
int char_segment(int kind, cv::Mat& bin1, cv::Mat& bin2, cv::Mat& colour1, cv::Mat& colour2,
                 int& sz1, int& sz2);

// Segments the third line of the APEC card and publishes g_line3 (every call)
// and, on success, g_posRect3, g_posRect3_rgb and g_rapidRec_line_3. g_posRect
// is not touched. sz3 receives the count reached. Returns 0, or
// kCharSegOneFailed (-4) on every failure.
int char_segment_one(int kind, cv::Mat& bin, cv::Mat& colour, int& sz3);
