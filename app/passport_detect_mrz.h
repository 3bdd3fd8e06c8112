// The MRZ band check: does the bottom band of a page hold the bar of a
// machine-readable zone, and has the document stopped moving? Character-sized
// MSER blobs are painted into a mask at half the band's scale (for a
// 1600-column band), the mask is closed horizontally so that the characters
// of a line merge into bars, and the centre of the longest bar of MRZ size
// goes to the motion gate.
#pragma once
#include <opencv2/core.hpp>

// 0 when the band holds an MRZ bar and the document did not move; mserMask
// then receives (a copy of) the blob mask, 8-bit, (cols / f) x (rows / f)
// with f = cols / 600. -1: no wide closed blob; -2: no blob of MRZ-bar size;
// -80: the bar moved more than 5 mask pixels since the previous check.
// -7 ("image size error") for a band that cannot be scaled: empty, narrower
// than 600 columns, too low for the working size, or not 8 bits per channel.
// On any nonzero result mserMask is left untouched.
int check_mrz_main(cv::Mat& band, cv::Mat& mserMask);

// The blob mask: MSER (delta, min and max area, max variation; 0.8 instead
// of the given variation when the grey image had to be brightened) on the
// Lab lightness of the small band, the boxes of regions with
// 0.25 < height / width < 4 filled with 255, scaled to the band's size
// divided by f. Only the size of `band` is read. The last argument is not
// read.
cv::Mat mrz_get_mser_region(cv::Mat& band, cv::Mat& small, float f, float delta, float minArea,
                            float maxArea, float maxVariation, int);

// Closes the blob mask with a kernelWidth x 1 rectangle and chooses the
// longest bar with 13 < short side < 120 and long side > 440; its centre goes
// to isMoved(0, ...). 0, -1, -2 or -80 as check_mrz_main. The image and the
// float argument are not read.
int mrz_detect_rect(cv::Mat& image, cv::Mat& mask, int kernelWidth, float);
