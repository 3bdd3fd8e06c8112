// MRZ line search by text detection.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// Finds the two MRZ lines of a passport or visa page band (8-bit BGR, at least
// 600 columns) with the MRZ text detector. On success (0) lines is replaced by
// the two line rectangles in band pixels (classic angle convention), the upper
// line first; the second line is never taken from the first one's text line.
// On failure (-1) lines is left as it was: empty or too narrow a band, fewer
// than two long boxes on different lines, or lines too far apart to be
// neighbours.
int detectMrz(cv::Mat& band, std::vector<cv::RotatedRect>& lines);
