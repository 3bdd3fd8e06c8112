// Fixtures shared by the segmentation tests: the rendered OCR-B lines of
// tests/data/segment (made by tools/render_mrz_lines.py), their degraded
// variants, and painted test images.
#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace segfix {

// Ink and paper grey of the rendered lines.
constexpr int kInkGrey = 30;
constexpr int kPaperGrey = 215;
// Left margin and pitch of the td3_p26 lines: glyph i fills columns
// kMargin + kPitch * i ... + kPitch - 1.
constexpr int kMargin = 36;
constexpr int kPitch = 26;

inline cv::Mat loadLine(const std::string& set, int line) {
  return cv::imread(std::string(VYR_TEST_DATA_DIR) + "/segment/" + set + "_l" +
                        std::to_string(line) + ".png",
                    cv::IMREAD_GRAYSCALE);
}

enum class Look { Clean, Blurred, Noisy, LowContrast };

inline const char* lookName(Look l) {
  switch (l) {
    case Look::Clean: return "clean";
    case Look::Blurred: return "blurred";
    case Look::Noisy: return "noisy";
    case Look::LowContrast: return "lowcontrast";
  }
  return "?";
}

// The grey line as a scanner might deliver it: Gaussian blur of sigma 1,
// Gaussian noise of sigma 6 (fixed seed), or text at 180 on the 215 paper.
inline cv::Mat degrade(const cv::Mat& grey, Look look) {
  cv::Mat out = grey.clone();
  switch (look) {
    case Look::Clean:
      break;
    case Look::Blurred:
      cv::GaussianBlur(grey, out, cv::Size(0, 0), 1.0);
      break;
    case Look::Noisy: {
      cv::Mat noise(grey.size(), CV_16S), wide;
      cv::RNG rng(7);
      rng.fill(noise, cv::RNG::NORMAL, 0, 6);
      grey.convertTo(wide, CV_16S);
      wide += noise;
      wide.convertTo(out, CV_8U);
      break;
    }
    case Look::LowContrast: {
      const double scale = (kPaperGrey - 180.0) / (kPaperGrey - kInkGrey);
      grey.convertTo(out, CV_8U, scale, 180.0 - kInkGrey * scale);
      break;
    }
  }
  return out;
}

inline cv::Mat toColour(const cv::Mat& grey) {
  cv::Mat c;
  cv::cvtColor(grey, c, cv::COLOR_GRAY2BGR);
  return c;
}

// A white (255) one-channel image with black rectangles: an inverted line as
// projection segmentation reads it.
inline cv::Mat paintedInverted(cv::Size size, const std::vector<cv::Rect>& ink) {
  cv::Mat img(size, CV_8UC1, cv::Scalar(255));
  for (const cv::Rect& r : ink) img(r & cv::Rect(0, 0, size.width, size.height)).setTo(0);
  return img;
}

// A black one-channel image with white rectangles: a binarised line.
inline cv::Mat paintedBinarised(cv::Size size, const std::vector<cv::Rect>& ink) {
  cv::Mat img(size, CV_8UC1, cv::Scalar(0));
  for (const cv::Rect& r : ink) img(r & cv::Rect(0, 0, size.width, size.height)).setTo(255);
  return img;
}

inline std::vector<cv::Rect> columnRuns(int x0, int y, int height, const std::vector<int>& widths,
                                        int gap) {
  std::vector<cv::Rect> runs;
  int x = x0;
  for (int w : widths) {
    runs.emplace_back(x, y, w, height);
    x += w + gap;
  }
  return runs;
}

}  // namespace segfix
