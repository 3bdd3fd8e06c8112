// minAreaRect in the classic convention. OpenCV 4.5.1 and later return angles
// in (0, 90] with the sides swapped against the older [-90, 0) convention;
// every rule of this system about box angles (deskew, upright crops, card
// rectification) is written for the older one, so all code that reasons about
// a minimum-area rectangle's angle takes it from here.
#pragma once
#include <opencv2/core.hpp>

// Brings a rectangle with an angle in (0, 90] to [-90, 0): (w, h, a) becomes
// (h, w, a - 90). Angles of 0 or below are returned unchanged.
cv::RotatedRect toLegacyRect(const cv::RotatedRect& r);

// cv::minAreaRect followed by toLegacyRect. An empty point set gives an empty
// rectangle instead of an exception.
cv::RotatedRect minAreaRect34(cv::InputArray points);
