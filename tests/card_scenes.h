// Rendered permit card scenes (tools/render_cards.py) with their truth, and
// the checks of what the card path made of them: the residual tilt of the
// photo side's title line, and whether the back's line boxes, chosen as the
// back-side reader chooses them, each hold one whole OCR-B line. The checks
// look at the ink in the card image itself, so they do not depend on where
// exactly the card detector put the card's corners.
#pragma once
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace cardfx {

struct CardScene {
  std::string name;  // file name without extension
  std::string dir;
  std::map<std::string, std::string> truth;

  std::string image() const { return dir + "/" + name + ".jpg"; }
  const std::string& operator[](const std::string& key) const {
    static const std::string none;
    auto it = truth.find(key);
    return it == truth.end() ? none : it->second;
  }
  bool front() const { return (*this)["side"] == "front"; }
  // 1 for the old camera, 0 for the new one (the vyrocr_init argument is the opposite).
  int oldCamera() const { return (*this)["camera"] == "old" ? 1 : 0; }
  std::vector<float> numbers(const std::string& key) const {
    std::vector<float> v;
    std::istringstream in((*this)[key]);
    float x;
    while (in >> x) v.push_back(x);
    return v;
  }
  // The card's long and short side in the frame, from its corners.
  cv::Size2f cardSize() const {
    const std::vector<float> c = numbers("corners");
    if (c.size() != 8) return {};
    auto dist = [&](int a, int b) { return std::hypot(c[2 * a] - c[2 * b], c[2 * a + 1] - c[2 * b + 1]); };
    return {(dist(0, 1) + dist(2, 3)) / 2.f, (dist(1, 2) + dist(3, 0)) / 2.f};
  }
};

inline CardScene loadCardScene(const std::string& dir, const std::string& name) {
  CardScene s;
  s.name = name;
  s.dir = dir;
  std::ifstream f(dir + "/" + name + ".txt");
  std::string line;
  while (std::getline(f, line)) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) s.truth[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return s;
}

// Every scene of dir (a .jpg with its .txt), in name order.
inline std::vector<CardScene> loadCardScenes(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().extension() == ".txt" && std::filesystem::exists(dir + "/" + e.path().stem().string() + ".jpg"))
      names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  std::vector<CardScene> out;
  for (const std::string& n : names) out.push_back(loadCardScene(dir, n));
  return out;
}

inline cv::Mat greyOf(const cv::Mat& img) {
  cv::Mat g;
  if (img.channels() == 3)
    cv::cvtColor(img, g, cv::COLOR_BGR2GRAY);
  else
    g = img;
  return g;
}

// Ink (255) of a grey region by Otsu's threshold.
inline cv::Mat inkOf(const cv::Mat& grey) {
  cv::Mat ink;
  cv::threshold(grey, ink, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  return ink;
}

// Tilt in degrees of the photo side's title line on an upright card image
// (the card path's g_cropimg: the card without a margin of `inset` pixels):
// the principal direction of the ink around where the truth puts the title.
// NaN when no ink is found there.
inline double titleTilt(const cv::Mat& card, const CardScene& s, int inset = 10) {
  const std::vector<float> b = s.numbers("title_box");
  if (b.size() != 4 || card.empty()) return NAN;
  const float W = static_cast<float>(card.cols + 2 * inset), H = static_cast<float>(card.rows + 2 * inset);
  const float h = (b[3] - b[1]) * H;
  cv::Rect r(cvRound(b[0] * W - inset - 0.02f * W), cvRound(b[1] * H - inset - 0.4f * h),
             cvRound((b[2] - b[0]) * W + 0.04f * W), cvRound(1.8f * h));
  r &= cv::Rect(0, 0, card.cols, card.rows);
  if (r.width < 10 || r.height < 4) return NAN;
  const cv::Mat ink = inkOf(greyOf(card(r)));
  std::vector<cv::Point> pts;
  cv::findNonZero(ink, pts);
  if (pts.size() < 50) return NAN;
  cv::Vec4f line;
  cv::fitLine(pts, line, cv::DIST_L2, 0, 0.01, 0.01);
  double a = std::atan2(line[1], line[0]) * 180.0 / CV_PI;
  if (a > 90) a -= 180;
  if (a < -90) a += 180;
  return a;
}

// The boxes the back-side reader takes: each widened by 5 pixels left and
// right and 2 above and below (clipped), at least 651 x 26 and starting below
// 60 % of the card; top to bottom.
inline std::vector<cv::Rect> readerLines(const cv::Mat& card, std::vector<cv::Rect> lines) {
  std::vector<cv::Rect> out;
  for (cv::Rect& r : lines) {
    const int x = std::max(r.x - 5, 0), y = std::max(r.y - 2, 0);
    const cv::Rect w(x, y, std::min(r.width + 10, card.cols - x - 1), std::min(r.height + 4, card.rows - y - 1));
    if (w.width >= 651 && w.height >= 26 && w.y > 0.6 * card.rows) out.push_back(w);
  }
  std::sort(out.begin(), out.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.y < b.y; });
  return out;
}

// Whether box holds one whole OCR-B line of 30 characters. Only the inner
// columns of the card are looked at (6 % to 94 % of its width), where no
// background around the card can show. Of the ink there around the box (the
// box grown by a quarter of its height above and below, which stays clear
// of the neighbouring lines) at least 90 % lies
// inside it, and the ink inside spans at least 85 % of a line's length (76 mm
// of the 85.6 mm card).
inline bool holdsWholeLine(const cv::Mat& card, const cv::Rect& box) {
  const int x0 = static_cast<int>(0.06 * card.cols), x1 = static_cast<int>(0.94 * card.cols);
  const cv::Rect cols(x0, 0, x1 - x0, card.rows);
  const cv::Rect inside = box & cols;
  if (inside.width < 10 || inside.height < 4) return false;
  const int dy = static_cast<int>(0.25 * box.height);
  const cv::Rect around = cv::Rect(inside.x, box.y - dy, inside.width, box.height + 2 * dy) & cols;
  const cv::Mat ink = inkOf(greyOf(card(around)));
  const cv::Rect in(0, inside.y - around.y, inside.width, inside.height);
  const double all = cv::countNonZero(ink), held = cv::countNonZero(ink(in));
  if (all <= 0 || held / all < 0.9) return false;
  cv::Mat profile;
  cv::reduce(ink(in), profile, 0, cv::REDUCE_MAX);
  std::vector<cv::Point> on;
  cv::findNonZero(profile, on);
  if (on.empty()) return false;
  const int span = on.back().x - on.front().x + 1;
  return span >= 0.85 * (76.0 / 85.6) * card.cols;
}

// The number of the reader's lines (at most three) that each hold a whole
// line, or -1 when the reader would not take exactly three.
inline int backLinesHeld(const cv::Mat& card, const std::vector<cv::Rect>& lines) {
  const std::vector<cv::Rect> taken = readerLines(card, lines);
  if (taken.size() != 3) return -1;
  int n = 0;
  for (const cv::Rect& r : taken) n += holdsWholeLine(card, r) ? 1 : 0;
  return n;
}

}  // namespace cardfx
