#include "nn/DbNet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "model_file.h"
#include "rotated_rect34.h"
#include "vyr_log.h"

namespace {

// Contours beyond this many are not examined by findRsBoxes.
constexpr size_t kMaxCandidates = 1000;

// 8-bit value of a probability: p * 255 truncated, saturated to 0..255 so that
// values above 1 (or below 0) do not wrap; NaN counts as 0.
unsigned char probToByte(float p) {
  const float v = p * 255.f;
  if (!(v > 0.f)) return 0;
  if (v >= 255.f) return 255;
  return static_cast<unsigned char>(static_cast<int>(v));
}

}  // namespace

DbNet::DbNet() = default;

DbNet::~DbNet() {
  session = nullptr;
  interpreter.reset();
}

void DbNet::setNumThread(int n) { numThread = n; }

void DbNet::setGpuIndex(int /*index*/) {}

int DbNet::initModel(std::string& dir, std::string name) {
  const std::string path = dir + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    vyr_log(1, "Model box file not found: %s", path.c_str());
    return -1;
  }

  _s_model_head model_head;
  int64_t len = 0;
  unsigned char* body = read_model_from_file(path, len, 1, model_head);
  if (body == nullptr) {
    vyr_log(1, "load model %s fail.", path.c_str());
    return -1002;
  }

  // The previous network goes whatever happens; the detector is unloaded
  // until the new one is in place.
  session = nullptr;
  vyr::nn::SessionConfig config;
  config.device = vyr::nn::Device::CPU;
  config.numThread = 2;
  interpreter = vyr::nn::Network::fromBuffer(body, static_cast<size_t>(len), config);
  free(body);
  if (!interpreter) {
    vyr_log(1, "load model %s fail.", path.c_str());
    return -1;
  }
  vyr_log(1, "model [%s] loaded", path.c_str());
  session = interpreter.get();
  return 0;
}

std::vector<TextBox> textBoxesFromProbMap(const cv::Mat& probMap, const ScaleParam& s,
                                          float boxScoreThresh, float boxThresh,
                                          float unClipRatio) {
  std::vector<TextBox> result;
  if (probMap.empty() || probMap.type() != CV_32FC1 || probMap.rows != s.dstRows ||
      probMap.cols != s.dstCols || s.srcCols <= 0 || s.srcRows <= 0)
    return result;

  try {
    cv::Mat predMap(probMap.rows, probMap.cols, CV_32FC1);
    cv::Mat cbufMap(probMap.rows, probMap.cols, CV_8UC1);
    for (int r = 0; r < probMap.rows; ++r) {
      const float* in = probMap.ptr<float>(r);
      float* pred = predMap.ptr<float>(r);
      unsigned char* cbuf = cbufMap.ptr<unsigned char>(r);
      for (int c = 0; c < probMap.cols; ++c) {
        pred[c] = std::isnan(in[c]) ? 0.f : in[c];
        cbuf[c] = probToByte(in[c]);
      }
    }

    cv::Mat bitMap;
    cv::threshold(cbufMap, bitMap, boxScoreThresh * 255.f, 255, cv::THRESH_BINARY);
    cv::Mat dilaEle = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2, 2));
    cv::dilate(bitMap, bitMap, dilaEle);

    PostProcessor post;
    const float det_db_box_thresh_ = boxThresh;
    const float det_db_unclip_ratio_ = unClipRatio;
    PostProcessor::BoxList boxes =
        post.BoxesFromBitmap(predMap, bitMap, det_db_box_thresh_, det_db_unclip_ratio_, false);
    boxes = post.FilterTagDetRes(boxes, s.scaleY, s.scaleX, 0, s.srcRows, s.srcCols);

    result.reserve(boxes.size());
    for (const PostProcessor::IntQuad& box : boxes) {
      TextBox tb;
      for (const std::vector<int>& p : box) tb.points.emplace_back(p[0], p[1]);
      tb.score = 0.f;
      result.push_back(std::move(tb));
    }
  } catch (const cv::Exception& e) {
    vyr_log(1, "text boxes: %s", e.what());
    result.clear();
  }
  return result;
}

std::vector<TextBox> DbNet::getTextBoxes(cv::Mat& src, ScaleParam& s, float boxScoreThresh,
                                         float boxThresh, float unClipRatio) {
  std::vector<TextBox> none;
  if (!isLoaded()) return none;
  if (src.empty() || src.depth() != CV_8U || s.dstCols <= 0 || s.dstRows <= 0) return none;
  if (src.cols != s.srcCols || src.rows != s.srcRows) {
    vyr_log(1, "box: geometry %dx%d does not fit the image %dx%d", s.srcCols, s.srcRows, src.cols,
            src.rows);
    return none;
  }

  try {
    cv::Mat bgr;
    switch (src.channels()) {
      case 3: bgr = src; break;
      case 1: cv::cvtColor(src, bgr, cv::COLOR_GRAY2BGR); break;
      case 4: cv::cvtColor(src, bgr, cv::COLOR_BGRA2BGR); break;
      default:
        vyr_log(1, "box: %d-channel image refused", src.channels());
        return none;
    }

    cv::Mat input_data;
    cv::resize(bgr, input_data, cv::Size(s.dstCols, s.dstRows), 0, 0, cv::INTER_LINEAR);
    vyr_log(0, "box: %d,%d", s.dstCols, s.dstRows);

    vyr::nn::Tensor input;
    if (vyr::nn::imageToTensor(input_data, meanVals, normVals, false, input) != 0 ||
        session->setInput(input) != 0) {
      vyr_log(1, "box: input refused");
      return none;
    }
    const double start = vyr_get_current_time();
    const int rc = session->run();
    vyr_log(0, "runsession box: %.3f ms", vyr_get_current_time() - start);
    if (rc != 0) return none;

    // One probability plane of the input's size, as the first plane of the
    // default output ([1, C, H, W], [C, H, W] or [H, W]).
    const vyr::nn::Tensor* out = session->output();
    if (out == nullptr || out->shape.size() < 2 || out->shape.size() > 4) {
      vyr_log(1, "box: the model gave no probability map");
      return none;
    }
    const size_t rank = out->shape.size();
    const int h = out->dim(rank - 2);
    const int w = out->dim(rank - 1);
    const bool leadingOk = rank < 4 || out->dim(0) == 1;
    if (!leadingOk || h != s.dstRows || w != s.dstCols ||
        out->data.size() < static_cast<size_t>(h) * static_cast<size_t>(w)) {
      vyr_log(1, "box: output map %dx%d does not match the input %dx%d", w, h, s.dstCols,
              s.dstRows);
      return none;
    }
    const cv::Mat pred(h, w, CV_32FC1, const_cast<float*>(out->data.data()));
    return textBoxesFromProbMap(pred, s, boxScoreThresh, boxThresh, unClipRatio);
  } catch (const cv::Exception& e) {
    vyr_log(1, "box: %s", e.what());
    return none;
  }
}

std::vector<TextBox> findRsBoxes(const cv::Mat& probMap, const cv::Mat& binMap, ScaleParam& s,
                                 float boxThresh, float unClipRatio) {
  std::vector<TextBox> rsBoxes;
  if (probMap.empty() || binMap.empty() || probMap.type() != CV_32FC1 || binMap.type() != CV_8UC1 ||
      probMap.size() != binMap.size() || !(s.scaleX > 0.f) || !(s.scaleY > 0.f) ||
      s.srcCols <= 0 || s.srcRows <= 0)
    return rsBoxes;

  try {
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(binMap, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    const size_t count = std::min(contours.size(), kMaxCandidates);
    for (size_t i = 0; i < count; ++i) {
      if (contours[i].size() < 3) continue;
      float longSide = 0.f;
      std::vector<cv::Point2f> minBoxes = getMinBoxes(minAreaRect34(contours[i]), longSide);
      if (longSide < 3.f) continue;
      const float score = boxScoreFast(minBoxes, probMap);
      if (score < boxThresh) continue;
      cv::RotatedRect clipRect = unClip(minBoxes, unClipRatio);
      if (clipRect.size.width < 1.001f && clipRect.size.height < 1.001f) continue;
      std::vector<cv::Point2f> clipMinBoxes = getMinBoxes(clipRect, longSide);
      if (longSide < 5.f) continue;

      TextBox box;
      box.score = score;
      for (const cv::Point2f& p : clipMinBoxes) {
        const float fx = std::clamp(p.x / s.scaleX, -1.f, static_cast<float>(s.srcCols));
        const float fy = std::clamp(p.y / s.scaleY, -1.f, static_cast<float>(s.srcRows));
        const int x = std::clamp(static_cast<int>(fx), 0, s.srcCols - 1);
        const int y = std::clamp(static_cast<int>(fy), 0, s.srcRows - 1);
        box.points.emplace_back(x, y);
      }
      rsBoxes.push_back(std::move(box));
    }
  } catch (const cv::Exception& e) {
    vyr_log(1, "findRsBoxes: %s", e.what());
    rsBoxes.clear();
  }
  std::reverse(rsBoxes.begin(), rsBoxes.end());
  return rsBoxes;
}
