// Detect mode 0: the two MRZ lines of a band found by geometry on the band
// check's blob mask, chosen by size, deskewed in parallel and segmented.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "passport_visa.h"

// Line candidates: bars of the closed blob mask that are wide enough, as
// upright and as minimum-area rectangles (classic angle convention); entry i
// of both lists describes the same bar.
struct _myTextRect {
  std::vector<cv::Rect> bound_rects;
  std::vector<cv::RotatedRect> rotated_rects;
};

// Closes the mask (8-bit, one channel, non-zero on blobs) with a k x 1
// rectangle and returns every outer contour of more than 100 points whose
// bounding box is wider than tall, in contour order. An empty or unsuitable
// mask, or k < 1, gives an empty record.
_myTextRect detectLettersRect(cv::Mat& mask, int k);

// Orders points by x, smaller first.
bool comp_Point2f_x(cv::Point2f a, cv::Point2f b);

// Chooses the two MRZ lines among the candidates (sorting rotated_rects and
// possibly replacing its second entry by two joined pieces), cuts each out of
// the full-resolution band (reduced-band safe rectangle times scale) and
// deskews both at once, one per thread; line 1 keeps its mapping in
// g_rotated_struct[0], both entries get line_rect. Grey images with
// BGR2GRAY(color_mode). W is the reduced band's width.
// 0, or -2 "mrz none", -3 "mrz one", -5 "NO_SAFE_RECT", -6 "rotation error"
// (a line whose deskew box leaves its cut or whose deskew failed).
int checkLettersRect(cv::Mat& band, cv::Mat& reduced, _myTextRect& textRect, cv::Mat& line1_rgb,
                     cv::Mat& line2_rgb, cv::Mat& line1_gray, cv::Mat& line2_gray, float scale, int W,
                     int color_mode);

// Detect mode 0 on the band (8-bit BGR, on the scan path 1600 x 480) and the
// band check's blob mask: candidates with kernel 6 (20 when no pair is
// found), binarisation with C = 11 and segmentation; a failed split is
// retried once on the kernel-20 candidates. The deskew record of line 1 then
// describes the re-detected crop that was segmented. 0 on success; -7 for a
// band narrower than 600 columns; -1 for no rows or a failed split; the line
// check's code otherwise.
int charDtct(cv::Mat& band, cv::Mat& mask, cv::Mat& line1_rgb, cv::Mat& line2_rgb, cv::Mat& line1,
             cv::Mat& line2, int& sz1, int& sz2);

// rotation_visa2 under a second name.
bool rotation_visa(cv::Mat& input, cv::Mat& output, cv::Size size, cv::Point2f centre, double angle,
                   PASSPORT_ROTATED_STRUCT& record, bool keep);

// ---- helpers off the scan path ------------------------------------------------

// Mask of character boxes of an MRZ band (8-bit, BGR, BGRA or grey, at least
// 600 columns): MSER (delta 5, areas 8 to 100, variation 0.5) on the band
// shrunk to three quarters of its working size, grey by BGR2GRAY(grey_mode)
// for a colour band, every region box with 0.25 < height / width < 4 filled
// with 255, scaled to the working size (cols / k) x (rows / k), k = cols /
// 600. The band is only read. An empty mask for a band it cannot measure
// (narrower than 600 columns, not 8-bit, too small, unknown grey mode).
cv::Mat getMserRegion(cv::Mat& band, int grey_mode);

// Draws the outermost two rings of every rectangle, in list order, in the
// colour (255, 0, 0): white on a grey image, blue on a BGR one.
void addWhiteEdge(std::vector<cv::Rect>& rects, cv::Mat& image);

// The column interval between the outermost light lines of an 8-bit grey or
// BGR image: vertical strokes at least 51 high and at most 14 wide along
// which the brightness rises from left to right, outside large dark areas
// and the first 4 columns. {smallest right edge + 4, largest left edge - 4};
// {cols + 4, -4} when there is no such stroke, and for an image it cannot
// read (empty, not 8-bit, 2 channels). The image is only read.
std::vector<int> filterLightline(cv::Mat& image);
