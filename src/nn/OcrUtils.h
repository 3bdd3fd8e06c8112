// Shared records of text detection, the detector input geometry, and the
// text-box geometry, image, drawing and file-path helpers that go with them.
// Nothing here keeps state; nothing lets an OpenCV exception escape.
#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// One detected text quadrilateral: corners clockwise from the top-left, in
// source-image pixels.
struct TextBox {
  std::vector<cv::Point> points;
  float score = 0.f;
};

// Detector input geometry: the source size, the network input size (multiples
// of 32, at least 32) and the factors that map source pixels to input pixels.
struct ScaleParam {
  int srcCols = 0;
  int srcRows = 0;
  int dstCols = 0;
  int dstRows = 0;
  float scaleX = 0.f;
  float scaleY = 0.f;
};

// One angle-classifier result; only index is read here.
struct Angle {
  int index = 0;
  float score = 0.f;
};

// ---- detector input geometry ---------------------------------------------------

// Scales the longer side to targetSize and rounds both sides down to multiples
// of 32 (at least 32). An empty image or a non-positive target gives a geometry
// with no input size (dstCols = dstRows = 0), which the detector refuses.
ScaleParam getScaleParam(cv::Mat& src, int targetSize);
// Scales both sides by scale; a side that is not a multiple of 32 is rounded
// down and then reduced by a further 32 (at least 32).
ScaleParam getScaleParam(cv::Mat& src, float scale);

// ---- text-box geometry -------------------------------------------------------

// The corners of the rectangle in the order of cv::RotatedRect::points.
std::vector<cv::Point2f> getBox(const cv::RotatedRect& rect);
// First point's x is smaller.
bool cvPointCompare(const cv::Point& a, const cv::Point& b);
// Corners top-left, top-right, bottom-right, bottom-left (sorted by rounded x);
// longSide receives the longer side.
std::vector<cv::Point2f> getMinBoxes(const cv::RotatedRect& rect, float& longSide);
// Mean of probMap (CV_32FC1) inside the quadrilateral of the first four
// corners; 0 for fewer corners or an unusable map.
float boxScoreFast(const std::vector<cv::Point2f>& corners, const cv::Mat& probMap);
// Unclip distance |area| * ratio / perimeter of the polygon; 0 for a polygon
// without perimeter.
float getContourArea(const std::vector<cv::Point2f>& corners, float unClipRatio);
// The box of the first four corners grown by its unclip distance, as a
// minimum-area rectangle (classic angle convention); the 1 x 1 rectangle at
// (0, 0) when nothing remains or fewer than four corners are given.
cv::RotatedRect unClip(std::vector<cv::Point2f> corners, float unClipRatio);

// ---- images for a line recogniser -------------------------------------------------

// The upright perspective crop of the quadrilateral box (four corners clockwise
// from the top-left), turned a quarter when it is at least 1.5 times taller than
// wide. The crop stays inside the image (what lies beyond warps to black);
// fewer than four corners, an empty image or a crop without area give an empty
// matrix.
cv::Mat getRotateCropImage(const cv::Mat& src, std::vector<cv::Point> box);
// src scaled to dstHeight rows and laid at the left of a white dstWidth x
// dstHeight BGR canvas (cut at dstWidth). Grey and BGRA sources are converted;
// an empty source, another depth or a non-positive size give an empty matrix.
cv::Mat adjustTargetImg(cv::Mat& src, int dstWidth, int dstHeight);
// Planar tensor of an 8-bit image: channel c of pixel p becomes
// v * normVals[c] - meanVals[c] * normVals[c]. The arrays need one value per
// channel. An empty image, another depth or a null array give an empty vector.
std::vector<float> substractMeanNormalize(cv::Mat& src, const float* meanVals,
                                          const float* normVals);
// The index of every record, in order.
std::vector<int> getAngleIndexes(std::vector<Angle>& angles);

// ---- drawing, turning, files ---------------------------------------------------

// cv::getTickCount in milliseconds.
double getCurrentTime();
// One wide character per byte; bytes 0x80..0xFF become -128..-1 (no decoding).
std::wstring strToWstr(std::string str);
// min(cols, rows) / 1000 + 2.
int getThickness(cv::Mat& img);
// Red outlines; fewer than four points draw nothing.
void drawTextBox(cv::Mat& img, cv::RotatedRect& rect, int thickness);
void drawTextBox(cv::Mat& img, const std::vector<cv::Point>& box, int thickness);
void drawTextBoxes(cv::Mat& img, std::vector<TextBox>& textBoxes, int thickness);
// Turns work on the argument's pixel buffer, which it shares with the caller's
// image: the caller sees the 180-degree turn, and the 90-degree turn of a square
// image.
cv::Mat matRotateClockWise180(cv::Mat src);
cv::Mat matRotateClockWise90(cv::Mat src);
// Writes img (format from the extension); false when it could not be written.
bool saveImg(cv::Mat& img, const char* imgPath);
// imgDir + imgName (imgDir carries its own separator), and the result paths
// imgDir + imgName + "-result.txt" / "-result.jpg".
std::string getSrcImgFilePath(const char* imgDir, const char* imgName);
std::string getResultTxtFilePath(const char* imgDir, const char* imgName);
std::string getResultImgFilePath(const char* imgDir, const char* imgName);
