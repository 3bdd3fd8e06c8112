// Projection segmentation of one MRZ text line into character boxes.
//
// The line image is 8-bit with one channel; a pixel below 128 is ink. The
// drivers pass the inverse of a binarised line (ink 0 on 255) with a white
// border of at least 20 pixels. Boxes are cv::Rect in the pixels of the image
// given, appended to the caller's list from left to right; no function here
// clears a list, keeps state, logs or shows a window.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// A run of consecutive rows or columns of a profile: start is its first index,
// end the index where it stops (normally the first index after the run).
struct CRange {
  int start;
  int end;
};

// Orders runs by length (end - start).
bool operator<(const CRange& a, const CRange& b);

// Chooses the band of rows that holds the text, from the rises and falls of the
// per-row transition counts, and splits it with horizonseg. Returns -1 (list
// untouched) when no band is found, else 0 whatever horizonseg produced: judge
// the result by the number of boxes.
int charseg(cv::Mat& line, std::vector<cv::Rect>& boxes);

// Splits the band of rows `band` of the image into character boxes: one box
// per column run of the typical width, runs far wider than that cut into
// slices, each box trimmed to its ink with clipChar. Returns 0 when every box
// was appended, -1 when the band has fewer than 8 column runs or a box cannot
// be placed inside the image; a failure appends nothing.
int horizonseg(cv::Mat& image, cv::Rect band, std::vector<cv::Rect>& boxes);

// The box with its top row and height trimmed to the longest vertical run of
// ink (2 rows above it, 3 below); columns unchanged. Rows outside the image
// count as empty.
cv::Rect clipChar(cv::Mat& image, cv::Rect box);

// Splits an image holding two text lines: the boxes of the lower line are
// appended first, then those of the upper line. Returns -1 as soon as one line
// fails in horizonseg (the lower line's boxes stay), else 0.
int twolineseg(cv::Mat& image, std::vector<cv::Rect>& boxes);

// Splits a one-line image with a band chosen from its heaviest row run.
// Always returns 0: judge the result by the number of boxes.
int charseg_card(cv::Mat& image, std::vector<cv::Rect>& boxes);

// Vertical trim from 2 rows above the first inked row to 2 rows below the last
// one. The top row is not clamped: ink in the image's first two rows gives a
// negative top. A box without ink comes back with top y + height - 2 and
// height 4.
cv::Rect clipChar1(cv::Mat& image, cv::Rect box);
