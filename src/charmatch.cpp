#include "charmatch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>

#include "matchocr.h"
#include "utils.h"
#include "vyr_log.h"

const char g_char_coll[kGlyphCount + 1] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<";

int getIdxOfChar(char c) {
  if (c == '<') return 36;
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

char getCharOfIdx(int i) { return g_char_coll[i]; }

int getIdxOfString(const char* s, int* out) {
  for (int j = 0; s[j] != '\0'; ++j) out[j] = getIdxOfChar(s[j]);
  return 0;
}

bool compconf(_ocrRslt a, _ocrRslt b) { return a.conf > b.conf; }

namespace {

// Differing pixels of a patch and template up to 64 columns wide, row by row
// as bit masks: bit x of `agree` is set where patch and template are equal,
// bit x of `ink` where the patch is inked.
int countDifferingNarrow(const cv::Mat& patch, const cv::Mat& tpl) {
  const int rows = patch.rows;
  const int cols = patch.cols;
  const uint64_t all = cols == 64 ? ~uint64_t{0} : (uint64_t{1} << cols) - 1;
  auto masks = [&](int y, uint64_t& agree, uint64_t& ink) {
    const uchar* p = patch.ptr<uchar>(y);
    const uchar* t = tpl.ptr<uchar>(y);
    agree = 0;
    ink = 0;
    for (int x = 0; x < cols; ++x) {
      agree |= static_cast<uint64_t>(p[x] == t[x]) << x;
      ink |= static_cast<uint64_t>(p[x] != 0) << x;
    }
  };
  uint64_t agree = 0, ink = 0, nextAgree = 0, nextInk = 0;
  masks(0, agree, ink);
  uint64_t commonAbove = 0;
  int differing = 0;
  for (int y = 0; y < rows; ++y) {
    uint64_t commonBelow = 0;
    if (y + 1 < rows) {
      masks(y + 1, nextAgree, nextInk);
      commonBelow = nextAgree & nextInk;
    }
    const uint64_t common = agree & ink;
    const uint64_t differ = ~agree & all;
    const uint64_t nearCommon = commonAbove | commonBelow | (common << 1) | (common >> 1);
    const uint64_t forgiven = differ & ink & nearCommon;
    differing += __builtin_popcountll(differ) - __builtin_popcountll(forgiven);
    commonAbove = common;
    agree = nextAgree;
    ink = nextInk;
  }
  return differing;
}

// The same for any width, pixel by pixel.
int countDifferingWide(const cv::Mat& patch, const cv::Mat& tpl) {
  const int rows = patch.rows;
  const int cols = patch.cols;
  auto common = [](const uchar* p, const uchar* t, int x) { return p[x] != 0 && p[x] == t[x]; };
  int differing = 0;
  for (int y = 0; y < rows; ++y) {
    const uchar* p = patch.ptr<uchar>(y);
    const uchar* t = tpl.ptr<uchar>(y);
    const uchar* pAbove = y > 0 ? patch.ptr<uchar>(y - 1) : nullptr;
    const uchar* tAbove = y > 0 ? tpl.ptr<uchar>(y - 1) : nullptr;
    const uchar* pBelow = y + 1 < rows ? patch.ptr<uchar>(y + 1) : nullptr;
    const uchar* tBelow = y + 1 < rows ? tpl.ptr<uchar>(y + 1) : nullptr;
    for (int x = 0; x < cols; ++x) {
      if (p[x] == t[x]) continue;
      if (p[x] != 0 && ((pAbove != nullptr && common(pAbove, tAbove, x)) ||
                        (x > 0 && common(p, t, x - 1)) || (x + 1 < cols && common(p, t, x + 1)) ||
                        (pBelow != nullptr && common(pBelow, tBelow, x))))
        continue;
      ++differing;
    }
  }
  return differing;
}

}  // namespace

int matchAChar_d(cv::Mat patch, cv::Mat tpl) {
  if (patch.empty() || tpl.empty()) return -1;
  if (patch.size() != tpl.size() || patch.type() != CV_8UC1 || tpl.type() != CV_8UC1) return -1;

  // Counts the pixels where patch and template differ, forgiving patch-only
  // ink that shares an edge with ink common to both: a stroke one pixel
  // bolder than the template costs nothing, a missing or displaced one does.
  // Only the original difference is consulted, so forgiving one pixel never
  // forgives its neighbour.
  const int differing =
      patch.cols <= 64 ? countDifferingNarrow(patch, tpl) : countDifferingWide(patch, tpl);
  const int n = patch.rows * patch.cols;
  return (n - differing) * 1000 / n;
}

int _charMatch_d(cv::Mat image, cv::Rect box, int, float, cv::Mat tpl) {
  if (box.x < 0 || box.y < 0 || box.width < 0 || box.height < 0 || box.x + box.width > image.cols ||
      box.y + box.height > image.rows)
    return -1;
  return matchAChar_d(image(box), tpl);
}

namespace {

// The nine positions around (x0, y0) in the matcher's order; the four edge
// shifts are kept only when they do not start left of or above the origin.
void appendNine(int x0, int y0, int width, int height, std::vector<cv::Rect>& out) {
  out.emplace_back(x0, y0, width, height);
  if (x0 - 1 >= 0) out.emplace_back(x0 - 1, y0, width, height);
  if (x0 + 1 >= 0) out.emplace_back(x0 + 1, y0, width, height);
  if (y0 - 1 >= 0) out.emplace_back(x0, y0 - 1, width, height);
  if (y0 + 1 >= 0) out.emplace_back(x0, y0 + 1, width, height);
  out.emplace_back(x0 - 1, y0 - 1, width, height);
  out.emplace_back(x0 - 1, y0 + 1, width, height);
  out.emplace_back(x0 + 1, y0 - 1, width, height);
  out.emplace_back(x0 + 1, y0 + 1, width, height);
}

}  // namespace

int generateDistRoi(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width,
                    int height) {
  out.clear();
  const int x0 = box.x - width / 2 + box.width / 2;
  const int y0 = box.y - height / 2 + box.height / 2;
  appendNine(x0, y0, width, height, out);
  return 0;
}

int generateDistRoi_right(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width,
                          int height) {
  out.clear();
  appendNine(box.x + box.width - width, box.y, width, height, out);
  return 0;
}

int generateDistRoi_sign(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width,
                         int height) {
  out.clear();
  const int x0 = box.x - width / 2 + box.width / 2;
  const int y0 = box.y - height / 2 + box.height / 2;
  out.emplace_back(x0, y0, width, height);
  out.emplace_back(x0 - 1, y0, width, height);
  out.emplace_back(x0 + 1, y0, width, height);
  out.emplace_back(x0, y0 - 1, width, height);
  out.emplace_back(x0, y0 + 1, width, height);
  return 0;
}

int generateDistRoi2(cv::Rect box, int, std::vector<cv::Rect>& out, int rowLimit, int colLimit,
                     int width, int height) {
  out.clear();
  const int x = box.x;
  const int y = box.y;
  const bool rowsFit = y + height < rowLimit;
  const bool colsFit = x + width < colLimit;
  if (colsFit && rowsFit) out.emplace_back(x, y, width, height);
  if (rowsFit) {
    if (x + 1 + width < colLimit) out.emplace_back(x + 1, y, width, height);
    if (x + 2 + width < colLimit) out.emplace_back(x + 2, y, width, height);
    if (x >= 1 && x - 1 + width < colLimit) out.emplace_back(x - 1, y, width, height);
    if (x >= 2 && x - 2 + width < colLimit) out.emplace_back(x - 2, y, width, height);
  }
  if (colsFit) {
    if (y + 1 + height < rowLimit) out.emplace_back(x, y + 1, width, height);
    if (y + 2 + height < rowLimit) out.emplace_back(x, y + 2, width, height);
    if (y >= 1 && y - 1 + height < rowLimit) out.emplace_back(x, y - 1, width, height);
    if (y >= 2 && y - 2 + height < rowLimit) out.emplace_back(x, y - 2, width, height);
  }
  return 0;
}

int charMatch_d(cv::Mat image, cv::Rect box, int, int, cv::Mat* templates, const char* whitelist,
                _ocrRslt& best, std::vector<_ocrRslt>& candidates, int* glyphIdx, int) {
  if (whitelist == nullptr || templates == nullptr || glyphIdx == nullptr) return -1;
  const int n = static_cast<int>(std::strlen(whitelist));
  if (n == 0) return -1;
  try {
    int bestIndex = -1;
    int bestScore = 0;
    std::vector<cv::Rect> distRoi;
    for (int i = 0; i < n; ++i) {
      const int g = glyphIdx[i];
      if (g < 0 || g >= kGlyphCount) return -1;
      const cv::Mat& t = templates[g];
      generateDistRoi(box, 0, distRoi, 0, 0, t.cols, t.rows);
      int glyphScore = 0;
      int scored = 0;
      for (const cv::Rect& c : distRoi) {
        // A shifted position that leaves the image is no evidence against the
        // glyph; only a glyph that cannot be scored anywhere fails the match.
        const int s = _charMatch_d(image, c, 0, 0.f, t);
        if (s < 0) continue;
        ++scored;
        if (s > bestScore) {
          bestScore = s;
          bestIndex = g;
        }
        if (s > glyphScore) glyphScore = s;
      }
      if (scored == 0) return -1;
      candidates.push_back({getCharOfIdx(g), glyphScore});
    }
    if (bestIndex == -1) return -1;
    best = {getCharOfIdx(bestIndex), bestScore};
    std::sort(candidates.begin(), candidates.end(), compconf);
    return 0;
  } catch (const char* s) {
    vyr_log(1, "Caught a string exception: %s", s);
  } catch (int e) {
    vyr_log(1, "Caught an integer exception: %d", e);
  } catch (const std::exception& e) {
    vyr_log(1, "Caught a standard exception: %s", e.what());
  }
  return -1;
}

int imgAdjust(cv::Mat image) {
  int bestAngle = -10;
  int bestCount = -1;
  for (int k = -10; k <= 10; ++k) {
    cv::Mat copy = image.clone();
    imgRotate(copy, static_cast<float>(k), 1.0f);
    const int count = shadowy(copy, 100);
    if (bestCount < 0 || count < bestCount) {
      bestCount = count;
      bestAngle = k;
    }
  }
  return bestAngle;
}

int tmptplHeight(cv::Mat& image) {
  int first = image.rows - 1;
  int last = 0;
  const int rowBytes = image.cols * static_cast<int>(image.elemSize());
  for (int y = 0; y < image.rows; ++y) {
    const uchar* p = image.ptr<uchar>(y);
    if (std::any_of(p, p + rowBytes, [](uchar v) { return v >= 129; })) {
      first = std::min(first, y);
      last = std::max(last, y);
    }
  }
  return last - first + 1;
}

int countBlackPoint(cv::Mat& image, cv::Rect box) {
  const cv::Rect r = box & cv::Rect(0, 0, image.cols, image.rows);
  if (r.empty() || image.depth() != CV_8U) return 0;
  const int rowBytes = r.width * static_cast<int>(image.elemSize());
  int count = 0;
  for (int y = r.y; y < r.y + r.height; ++y) {
    const uchar* p = image.ptr<uchar>(y) + r.x * image.elemSize();
    count += static_cast<int>(std::count_if(p, p + rowBytes, [](uchar v) { return v >= 129; }));
  }
  return count;
}
