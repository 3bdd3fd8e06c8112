// Second opinions on template-matched MRZ characters: re-reading one position
// or a run of positions of a line with the text-line recognisers, and the
// geometry that cuts characters out of a colour line image.
//
// MRZ texts here follow the layout of PASSPORT_OCR_RESULT::mrz: line 1 from
// index 0, line 2 from index 44. Box i of a list is the box of character i of
// its line, in the frame of that line's colour image.
#pragma once
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "nn/CrnnNet.h"

// ---- recogniser seam ------------------------------------------------------------

// Every re-read of this subsystem goes through reread_mrz (the MRZ recogniser)
// and reread_en_v3 (the English version-3 recogniser). By default they call
// crnn_extract_mrz and crnn_extract_en_v3; a host or a test may install its
// own readers, e.g. to script the answers. An empty function restores the
// default.
using RecogniserFn = std::function<TextLine(const cv::Mat& image, char mode)>;
void set_reread_recognisers(RecogniserFn mrz, RecogniserFn en_v3);
TextLine reread_mrz(const cv::Mat& image, char mode);
TextLine reread_en_v3(const cv::Mat& image, char mode);

// ---- geometry ---------------------------------------------------------------------

// The region of `box` grown by 4 pixels on each side and clipped to the image:
// a view that shares the image's pixels. Empty when nothing of it lies inside.
cv::Mat getRectImage(cv::Mat& image, cv::Rect box);

// The rectangle of the run of boxes first..last of a line of `count` boxes:
// from boxes[first].x - min(leftMargin, 7) to just before the next box
// (boxes[last + 1].x - rightMargin), or to the image's right edge when the run
// ends on box count - 1; vertically over boxes 0..last with the top and bottom
// margins; clipped to the image. An empty rectangle when the arguments do not
// name boxes of the list (including box last + 1 where needed) or the result
// has no area.
cv::Rect cropCharRect(std::vector<cv::Rect> boxes, int count, int first, int last, int imageWidth,
                      int imageHeight, int leftMargin, int rightMargin, int topMargin,
                      int bottomMargin);

// As cropCharRect with the left edge half a box left of box 0 and fixed
// margins (2 right, 4 above and below). Not on the scan path.
cv::Rect minRect(std::vector<cv::Rect> boxes, int count, int last, int imageWidth, int imageHeight);

// ---- re-reading -------------------------------------------------------------------

// Equal, or both among 'O' and '0'.
bool check_eq(char a, char b);

// Re-reads the character at `position` of MRZ line `line` (1 or 2) with the
// MRZ recogniser and, when it disagrees with the text, the English one; writes
// a reading both agree on (O and 0 count as agreeing). 0 when the text stands
// or was repaired; -1 when the recognisers neither confirm nor repair it, for
// a line other than 1 or 2 and for a box that is not in the list or not in the
// image (the text is then unchanged).
int ocr_one_char(cv::Mat& image, std::vector<cv::Rect>& boxes, int line, char* text, int position,
                 char mode);

// Re-reads `count` positions from `start` of MRZ line `line` (1 or 2) with one
// MRZ-recogniser call on the whole run, and asks the English recogniser about
// each position where that reading disagrees with the text. 0 when every
// position was confirmed or repaired, -1 at the first one that could not be
// settled (earlier repairs stay), for a bad line number and for a run outside
// the box list or the image (text unchanged).
int ocr_chars(cv::Mat& image, std::vector<cv::Rect>& boxes, int line, char* text, int start,
              int count, char mode);

// ocr_chars on a published colour line: 1 is g_rapidRec_line_1 with
// g_posRect1_rgb, 2 is g_rapidRec_line_2 with g_posRect2_rgb; -1 for any other
// line number.
int ocr_line_chars(int line, char* text, int start, int count, char mode);

// Template matching leaves a position blank when its box holds too little
// ink to match, and no MRZ character is a blank. Re-reads every blank
// position of MRZ lines 1 and 2 (text index p of line 1, 44 + p of line 2)
// one by one from the published colour lines, in the class that `format`
// gives it (one letter per position, line 1 then line 2, `lineLength`
// each; X counts as O). 0 when no blank is left; -1 at the first position
// the recognisers leave blank or cannot settle (earlier repairs stay).
int reread_blanks(const char* format, char* text, int lineLength);

// ---- helpers not on the scan path ----------------------------------------------------

// Pads a recognised line to the n characters of `pattern`, inserting fillers
// where the pattern has '<' and the reading lost them; scores follow. 0 on
// success, -1 (line unchanged) when the reading does not fit.
int fix_text_line(TextLine& line, char* pattern, int n);

// strcmp of the non-filler characters of a and of the first n characters of b.
int verifyLine1(char* a, char* b, int n);

// Sets a[i] to '<' wherever b[i] is '<' and a[i] is not, for i < n.
void fixLine1(char* a, char* b, int n);

// The number of trailing fillers of s[0..n-1], looked at down to index 4.
int endof_right(char* s, int n);
