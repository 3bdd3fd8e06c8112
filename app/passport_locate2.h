// Passport page location: the driver that cuts the MRZ band of a page, checks
// it and runs the current detect mode; the line deskew shared by both detect
// modes; and the detect-mode driver that finds the lines with the text
// detector.
#pragma once
#include <opencv2/core.hpp>

#include "passport_visa.h"

// Locates and segments the two MRZ lines of a page (8-bit BGR, on the scan
// path 1600 columns and at least 800 rows). The band searched is page rows
// rows - 481 to rows - 2. Resets the line deskew records first. Results:
// 0 located and segmented (in locate-only mode: the band check passed);
// -1, -2, -80 the band check's result (the detect mode is not advanced);
// -7 a page under 481 rows or 600 columns, or not 8 bits per channel;
// anything else the detect-mode driver's result. After a driver ran, the
// detect mode advances (0 -> 1, any other value -> 0) unless it is fixed.
// sz1 and sz2 receive the character counts from the driver only.
int passport_location(cv::Mat& page, int& sz1, int& sz2);

// Deskews the cut-out `input` around one MRZ line into a new image `output`
// of the input's type. size is the line rectangle's size (width along the
// line), centre its centre in the cut-out, angle its angle in the classic
// rotated-rectangle convention (degrees). A nearly level line is cut upright
// without rotation; otherwise the cut-out is rotated about the line's lowest
// corner onto a canvas that holds all of it, and the crop's height is
// corrected when the line's bottom edge runs out of the cut-out. With keep
// set and no mapping stored yet, the record receives the inverse mapping,
// the centred-crop offsets and the angle (never line_rect).
// False, with output and record untouched, for an empty input, a size or a
// resulting crop without width or height, or an image the crop cannot take.
bool rotation_visa2(cv::Mat& input, cv::Mat& output, cv::Size size, cv::Point2f centre, double angle,
                    PASSPORT_ROTATED_STRUCT& record, bool keep);

// A copy of image with the rotated rectangle drawn in red and its pivot
// corner marked (c0 for a negative angle, c3 otherwise). Debug aid.
cv::Mat drawRotatedRect(cv::Mat& image, cv::Size size, cv::Point2f centre, double angle);

// Detect modes 1 and 2: the two MRZ lines of the band (8-bit BGR, on the scan
// path 1600 x 480) found with the MRZ text detector, cut out, deskewed (line
// 1 keeps its mapping in g_rotated_struct[0]), binarised with C = 17 and
// segmented; a failed split is retried with C = 25 and 11, the larger first
// when a line had more than 44 boxes. 0 on success; -7 for a band narrower
// than 600 columns; -1 for no rows, no pair of lines, a failed deskew or a
// split that failed three times.
int charDtct2(cv::Mat& band, cv::Mat& line1_rgb, cv::Mat& line2_rgb, cv::Mat& line1, cv::Mat& line2,
              int& sz1, int& sz2);
