#include "scan_utils.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "global.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

// ============================================================================
// Recogniser seam
// ============================================================================

namespace {
RecogniserFn s_mrzReader;
RecogniserFn s_enV3Reader;

bool isO0(char c) { return c == 'O' || c == '0'; }
}  // namespace

void set_reread_recognisers(RecogniserFn mrz, RecogniserFn en_v3) {
  s_mrzReader = std::move(mrz);
  s_enV3Reader = std::move(en_v3);
}

TextLine reread_mrz(const cv::Mat& image, char mode) {
  if (s_mrzReader) return s_mrzReader(image, mode);
  return crnn_extract_mrz(image, mode);
}

TextLine reread_en_v3(const cv::Mat& image, char mode) {
  if (s_enV3Reader) return s_enV3Reader(image, mode);
  return crnn_extract_en_v3(image, mode);
}

// ============================================================================
// Geometry
// ============================================================================

cv::Mat getRectImage(cv::Mat& image, cv::Rect box) {
  if (image.empty()) return cv::Mat();
  const int cols = image.cols, rows = image.rows;
  const int left = box.x < 4 ? 0 : box.x - 4;
  const int top = box.y < 4 ? 0 : box.y - 4;
  const int right = box.x + box.width + 3 < cols ? box.x + box.width + 3 : cols - 1;
  const int bottom = box.y + box.height + 3 < rows ? box.y + box.height + 3 : rows - 1;
  // A box wholly outside the image leaves nothing to cut.
  if (left > right || top > bottom || left >= cols || top >= rows) return cv::Mat();
  return image(cv::Rect(left, top, right - left + 1, bottom - top + 1));
}

namespace {

// The vertical extent of boxes 0..last with the given margins, clipped.
bool verticalExtent(const std::vector<cv::Rect>& boxes, int last, int rows, int topMargin,
                    int bottomMargin, int& top, int& bottom) {
  int minY = rows - 1, maxBottom = 0;
  for (int i = 0; i <= last; ++i) {
    minY = std::min(minY, boxes[i].y);
    maxBottom = std::max(maxBottom, boxes[i].y + boxes[i].height - 1);
  }
  top = std::max(minY - topMargin, 0);
  bottom = std::min(maxBottom + bottomMargin, rows - 1);
  return top <= bottom;
}

}  // namespace

cv::Rect cropCharRect(std::vector<cv::Rect> boxes, int count, int first, int last, int imageWidth,
                      int imageHeight, int leftMargin, int rightMargin, int topMargin,
                      int bottomMargin) {
  const int n = static_cast<int>(boxes.size());
  if (imageWidth <= 0 || imageHeight <= 0 || first < 0 || first > last || last >= n) return cv::Rect();
  const bool endsLine = last + 1 == count;
  if (!endsLine && last + 1 >= n) return cv::Rect();  // no box after the run to bound it

  const int left = std::max(boxes[first].x - std::min(leftMargin, 7), 0);
  const int right = endsLine ? imageWidth - 1 : std::min(boxes[last + 1].x - rightMargin, imageWidth - 1);
  int top = 0, bottom = 0;
  if (!verticalExtent(boxes, last, imageHeight, topMargin, bottomMargin, top, bottom)) return cv::Rect();
  // The next box may start within the right margin of the run's left edge.
  if (right < left) return cv::Rect();
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

cv::Rect minRect(std::vector<cv::Rect> boxes, int count, int last, int imageWidth, int imageHeight) {
  const int n = static_cast<int>(boxes.size());
  if (imageWidth <= 0 || imageHeight <= 0 || last < 0 || last >= n) return cv::Rect();
  const bool endsLine = last == count - 1;
  if (!endsLine && last + 1 >= n) return cv::Rect();

  const int left = std::max(boxes[0].x - boxes[0].width / 2, 0);
  const int right = std::min(endsLine ? imageWidth - 1 : boxes[last + 1].x - 2, imageWidth - 1);
  int top = 0, bottom = 0;
  if (!verticalExtent(boxes, last, imageHeight, 4, 4, top, bottom)) return cv::Rect();
  if (right < left) return cv::Rect();
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

// ============================================================================
// Re-reading
// ============================================================================

bool check_eq(char a, char b) { return a == b || (isO0(a) && isO0(b)); }

int ocr_one_char(cv::Mat& image, std::vector<cv::Rect>& boxes, int line, char* text, int position,
                 char mode) {
  if ((line != 1 && line != 2) || text == nullptr) return -1;
  if (position < 0 || position >= static_cast<int>(boxes.size())) return -1;
  const cv::Mat crop = getRectImage(image, boxes[position]);
  if (crop.empty()) return -1;
  const int at = line == 1 ? position : 44 + position;
  const char c = text[at];

  const TextLine t = reread_mrz(crop, mode);
  const char m = t.text.empty() ? ' ' : t.text[0];
  if (check_eq(m, c)) return 0;

  const TextLine en = reread_en_v3(crop, mode);
  if (!en.text.empty()) {
    const char e = en.text[0];
    if (check_eq(e, c)) return 0;
    if (e == m || (isO0(e) && isO0(m))) {
      vyr_log(0, "fix: %c -> %c", c, m);
      text[at] = m;
      return 0;
    }
    return -1;
  }
  if (m == '0' || m == '<' || m == 'O') {
    vyr_log(0, "fix: %c -> %c", c, m);
    text[at] = m;
    return 0;
  }
  if (c == '0' || c == '<' || c == 'O') return 0;
  return -1;
}

int ocr_chars(cv::Mat& image, std::vector<cv::Rect>& boxes, int line, char* text, int start,
              int count, char mode) {
  if ((line != 1 && line != 2) || text == nullptr || image.empty()) return -1;
  const int n = static_cast<int>(boxes.size());
  if (start < 0 || count < 1 || start + count > n) return -1;
  // The list's own length tells whether the run ends the line (lines of 44,
  // 36 and 30 boxes alike).
  const cv::Rect run = cropCharRect(boxes, n, start, start + count - 1, image.cols, image.rows, 2, 2, 2, 2);
  if (run.empty()) return -1;
  const cv::Mat runImage = image(run);
  const int first = line == 1 ? start : 44 + start;

  const TextLine t = reread_mrz(runImage, mode);
  if (static_cast<int>(t.text.size()) < count) {
    // No reading by position: only a whole-run confirmation counts.
    const TextLine en = reread_en_v3(runImage, mode);
    if (static_cast<int>(en.text.size()) == count && std::memcmp(en.text.data(), text + first, count) == 0)
      return 0;
    return -1;
  }

  for (int i = 0; i < count; ++i) {
    const char c = text[first + i];
    const char m = t.text[i];
    if (check_eq(m, c)) continue;
    const TextLine en = reread_en_v3(getRectImage(image, boxes[start + i]), mode);
    if (!en.text.empty()) {
      const char e = en.text[0];
      if (e == m || (isO0(e) && isO0(m))) {
        text[first + i] = m;
        vyr_log(0, "%c -> %c", c, m);
        continue;
      }
      if (check_eq(e, c)) continue;
      vyr_log(0, "%c %c %c", c, m, e);
      return -1;
    }
    if (m == '0' || m == '<' || m == 'O') {
      text[first + i] = m;
      vyr_log(0, "%c -> %c", c, m);
      continue;
    }
    if (c == '<' || c == 'O') continue;
    vyr_log(0, "%c %c O/<", c, m);
    return -1;
  }
  return 0;
}

int ocr_line_chars(int line, char* text, int start, int count, char mode) {
  if (line == 1) return ocr_chars(g_rapidRec_line_1, g_posRect1_rgb, 1, text, start, count, mode);
  if (line == 2) return ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, text, start, count, mode);
  return -1;
}

int reread_blanks(const char* format, char* text, int lineLength) {
  if (format == nullptr || text == nullptr || lineLength < 1 || lineLength > 44) return -1;
  if (std::strlen(format) != static_cast<std::size_t>(2 * lineLength)) return -1;
  for (int line = 1; line <= 2; ++line)
    for (int p = 0; p < lineLength; ++p) {
      const int at = line == 1 ? p : 44 + p;
      if (text[at] != ' ') continue;
      const char cls = format[(line - 1) * lineLength + p];
      if (ocr_line_chars(line, text, p, 1, cls == 'X' ? 'O' : cls) != 0 || text[at] == ' ') {
        vyr_log(0, "blank at line %d position %d", line, p);
        return -1;
      }
    }
  return 0;
}

// ============================================================================
// Helpers not on the scan path
// ============================================================================

int fix_text_line(TextLine& line, char* pattern, int n) {
  if (pattern == nullptr || n < 0) return -1;
  const char* rec = line.text.c_str();
  const std::size_t len = std::strlen(rec);
  if (len > static_cast<std::size_t>(n)) return -1;

  std::string out;
  std::size_t cur = 0;
  for (int i = 0; i < n && cur < len; ++i) {
    if (pattern[i] == '<') {
      out += '<';
      if (rec[cur] == '<') ++cur;
    } else {
      out += rec[cur++];
    }
  }
  // Every recognised character used, the last one at position n - 1.
  if (cur != len || out.size() != static_cast<std::size_t>(n)) return -1;

  line.text = out;
  vyr_log(0, "fix=>%s", line.text.c_str());
  line.scores.resize(static_cast<std::size_t>(n), 0.0f);
  float carried = 0.0f;
  for (float& s : line.scores) {
    if (s > 0.1f)
      carried = s;
    else if (s < 0.1f)
      s = carried;
  }
  return 0;
}

int verifyLine1(char* a, char* b, int n) {
  std::string x, y;
  for (const char* p = a; p != nullptr && *p != '\0'; ++p)
    if (*p != '<') x += *p;
  for (int i = 0; b != nullptr && i < n && b[i] != '\0'; ++i)
    if (b[i] != '<') y += b[i];
  return std::strcmp(x.c_str(), y.c_str());
}

void fixLine1(char* a, char* b, int n) {
  for (int i = 0; i < n; ++i)
    if (a[i] != '<' && b[i] == '<') a[i] = '<';
}

int endof_right(char* s, int n) {
  if (s == nullptr || n <= 0 || s[n - 1] != '<') return 0;
  if (n < 6) return 1;
  int count = 0;
  for (int i = n - 1; i >= 4 && s[i] == '<'; --i) ++count;
  return count;
}
