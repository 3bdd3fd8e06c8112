#include "ocr_o_0.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>

#include "global.h"
#include "verify.h"
#include "vyr_log.h"

// ============================================================================
// Image test
// ============================================================================

bool cmpSize(std::vector<cv::Point> a, std::vector<cv::Point> b) { return a.size() > b.size(); }

int decide_o_0(float share, double areaRatio, float heightToWidth, float t1, float t2, float t3) {
  const double f = share;
  if (f >= static_cast<double>(t1) + 0.05) return 1;
  if (f < static_cast<double>(t1) - 0.05) return 0;
  if (areaRatio >= static_cast<double>(t2) + 0.0002) return 1;
  if (areaRatio < static_cast<double>(t2) - 0.0002) return 0;
  return static_cast<double>(heightToWidth) <= static_cast<double>(t3) ? 1 : 0;
}

int distinguish_o_0(const cv::Mat& image, float t1, float t2, float t3, bool open) {
  if (image.empty()) return -1;
  try {
    cv::Mat binary;
    if (image.channels() > 1) {
      cv::Mat gray;
      cv::cvtColor(image, gray, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
      cv::GaussianBlur(gray, gray, cv::Size(3, 3), 0);
      cv::adaptiveThreshold(gray, binary, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV,
                            13, 0);
    } else {
      binary = image.clone();
    }
    if (open) {
      const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
      cv::morphologyEx(binary, binary, cv::MORPH_OPEN, kernel);
    }

    cv::Mat skeleton;
    cv::ximgproc::thinning(binary, skeleton, cv::ximgproc::THINNING_ZHANGSUEN);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(skeleton, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    if (contours.empty()) return -1;
    if (contours.size() >= 2) std::sort(contours.begin(), contours.end(), cmpSize);
    const std::vector<cv::Point>& contour = contours[0];
    if (contour.size() < 10) return -1;

    const cv::RotatedRect fit = cv::fitEllipse(contour);
    const float w = fit.size.width;
    const float h = fit.size.height;
    if (w * h < 8.f) return -1;

    // Share of the contour that lies on the fitted ellipse as drawn.
    cv::Mat drawn = cv::Mat::zeros(image.size(), CV_8UC3);
    cv::ellipse(drawn, fit, cv::Scalar(0, 255, 0), 1, cv::LINE_8);
    int onEllipse = 0;
    for (const cv::Point& p : contour) {
      const cv::Vec3b& px = drawn.at<cv::Vec3b>(p);
      if (px[1] == 255 && px[0] != 255 && px[2] < px[1]) ++onEllipse;
    }
    const float share = static_cast<float>(onEllipse) / static_cast<float>(contour.size());
    const double areaRatio =
        std::fabs(cv::contourArea(contour)) / (3.1415926 * static_cast<double>(h) * w);
    return decide_o_0(share, areaRatio, h / w, t1, t2, t3);
  } catch (const cv::Exception&) {
    return -1;
  }
}

// ============================================================================
// Substring tests
// ============================================================================

namespace {

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isO0(char c) { return c == 'O' || c == '0'; }
bool isLetterNotO(char c) { return isAsciiLetter(c) && c != 'O'; }
bool isDigitNot0(char c) { return isAsciiDigit(c) && c != '0'; }
char flipO0(char c) { return c == 'O' ? '0' : 'O'; }

template <typename Accept>
bool substringOf(const char* s, int start, int len, Accept accept) {
  if (s == nullptr || len < 0 || start < 0) return false;
  const int n = static_cast<int>(std::strlen(s));
  if (start > n || n - start < len) return false;
  for (int i = start; i < start + len; ++i) {
    const char c = s[i];
    if (c == '<' || c == 'O') continue;
    if (!accept(c)) return false;
  }
  return true;
}

}  // namespace

bool isNumericSubstring(const char* s, int start, int len) {
  return substringOf(s, start, len, isAsciiDigit);
}

bool isLetterSubstring(const char* s, int start, int len) {
  return substringOf(s, start, len, isAsciiLetter);
}

// ============================================================================
// Repairs
// ============================================================================

namespace {

// The item under repair: a copy of its characters, the check character that
// follows it in the MRZ text, and what the classifying scan found.
struct O0Item {
  std::string chars;      // the len characters of the item; all decisions work on it
  char check = '\0';      // text[start + len]
  int effLen = 0;         // len minus the trailing '<' run
  std::vector<int> oPos;  // O/0 positions, rightmost first
  int letters = 0;        // letters other than O/0
  int digits = 0;         // digits other than 0
  std::string country;    // issuing state, text[2..4]

  char& at(int k) { return chars[static_cast<std::size_t>(k)]; }

  // Check-digit trial on the item as it stands (trailing '<' included).
  bool trial() const {
    std::string field = chars;
    if (check != '\0') field.push_back(check);
    return verify(&field[0]);
  }
};

bool rangeValid(const char* text, int start, int len) {
  if (text == nullptr || start < 0 || len < 3) return false;
  return std::strlen(text) >= static_cast<std::size_t>(start) + static_cast<std::size_t>(len);
}

// Copies the item, and with `countDigits` counts digits as well as letters.
O0Item scanItem(const char* text, int start, int len, bool countDigits) {
  O0Item it;
  it.chars.assign(text + start, static_cast<std::size_t>(len));
  it.check = text[start + len];
  it.effLen = len;
  bool trailing = true;
  for (int k = len - 1; k >= 0; --k) {
    const char c = it.chars[static_cast<std::size_t>(k)];
    if (trailing && c == '<') {
      --it.effLen;
      continue;
    }
    trailing = false;
    if (isO0(c))
      it.oPos.push_back(k);
    else if (isAsciiLetter(c))
      ++it.letters;
    else if (countDigits && isAsciiDigit(c))
      ++it.digits;
  }
  // The issuing state of line 1; a text too short to hold one has none.
  const std::size_t textLen = std::strlen(text);
  if (textLen > 2) it.country.assign(text + 2, std::min<std::size_t>(3, textLen - 2));
  return it;
}

// Write-back, final trial and closing log line shared by both repairs.
bool finishRepair(O0Item& it, char* text, char* out, int start, double t0) {
  int changes = 0;
  for (int k = 0; k < it.effLen; ++k) {
    if (text[start + k] != it.at(k)) {
      text[start + k] = it.at(k);
      ++changes;
    }
  }
  const double t1 = vyr_get_current_time();
  if (changes == 0) {
    vyr_log(0, "  : %s, %s, %.3f ms, verify: %s", it.chars.c_str(), "nochange", t1 - t0, "false");
    return false;
  }
  const bool passed = it.trial();
  if (passed && out != nullptr) {
    for (int k = 0; k < it.effLen; ++k)
      if (out[start + k] != it.at(k)) out[start + k] = it.at(k);
  }
  vyr_log(0, "  : %s, %s, %.3f ms, verify: %s", it.chars.c_str(), "modified", t1 - t0,
          passed ? "true" : "false");
  return passed;
}

// ---- text-only repair ---------------------------------------------------------

// The check-digit trials of one walk over the item: the first trial that
// passes ends the walk and keeps the item as it then stands.
class TrialWalk {
 public:
  explicit TrialWalk(O0Item& it) : it_(it) {}

  bool stopped() const { return stopped_; }

  // Trial on the current state; a pass ends the walk with that state kept.
  bool tryNow() {
    if (it_.trial()) stopped_ = true;
    return stopped_;
  }

  // Trials of a pair (p, q) in the order given, restoring both when all fail.
  void tryPair(int p, int q, const std::vector<std::pair<char, char>>& spellings) {
    const char op = it_.at(p);
    const char oq = it_.at(q);
    for (const auto& s : spellings) {
      it_.at(p) = s.first;
      it_.at(q) = s.second;
      if (tryNow()) return;
    }
    it_.at(p) = op;
    it_.at(q) = oq;
  }

  // The closing step at q: a trial, then q becomes 'O' when the letters on one
  // side of it say so. Positions past the effective length stay as they are.
  void closing(int q) {
    if (tryNow()) return;
    if (q >= it_.effLen) return;
    const int f = it_.effLen - 1 - q;
    const char* s = it_.chars.c_str();
    if (f >= 4 && isLetterSubstring(s, q + 1, f))
      it_.at(q) = 'O';
    else if (q >= 4 && isLetterSubstring(s, q - 1, q))
      it_.at(q) = 'O';
  }

 private:
  O0Item& it_;
  bool stopped_ = false;
};

// Sets the O/0 run that starts at p (going right, or left with step -1) to
// `c`, stopping at the first other character or at `limit` (exclusive).
// Returns the number set.
int setRun(O0Item& it, int p, int step, int limit, char c) {
  int count = 0;
  for (int k = p; k >= 0 && k != limit && k < static_cast<int>(it.chars.size()) && isO0(it.at(k));
       k += step) {
    it.at(k) = c;
    ++count;
  }
  return count;
}

// Trials of the run at p set to all '0' and then to all 'O'; the item is
// restored unless one passes. Returns the number of 'O' set in the second
// trial (the run's length up to `limitO`).
int tryRun(O0Item& it, TrialWalk& walk, int p, int step, int limit0, int limitO) {
  const std::string saved = it.chars;
  setRun(it, p, step, limit0, '0');
  if (walk.tryNow()) return 0;
  it.chars = saved;
  const int c = setRun(it, p, step, limitO, 'O');
  if (walk.tryNow()) return c;
  it.chars = saved;
  return c;
}

// The walk over an item of letters and digits mixed. Returns when a trial
// passes or every O/0 was visited.
void mixedWalk(O0Item& it) {
  TrialWalk walk(it);
  const int e = it.effLen;
  int j = static_cast<int>(it.oPos.size()) - 1;
  while (j >= 0 && !walk.stopped()) {
    const int p = it.oPos[static_cast<std::size_t>(j)];
    if (p == 0) {
      if (isO0(it.at(1)) && isO0(it.at(2))) {
        // A run of three or more at the start: passed over with the first O/0
        // after it.
        const int c = tryRun(it, walk, 0, +1, -1, e);
        j -= c + 1;
      } else if (isO0(it.at(1))) {
        const char o = it.at(0);
        walk.tryPair(0, 1, {{o, it.at(1)}, {'0', '0'}, {'O', 'O'}, {flipO0(o), o}});
        j -= 2;
      } else {
        if (isLetterNotO(it.at(1)) && isLetterNotO(it.at(2)))
          it.at(0) = 'O';
        else if (isDigitNot0(it.at(1)) && isDigitNot0(it.at(2)))
          it.at(0) = '0';
        j -= 1;
      }
      continue;
    }

    if (p == e - 1) {
      int r = 1;
      if (isO0(it.at(p - 1))) {
        r = 2;
        if (e >= 4 && isO0(it.at(p - 2))) r = 3;
      }
      if (r == 1 && it.country == "CHN") {
        it.at(p) = flipO0(it.at(p));
        if (!walk.tryNow()) it.at(p) = flipO0(it.at(p));
      } else if (r == 2) {
        const char o = it.at(p);
        walk.tryPair(p - 1, p, {{it.at(p - 1), o}, {'0', '0'}, {o, flipO0(o)}, {'O', 'O'}});
      } else if (r == 3) {
        tryRun(it, walk, p, -1, -1, -1);
      } else {
        const char a = it.at(p - 1);
        const char b = it.at(p - 2);
        if (isLetterNotO(a) && isLetterNotO(b))
          it.at(p) = 'O';
        else if (isDigitNot0(a) && isDigitNot0(b))
          it.at(p) = '0';
      }
      j -= 1;
      continue;
    }

    // Inner position.
    const char a = it.at(p - 1);
    const char b = it.at(p + 1);
    const bool letters = isLetterNotO(a) && isLetterNotO(b);
    const bool digits = isDigitNot0(a) && isDigitNot0(b);
    if (letters || digits) {
      const char saved = it.at(p);
      const char first = letters ? 'O' : '0';
      it.at(p) = first;
      if (!walk.tryNow()) {
        it.at(p) = flipO0(first);
        if (!walk.tryNow()) it.at(p) = saved;
      }
      if (!walk.stopped()) walk.closing(p);
      j -= 1;
    } else if (isO0(b)) {
      if (p + 2 >= e) {
        walk.closing(p);
        j -= 1;
      } else if (isO0(it.at(p + 2))) {
        // A run of three or more: the last position is never set to '0' here.
        const int c = tryRun(it, walk, p, +1, e - 1, static_cast<int>(it.chars.size()));
        j -= c;
        if (!walk.stopped()) walk.closing(p + c);
      } else {
        const char o = it.at(p);
        walk.tryPair(p, p + 1, {{o, it.at(p + 1)}, {'0', '0'}, {'O', 'O'}, {flipO0(o), o}});
        if (!walk.stopped()) walk.closing(p);
        j -= 1;
      }
    } else {
      const int f = e - 1 - p;
      const char* s = it.chars.c_str();
      if (f >= 4 && isNumericSubstring(s, p + 1, f))
        it.at(p) = '0';
      else if (p >= 4 && isNumericSubstring(s, p - 1, p))
        it.at(p) = '0';
      walk.closing(p);
      j -= 1;
    }
  }
}

// ---- document-number repair ------------------------------------------------------

constexpr float kO0ShareCentre = 0.55f;
constexpr float kO0AreaCentre = 0.2466f;
constexpr float kO0MaxHeightToWidth = 1.71f;

// The image test of item position k, on the part of its box inside the line.
int imageTest(const cv::Mat& line, const std::vector<cv::Rect>& boxes, int k) {
  if (line.empty() || k < 0 || k >= static_cast<int>(boxes.size())) return -1;
  const cv::Rect r = boxes[static_cast<std::size_t>(k)] & cv::Rect(0, 0, line.cols, line.rows);
  if (r.empty()) return -1;
  return distinguish_o_0(line(r), kO0ShareCentre, kO0AreaCentre, kO0MaxHeightToWidth, false);
}

}  // namespace

bool correctDiy_o0(char* text, char* out, int start, int len) {
  if (!rangeValid(text, start, len)) {
    vyr_log(0, "Invalid substring range.");
    return false;
  }
  O0Item it = scanItem(text, start, len, true);
  vyr_log(0, "  : %s", it.chars.c_str());
  const double t0 = vyr_get_current_time();

  if (it.effLen < 3) return false;
  const int n = static_cast<int>(it.oPos.size());
  if (n > it.letters + it.digits) return false;
  if (n == 0) {
    vyr_log(0, "no 0");
    return false;
  }

  if (n == 1) {
    const int p = it.oPos[0];
    const bool baseline = it.trial();
    it.at(p) = flipO0(it.at(p));
    if (!(it.trial() && !baseline)) it.at(p) = flipO0(it.at(p));
  } else if (it.letters == 0 && it.digits >= 4) {
    for (int p : it.oPos) it.at(p) = '0';
  } else if (it.digits == 0 && it.letters >= 4) {
    for (int j = n - 1; j >= 0; --j) {
      const int p = it.oPos[static_cast<std::size_t>(j)];
      it.at(p) = 'O';
      if (it.trial()) break;
      it.at(p) = it.country == "CHN" ? '0' : 'O';
    }
  } else {
    mixedWalk(it);
  }
  return finishRepair(it, text, out, start, t0);
}

bool correctPassportid_o0(char* text, char* out, cv::Mat& line, std::vector<cv::Rect>& boxes,
                          int start, int len) {
  if (!rangeValid(text, start, len)) {
    vyr_log(0, "Invalid substring range.");
    return false;
  }
  O0Item it = scanItem(text, start, len, false);
  vyr_log(0, "id: %s", it.chars.c_str());
  if (static_cast<int>(boxes.size()) < len) {
    vyr_log(0, "PosRect length error");
    return false;
  }
  const double t0 = vyr_get_current_time();
  if (it.effLen < 3) {
    vyr_log(0, "new len < 3");
    return false;
  }
  if (it.oPos.empty()) {
    vyr_log(0, "no 0O");
    return false;
  }

  const int e = it.effLen;
  const bool noLetters = it.letters == 0;
  auto image = [&](int k) { return imageTest(line, boxes, k); };
  const int n = static_cast<int>(it.oPos.size());
  int j = n - 1;
  while (j >= 0) {
    const int p = it.oPos[static_cast<std::size_t>(j)];
    int advance = 1;
    if (p == 1) {
      const char c0 = it.at(0);
      const char c2 = it.at(2);
      if (noLetters) {
        it.at(1) = '0';
      } else if (isLetterNotO(c0) && isLetterNotO(c2)) {
        it.at(1) = 'O';
      } else if (isLetterNotO(c0) || isDigitNot0(c0)) {
        it.at(1) = '0';
      } else {
        const int r = image(1);
        if (r == 0) it.at(1) = '0';
        if (r == 1) it.at(1) = 'O';
      }
    } else if (p == 0) {
      const char c1 = it.at(1);
      if (isLetterNotO(c1)) {
        it.at(0) = 'O';
      } else if (isAsciiDigit(c1)) {
        if (it.country == "KOR")
          it.at(0) = 'O';
        else if (it.at(0) == 'O' && image(0) == 0)
          it.at(0) = '0';
      } else {
        if (it.at(0) == 'O') {
          if (image(0) == 0) it.at(0) = '0';
          if (image(1) == 0) it.at(1) = '0';
        } else {
          if (image(1) == 0)
            it.at(1) = '0';
          else if (image(0) == 0)
            it.at(1) = '0';
          else
            it.at(0) = 'O';
        }
        advance = 2;
      }
    } else if (p == e - 1) {
      if (noLetters) {
        it.at(p) = '0';
      } else if (e != 3 && isNumericSubstring(it.chars.c_str(), 2, e - 3) && it.country != "SGP") {
        it.at(p) = '0';
      } else if (it.country == "SGP") {
        it.at(p) = 'O';
      } else if (isDigitNot0(it.at(e - 2))) {
        it.at(p) = '0';
      } else if (e >= 4 && isDigitNot0(it.at(e - 3))) {
        it.at(e - 1) = it.at(e - 2) = '0';
      } else if (e >= 5 && isDigitNot0(it.at(e - 4))) {
        it.at(e - 1) = it.at(e - 2) = it.at(e - 3) = '0';
      } else if (it.at(p) == 'O' && image(p) == 0) {
        it.at(p) = '0';
      }
    } else {
      const char a = it.at(p - 1);
      const char b = it.at(p + 1);
      const bool rightmost = j == 0;
      if (noLetters) {
        it.at(p) = '0';
      } else if (isNumericSubstring(it.chars.c_str(), 2, e - 2)) {
        it.at(p) = '0';
      } else if (isLetterNotO(a) && isLetterNotO(b)) {
        it.at(p) = 'O';
      } else if (isDigitNot0(a) && isDigitNot0(b)) {
        it.at(p) = '0';
      } else if (rightmost || p + 1 >= e - 1 || it.oPos[static_cast<std::size_t>(j - 1)] != p + 1) {
        it.at(p) = image(p) == 0 ? '0' : 'O';
      } else if (isAsciiDigit(a) && isAsciiDigit(it.at(p + 2))) {
        it.at(p) = it.at(p + 1) = '0';
        advance = 2;
      } else if (p + 3 < e - 1 && isAsciiDigit(a) && isAsciiDigit(it.at(p + 3))) {
        it.at(p) = it.at(p + 1) = it.at(p + 2) = '0';
        advance = 3;
      } else if (p == 2 && 4 < e - 1 && isAsciiDigit(it.at(4))) {
        it.at(2) = it.at(3) = '0';
        advance = 2;
      } else if (p == 2 && 5 < e - 1 && isAsciiDigit(it.at(5))) {
        it.at(2) = it.at(3) = it.at(4) = '0';
        advance = 3;
      } else if (it.at(p) == 'O' && image(p) == 0) {
        it.at(p) = '0';
      }
    }
    j -= advance;
  }
  return finishRepair(it, text, out, start, t0);
}
