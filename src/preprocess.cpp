#include "preprocess.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "vyr_log.h"

int card_preprocess_threshold = 17;

namespace {

constexpr int kCardBlockSize = 31;
constexpr int kMinBorder = 20;


// Binarises one line into out and returns its border width, or -1 (out
// emptied) when the line holds no pixels.
int binariseLine(const cv::Mat& line, cv::Mat& out, int blockSize, int C) {
  try {
    cv::Mat grey = greyPlane(line);
    if (grey.empty()) {
      out.release();
      return -1;
    }
    if (blockSize < 3) blockSize = 3;
    if (blockSize % 2 == 0) ++blockSize;

    cv::Mat ink;
    cv::adaptiveThreshold(grey, ink, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV,
                          blockSize, C);
    // Specks and strokes of one or two pixels cannot hold the cross and vanish.
    const cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3));
    cv::erode(ink, ink, cross);
    cv::dilate(ink, ink, cross);

    const int edge = std::max(kMinBorder, static_cast<int>(grey.rows * 0.2));
    cv::Mat bordered;
    cv::copyMakeBorder(ink, bordered, edge, edge, edge, edge, cv::BORDER_CONSTANT, cv::Scalar(0));
    out = bordered;  // a fresh buffer: a separate output never touches the grey line
    return edge;
  } catch (const cv::Exception& e) {
    vyr_log(1, "binarise line failed: %s", e.what());
    out.release();
    return -1;
  }
}

void binariseInto(const cv::Mat& line, cv::Mat& out, int blockSize, int C, int& edgeGlobal) {
  const int edge = binariseLine(line, out, blockSize, C);
  if (edge >= 0) edgeGlobal = edge;
}

}  // namespace

cv::Mat greyPlane(const cv::Mat& line) {
  if (line.empty()) return cv::Mat();
  cv::Mat grey = line;
  if (grey.channels() == 3) {
    cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
  } else if (grey.channels() == 4) {
    cv::cvtColor(grey, grey, cv::COLOR_BGRA2GRAY);
  } else if (grey.channels() != 1) {
    return cv::Mat();
  }
  if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U);
  return grey;
}

void preprocess1(cv::Mat& grey1, cv::Mat& grey2, cv::Mat& bin1, cv::Mat& bin2, int blockSize,
                 int C) {
  // Line 2's grey image must be read before bin1 is written, in case bin1 is
  // grey2 (cv::Mat headers share pixels): hold a header on it.
  const cv::Mat second = grey2;
  binariseInto(grey1, bin1, blockSize, C, g_line1_edge);
  binariseInto(second, bin2, blockSize, C, g_line2_edge);
}

void preprocess_card(cv::Mat& grey1, cv::Mat& grey2, cv::Mat& bin1, cv::Mat& bin2) {
  preprocess1(grey1, grey2, bin1, bin2, kCardBlockSize, card_preprocess_threshold);
}

void preprocess_card_one(cv::Mat& grey, cv::Mat& bin) {
  binariseInto(grey, bin, kCardBlockSize, card_preprocess_threshold, g_line3_edge);
}
