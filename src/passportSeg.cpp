#include "passportSeg.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <opencv2/imgproc.hpp>

#include "preprocess.h"
#include "utils.h"

bool operator<(const CRange& a, const CRange& b) { return (a.end - a.start) < (b.end - b.start); }

namespace {

constexpr int kInk = 128;  // values below are ink
constexpr int kMinColumnRuns = 8;

// Number of columns at which a row differs from its left neighbour.
std::vector<int> rowTransitions(const cv::Mat& img) {
  std::vector<int> t(img.rows, 0);
  for (int i = 0; i < img.rows; ++i) {
    const uchar* p = img.ptr<uchar>(i);
    int n = 0;
    for (int j = 1; j < img.cols; ++j) n += (p[j] != p[j - 1]) ? 1 : 0;
    t[i] = n;
  }
  return t;
}

// Ink pixels of row `row` between columns [x0, x1), 0 for a row outside.
int rowInk(const cv::Mat& img, int row, int x0, int x1) {
  if (row < 0 || row >= img.rows) return 0;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, img.cols);
  const uchar* p = img.ptr<uchar>(row);
  int n = 0;
  for (int j = x0; j < x1; ++j) n += (p[j] < kInk) ? 1 : 0;
  return n;
}

bool insideImage(const cv::Rect& r, const cv::Mat& img) {
  return r.x >= 0 && r.width >= 0 && r.x + r.width <= img.cols && r.y >= 0 && r.height >= 0 &&
         r.y + r.height <= img.rows;
}

// Row runs of the two-line and card segmenters. A run opens at a row of 21 or
// more transitions after a row below `openLimit`, and closes at an empty row.
std::vector<CRange> rowRuns(const std::vector<int>& t, int openLimit, bool tailAlways) {
  std::vector<CRange> runs;
  const int rows = static_cast<int>(t.size());
  int start = 0, last = 0;
  for (int i = 1; i < rows; ++i) {
    if (t[i] >= 21 && t[i - 1] < openLimit) {
      start = i;
    } else if (t[i] == 0 && t[i - 1] != 0) {
      runs.push_back({start, i});
      last = start = i;
    }
  }
  if (rows > 0 && t[rows - 1] != 0 && (tailAlways ? last <= start : last < start)) {
    runs.push_back({start, rows});
  }
  return runs;
}

// Runs by the sum of their rows' transition counts, heaviest first, padded
// with (0, 0) up to `want` entries.
std::vector<CRange> heaviestRuns(std::vector<CRange> runs, const std::vector<int>& t,
                                 size_t want) {
  auto weight = [&t](const CRange& r) {
    long w = 0;
    for (int i = std::max(r.start, 0); i < r.end && i < static_cast<int>(t.size()); ++i) w += t[i];
    return w;
  };
  std::stable_sort(runs.begin(), runs.end(),
                   [&](const CRange& a, const CRange& b) { return weight(a) > weight(b); });
  runs.resize(want, CRange{0, 0});
  return runs;
}

cv::Rect bandOfRun(const CRange& r, const cv::Mat& img) {
  const int top = std::max(r.start - 1, 0);
  const int height = std::min(r.end - r.start + 3, img.rows - r.start);
  return cv::Rect(0, top, img.cols, std::max(height, 0));
}

}  // namespace

int charseg(cv::Mat& line, std::vector<cv::Rect>& boxes) {
  cv::Mat img;
  try {
    img = greyPlane(line);
  } catch (const cv::Exception&) {
    return -1;
  }
  if (img.empty()) return -1;

  // Rows where the rise of the transition count reaches a new maximum (text
  // top) and where it reaches a new minimum (text bottom).
  const std::vector<int> t = rowTransitions(img);
  std::vector<int> inindex{0}, deindex{0};
  int maxRise = 0, minRise = 0;
  for (int i = 1; i < img.rows; ++i) {
    const int d = t[i] - t[i - 1];
    if (i == 1) {
      maxRise = minRise = d;
      continue;
    }
    if (d > maxRise) {
      inindex.push_back(i);
      maxRise = d;
    }
    if (d < minRise) {
      deindex.push_back(i);
      minRise = d;
    }
  }

  int best = -1, bestSpan = 0;
  const size_t pairs = std::min(inindex.size(), deindex.size());
  for (size_t k = 0; k < pairs; ++k) {
    const int span = deindex[k] - inindex[k];
    if (span > bestSpan) {
      bestSpan = span;
      best = static_cast<int>(k);
    }
  }
  if (best < 0) return -1;

  const int in = inindex[best], de = deindex[best];
  const int top = std::max(in - 11, 0);
  const int height = std::min({de - in + 50, img.rows - in, img.rows - top}) + 3;
  cv::Rect band(0, top, img.cols, height);
  getSafeRect(img.cols, img.rows, 0, band);
  horizonseg(img, band, boxes);
  return 0;
}

int horizonseg(cv::Mat& image, cv::Rect band, std::vector<cv::Rect>& boxes) {
  cv::Mat img;
  try {
    img = greyPlane(image);
  } catch (const cv::Exception&) {
    return -1;
  }
  band &= cv::Rect(0, 0, img.cols, img.rows);
  if (img.empty() || band.width < 1 || band.height < 1) return -1;
  const cv::Mat B = img(band);
  const int colsB = B.cols, rowsB = B.rows;

  std::vector<int> hproj(colsB, 0);
  for (int i = 0; i < rowsB; ++i) {
    const uchar* p = B.ptr<uchar>(i);
    for (int j = 0; j < colsB; ++j) hproj[j] += (p[j] < kInk) ? 1 : 0;
  }

  std::vector<CRange> ranges;
  int start = 0, last = 0;
  for (int j = 1; j < colsB; ++j) {
    if (hproj[j] != 0 && hproj[j - 1] == 0) start = j;
    if (hproj[j] == 0 && hproj[j - 1] != 0) {
      ranges.push_back({start, j});
      last = j;
    }
  }
  if (last < start && hproj[colsB - 1] != 0) ranges.push_back({start, colsB - 1});
  if (static_cast<int>(ranges.size()) < kMinColumnRuns) return -1;

  // Typical width: the most frequent one; of equally frequent widths the one
  // whose first run lies furthest left.
  std::map<int, int> counts;
  for (const CRange& r : ranges) ++counts[r.end - r.start];
  int W = ranges[0].end - ranges[0].start;
  for (const CRange& r : ranges) {
    const int w = r.end - r.start;
    if (counts[w] > counts[W]) W = w;
  }
  W = std::max(W, 1);

  std::vector<cv::Rect> good, wide;
  for (const CRange& r : ranges) {
    const int s = r.start, w = r.end - r.start;
    if (w < W / 2) continue;
    cv::Rect box(s - 3, 0, std::min(colsB - s, w + 4) + 1, rowsB + 2);
    if (box.x < 0) {  // a run at the band's very left: keep the right edge
      box.width += box.x;
      box.x = 0;
    }
    if (0.4 * W < w && w <= 1.5 * W) {
      good.push_back(box);
    } else if (w > 1.2 * W) {
      wide.push_back(box);
    }
  }

  const double slice = 1.2 * W;
  for (const cv::Rect& b : wide) {
    const int n = static_cast<int>(std::round(b.width / slice));
    for (int i = 0; i < n; ++i) {
      const int x = static_cast<int>(b.x + i * slice);
      const int w = static_cast<int>(std::min(slice, b.width - i * slice));
      good.emplace_back(x, b.y, w, b.height);
    }
  }
  std::stable_sort(good.begin(), good.end(),
                   [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });

  // All or nothing: a line with boxes missing must not look segmented.
  const size_t before = boxes.size();
  for (cv::Rect box : good) {
    box.x += band.x;
    box.y += band.y;
    if (!insideImage(box, img)) {
      boxes.resize(before);
      return -1;
    }
    box = clipChar(img, box);
    if (!insideImage(box, img)) {
      boxes.resize(before);
      return -1;
    }
    boxes.push_back(box);
  }
  return 0;
}

cv::Rect clipChar(cv::Mat& image, cv::Rect box) {
  cv::Mat img;
  try {
    img = greyPlane(image);
  } catch (const cv::Exception&) {
    return box;
  }
  const int h = std::max(box.height, 0);
  std::vector<int> profile(h, 0);
  if (!img.empty()) {
    for (int k = 0; k < h; ++k) profile[k] = rowInk(img, box.y + k, box.x, box.x + box.width);
  }

  // A run opens after two empty rows and closes after two inked rows.
  std::vector<CRange> runs;
  int start = 0, last = 0;
  for (int k = 2; k < h; ++k) {
    if (profile[k] > 0 && profile[k - 1] == 0 && profile[k - 2] == 0) start = k;
    if (profile[k] == 0 && profile[k - 1] > 0 && profile[k - 2] > 0) {
      runs.push_back({start, k});
      last = k;
    }
  }
  if (h > 0 && last < start && profile[h - 1] > 0) runs.push_back({start, h - 1});

  CRange best{0, h};
  if (!runs.empty()) {
    best = runs[0];
    for (const CRange& r : runs) {
      if (best < r) best = r;
    }
  }
  return cv::Rect(box.x, std::max(box.y + best.start - 2, 0), box.width,
                  best.end - best.start + 5);
}

int twolineseg(cv::Mat& image, std::vector<cv::Rect>& boxes) {
  cv::Mat img;
  try {
    img = greyPlane(image);
  } catch (const cv::Exception&) {
    return -1;
  }
  const std::vector<int> t = rowTransitions(img);
  std::vector<CRange> runs = heaviestRuns(rowRuns(t, 21, false), t, 2);
  if (runs[1].start < runs[0].start) std::swap(runs[0], runs[1]);
  if (horizonseg(img, bandOfRun(runs[1], img), boxes) != 0) return -1;
  if (horizonseg(img, bandOfRun(runs[0], img), boxes) != 0) return -1;
  return 0;
}

int charseg_card(cv::Mat& image, std::vector<cv::Rect>& boxes) {
  cv::Mat img;
  try {
    img = greyPlane(image);
  } catch (const cv::Exception&) {
    return 0;
  }
  const std::vector<int> t = rowTransitions(img);
  const std::vector<CRange> runs = heaviestRuns(rowRuns(t, 11, true), t, 1);
  horizonseg(img, bandOfRun(runs[0], img), boxes);
  return 0;
}

cv::Rect clipChar1(cv::Mat& image, cv::Rect box) {
  cv::Mat img;
  try {
    img = greyPlane(image);
  } catch (const cv::Exception&) {
    img.release();
  }
  const int h = std::max(box.height, 0);
  std::vector<int> profile(h, 0);
  if (!img.empty()) {
    for (int k = 0; k < h; ++k) profile[k] = rowInk(img, box.y + k, box.x, box.x + box.width);
  }
  int top = h;
  for (int k = 0; k < h; ++k) {
    if (profile[k] > 0) {
      top = k;
      break;
    }
  }
  int bottom = h;
  for (int k = h - 1; k >= top && k >= 0 && top < h; --k) {
    if (profile[k] > 0) {
      bottom = k + 1;
      break;
    }
  }
  return cv::Rect(box.x, box.y + top - 2, box.width, bottom - top + 4);
}
