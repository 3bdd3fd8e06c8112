// Image, geometry and colour helpers shared by the location, segmentation and
// reading stages, and the motion gate of both scan paths.
//
// Conventions: image origin at the top-left pixel, y grows downwards; angles
// in degrees, a positive angle turns content counter-clockwise on screen (as
// cv::getRotationMatrix2D does). Helpers that meet an empty image print
// "Read image failure" on standard output and return -1 where they have an
// int result. No helper lets a cv::Exception escape.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// ---- motion gate ---------------------------------------------------------------

// Compares (x, y) with the point stored by the previous call for the same path
// (slot 1 the card path, any other slot the passport path) and stores (x, y).
// Returns -1 when the distance is above 5.0 pixels (and resets g_detect_mode),
// else 0. With a fixed detect mode it returns 0 and stores nothing.
int isMoved(int slot, float x, float y);

// ---- image rotation -----------------------------------------------------------

// Turns the whole image in place about (cols / 2, rows / 2), zooming by scale;
// uncovered pixels become 0. Returns 0, or -1 for an empty image.
int imgRotate(cv::Mat& image, float angle, float scale);

// Cuts the content of rr upright and lying (at least as wide as high) into dst.
// rr and roi are in the coordinates of a reference image; src is that image
// enlarged by the whole factor s. roi is normally calcSafeRect(rr, reference).
// rr may come in either minAreaRect angle convention. Returns 0, or -1 for an
// empty source, a scaled roi that does not lie inside src, or an empty patch;
// dst is only written on success.
int imgRotate_2(cv::Mat& src, cv::Mat& dst, cv::Rect_<float>& roi, cv::RotatedRect& rr, int s);

// Cuts a patch of the given size, turned by angle, centred on centre, after
// laying src on a grey (200) canvas twice its size. Returns false, with dst
// untouched, when the source does not fit the canvas or the patch is empty.
bool rotation(cv::Mat& src, cv::Mat& dst, cv::Size_<int> size, cv::Point_<float> centre,
              double angle);

// Where the warp of cv::getRotationMatrix2D(centre, angle, 1) takes point.
cv::Point_<float> getPointAffinedPos(cv::Point_<float> point, cv::Point_<float> centre,
                                     float angle);

// ---- safe rectangles and rotated crops ----------------------------------------

// Clamps r in place to a width x height image, keeping `margin` rows free at the
// top and bottom. A rectangle wholly outside comes back with a width or height
// of 0 or less: test it before cropping.
void getSafeRect(int width, int height, int margin, cv::Rect_<int>& r);

// The upright rectangle around rr grown by 5 pixels on every side and clamped
// to the image. Returns false (out untouched) when nothing of it remains.
bool calcSafeRect(const cv::RotatedRect& rr, const cv::Mat& image, cv::Rect_<float>& out);

// The content of rr, turned so that its longer side is horizontal; parts
// outside the image come out grey 200. rr may come in either minAreaRect angle
// convention. An empty image or a rectangle without area gives an empty matrix.
cv::Mat cropRotateRect(cv::Mat& image, cv::RotatedRect& rr);

// The four corners of rr in the order of cv::RotatedRect::points, reordered to
// p2 p3 p0 p1 for a positive angle and p1 p2 p3 p0 for a negative one.
void SortRotatedRectPoints(cv::Point_<float>* pts, cv::RotatedRect rr);

// ---- grey planes and brightness (the gamma table is in gamma.h) ----------------

// dst receives one 8-bit plane of a BGR image: mode 0 grey, 1 Lab lightness,
// 2 HSV value. A one-channel source is taken as grey, four channels as BGRA.
// Any other mode or source is reported and leaves dst as it was.
void BGR2GRAY(cv::Mat& src, cv::Mat& dst, int mode);

// A three-channel image whose channels all equal the one-channel plane gray;
// an empty matrix for an empty or multi-channel input.
cv::Mat convertTo3Channels(cv::Mat const& gray);

// Brightness statistics of an 8-bit grey image: da is the mean offset from 128,
// cast is |da| over the mean absolute deviation. An image without pixels, or
// not 8-bit with one channel, gives NaN for both.
void detect_brightness(cv::Mat image, float& cast, float& da);

// Threshold offset for the adaptive binarisation of a grey text line: 11 for a
// dark line, 17 otherwise (also for an image it cannot measure).
int getBinThreshold(cv::Mat& image);

// Brightens an 8-bit grey plane in place through the gamma-1.8 table when a
// 40 x 40 sample patch near the top third is dark. Returns -1 when the plane was
// brightened, else 0 (also for an empty or unsupported plane).
int adjustBright(cv::Mat& gray);

// ---- skin and highlight masks -----------------------------------------------------

// Sets mask bytes to 255 where the 8-bit BGR source is skin-coloured (YCrCb
// with 130 <= Cr <= 173 and 77 <= Cb <= 130); other bytes are left alone. An
// empty mask is created at the source's size, cleared. A mask that is not
// 8-bit one-channel or is smaller than the source is refused with a log line.
void SkinDetect(cv::Mat& src, cv::Mat& mask);

// mask becomes an 8-bit one-channel image of the source's size, 255 where the
// grey value is 248 or more. Returns 0, or -1 (mask untouched) for an empty
// source or one that is not 8-bit with 1, 3 or 4 channels.
int highlightDet(cv::Mat& src, cv::Mat& mask);

// ---- line-image merging and debug drawing --------------------------------------

// out = a and b side by side (b starting at column a.cols); the shorter one is
// filled up with white rows at its bottom. The caller's a and b are unchanged;
// out owns its pixels. An empty input gives a copy of the other one; inputs of
// different types give an empty out and a log line.
void mergeCols(cv::Mat a, cv::Mat b, cv::Mat& out);

// out = a above b; the narrower one is filled up with white columns at its
// right. Otherwise as mergeCols.
void mergeRows(cv::Mat a, cv::Mat b, cv::Mat& out);

// A BGR copy of img with every rectangle drawn in green, 1 pixel wide.
cv::Mat drawLineRects(const cv::Mat& img, const std::vector<cv::Rect>& rects);

// Shows drawLineRects(img, rects) in the window `name` while the debug display
// is on; does nothing otherwise. img is never changed.
void showLineRect(cv::Mat& img, std::vector<cv::Rect>& rects, const char* name);

// Whether debug windows can be opened: cv::imshow aborts the whole process
// when no display can be reached. Logs once when there is none.
bool canShowWindows();

// Shows img in the window `name` while the debug display is on and a display
// exists; otherwise does nothing. Never throws.
void debugShow(const char* name, const cv::Mat& img);

// ---- sort predicates (true when the first comes before the second) ----------------

bool comp(cv::RotatedRect a, cv::RotatedRect b);            // longer long side first
bool comp_x(cv::Rect a, cv::Rect b);                        // smaller x first
bool comp_y(cv::Rect a, cv::Rect b);                        // smaller y first
bool compoint_x(cv::Point a, cv::Point b);                  // smaller x first
bool compoint_y(cv::Point a, cv::Point b);                  // smaller y first
bool comp_area(cv::RotatedRect a, cv::RotatedRect b);       // larger area first
bool comp_area_2(cv::Rect a, cv::Rect b);                   // larger area first
bool comp_rotcenter(cv::RotatedRect a, cv::RotatedRect b);  // higher centre first
bool compContours(std::vector<cv::Point> a, std::vector<cv::Point> b);  // more points first

// ---- plane geometry --------------------------------------------------------------

// Distance of a and b, truncated.
int pointLen(cv::Point a, cv::Point b);
// The corner a-b-c is a right angle (pixel shortcuts, then slopes).
bool vertical(cv::Point a, cv::Point b, cv::Point c);
// Segment ab is perpendicular to segment cd, within 0.1 rad (_wx: 0.15 rad).
bool vertical2(cv::Point a, cv::Point b, cv::Point c, cv::Point d);
bool vertical_dj(cv::Point a, cv::Point b, cv::Point c, cv::Point d);
bool vertical2_wx(cv::Point a, cv::Point b, cv::Point c, cv::Point d);
// Segment ab is perpendicular to segment bc, within 0.1 rad (_wx: 0.15 rad).
bool vertical3(cv::Point a, cv::Point b, cv::Point c);
bool vertical3_wx(cv::Point a, cv::Point b, cv::Point c);
// Of two candidate points at distance r1 from p1 (on the circle about p2 with
// radius r2 when p1p2 is neither near horizontal nor near vertical), returns the
// one nearer to p3 or p4 and writes to out whichever of p3, p4 is nearer to it.
// Circles that do not meet give their nearest point, twice.
cv::Point CircleCross(cv::Point p1, cv::Point p2, cv::Point p3, cv::Point p4, cv::Point& out,
                      int r1, int r2);
// Intersection of the lines ab and cd; parallel lines give the midpoint of b and c.
cv::Point CrossPoint(cv::Point a, cv::Point b, cv::Point c, cv::Point d);
// Distance of p from the line through a and b (0.1 for a vanishing distance
// from a line that is not horizontal).
double calc_dist(cv::Point2f a, cv::Point2f b, cv::Point2f p);
// 1 when cd runs the same way as ab (compared on the axis ab mostly follows), else -1.
int cornerDirect(cv::Point a, cv::Point b, cv::Point c, cv::Point d);
// Angle at c between the rays to a and to b, in degrees.
double lineAngle(cv::Point a, cv::Point b, cv::Point c);
