// Box post-processing of the DB text detector: turns a probability map and its
// binarised form into four-corner text boxes (top-left, top-right,
// bottom-right, bottom-left) and maps them back to the source image.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

class PostProcessor {
 public:
  using Quad = std::vector<std::vector<float>>;
  using IntQuad = std::vector<std::vector<int>>;
  using BoxList = std::vector<IntQuad>;

  // pred: CV_32FC1 probabilities; bitmap: CV_8UC1, non-zero marks text.
  // Boxes are in pred pixels.
  BoxList BoxesFromBitmap(const cv::Mat pred, const cv::Mat bitmap, const float& boxThresh,
                          const float& unClipRatio, const bool& polygonScore);
  // Orders each box's corners, maps them to source pixels (divide by the
  // scale, subtract offset, clamp into the image) and drops boxes narrower or
  // lower than 5 pixels.
  BoxList FilterTagDetRes(BoxList boxes, float ratioH, float ratioW, int offset, int rows,
                          int cols);

  Quad GetMiniBoxes(cv::RotatedRect box, float& ssid);
  float BoxScoreFast(Quad boxArray, cv::Mat pred);
  float PolygonScoreAcc(std::vector<cv::Point> contour, cv::Mat pred);
  cv::RotatedRect UnClip(Quad box, const float& unClipRatio);
  void GetContourArea(const Quad& box, float unClipRatio, float& distance);
  IntQuad OrderPointsClockwise(IntQuad pts);

  static bool XsortInt(std::vector<int> a, std::vector<int> b);
  static bool XsortFp32(std::vector<float> a, std::vector<float> b);

  Quad Mat2Vector(cv::Mat mat);
  // Caller frees each row and the row array with delete[].
  float** Mat2Vec(cv::Mat mat);
};
