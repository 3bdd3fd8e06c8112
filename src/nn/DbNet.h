// DB (differentiable binarisation) text detector on the inference layer, and
// the older box extraction findRsBoxes.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "nn/OcrUtils.h"
#include "nn/infer.h"
#include "postprocess_op.h"

class DbNet {
 public:
  DbNet();
  ~DbNet();
  DbNet(const DbNet&) = delete;
  DbNet& operator=(const DbNet&) = delete;

  // Loads dir + "/" + name. 0 on success; -1 for a missing file or a network
  // the engine rejects; -1002 for a model file that cannot be read. A failed
  // load leaves the detector unloaded.
  int initModel(std::string& dir, std::string name);
  // Stored only; the network keeps the two worker threads it was loaded with.
  void setNumThread(int n);
  // No GPU path: does nothing.
  void setGpuIndex(int index);
  // True once initModel has succeeded.
  bool isLoaded() const { return session != nullptr; }

  // Finds text boxes in an 8-bit image (BGR; grey and BGRA are converted) with
  // the geometry of getScaleParam for the same image. boxScoreThresh binarises
  // the probability map, boxThresh is the least mean probability of a box,
  // unClipRatio the expansion. Nothing found, an unloaded detector, an empty or
  // unusable image, a geometry without input size, a failed run or an output
  // that is not one probability plane of the input's size give an empty vector.
  std::vector<TextBox> getTextBoxes(cv::Mat& src, ScaleParam& s, float boxScoreThresh,
                                    float boxThresh, float unClipRatio);

  // The network of the loaded model, owned by interpreter; null until loaded.
  vyr::nn::Network* session = nullptr;
  std::shared_ptr<vyr::nn::Network> interpreter;
  PostProcessor postProcessor;
  int numThread = 0;
  float meanVals[3] = {123.675f, 116.28f, 103.53f};
  // 1 / (0.229 * 255), 1 / (0.224 * 255), 1 / (0.225 * 255)
  float normVals[3] = {0.017124753f, 0.017507004f, 0.017429194f};
};

// The box stage of DbNet::getTextBoxes on a probability map (CV_32FC1 of
// s.dstRows x s.dstCols; values outside [0, 1] saturate): binarise at
// boxScoreThresh, dilate 2 x 2, extract, unclip and map the boxes back into the
// s.srcCols x s.srcRows image. A map of another size or type gives nothing.
std::vector<TextBox> textBoxesFromProbMap(const cv::Mat& probMap, const ScaleParam& s,
                                          float boxScoreThresh, float boxThresh,
                                          float unClipRatio);

// Older box extraction: boxes of the contours of binMap (8-bit, one channel)
// scored on probMap (CV_32FC1, same size), unclipped and mapped straight into
// source pixels through s, with their score; the last contour's box first.
std::vector<TextBox> findRsBoxes(const cv::Mat& probMap, const cv::Mat& binMap, ScaleParam& s,
                                 float boxThresh, float unClipRatio);
