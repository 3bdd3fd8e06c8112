// Merging of overlapping rotated rectangles of one text line.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// Merges the rectangles of in into out (appended to, not cleared). Each
// rectangle of in with positive area is merged into every kept rectangle whose
// overlap with it is above thresh, or appended when it merged into none.
// Rectangles whose centres are more than 20 pixels apart vertically never merge.
void RR_NMS(std::vector<cv::RotatedRect>& in, std::vector<cv::RotatedRect>& out, double thresh);

// Intersection over union of a and b; 0 when they do not intersect, when their
// centres are more than 20 pixels apart vertically or when either has no area.
double rr_calculateIou(const cv::RotatedRect& a, const cv::RotatedRect& b);

// The minimum-area rectangle (classic angle convention) around both.
cv::RotatedRect rr_mergeRotatedRects(const cv::RotatedRect& r1, const cv::RotatedRect& r2);

// Draws the outlines of rects into img, 2 pixels wide.
void rr_drawRotatedRectangles(cv::Mat& img, const std::vector<cv::RotatedRect>& rects,
                              const cv::Scalar& color);
