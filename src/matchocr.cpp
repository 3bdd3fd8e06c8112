#include "matchocr.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "vyr_log.h"

cv::Mat g_tplm[kSheetCount][kGlyphCount];
cv::Size g_tpl_size[kSheetCount];

const char* lineformat =
    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"
    "OOOOOOOOONLLLNNNNNNNLNNNNNNNOOOOOXXXXXXXXXNN";
const char* lineformat_72 =
    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"
    "OOOOOOOOONLLLNNNNNNNLNNNNNNNOOOOOOON";
const char* lineformat_RN =
    "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"
    "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXNNNNNNNNNXX";
const char* lineformat_RO =
    "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"
    "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXOOOOOOOOOXX";

const char* wl_num = "0123456789<";
const char* wl_let = "<ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char* wl_2 = "<ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

namespace {

const char* const kSheetFiles[kSheetCount] = {"ocrb_24.png", "ocrb_26.png", "ocrb_28.png",
                                              "ocrb_30.png", "ocrb_32.png", "ocrb_34.png"};

// Ground pixels of a sheet are 10 or darker.
constexpr double kSheetInkThreshold = 10.0;

// The blank test: a position is matched only when its ink box holds at least
// this many bright pixels and is at least this wide or high.
constexpr int kBlankMinInk = 66;
constexpr int kBlankMinSide = 20;

bool isAllowedBoxCount(std::size_t n) { return n == 30 || n == 60 || n == 72 || n == 88; }

bool insideImage(const cv::Rect& r, const cv::Mat& image) {
  return r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0 && r.x + r.width <= image.cols &&
         r.y + r.height <= image.rows;
}

int brightPixels(const cv::Mat& image, const cv::Rect& r) {
  int count = 0;
  for (int y = r.y; y < r.y + r.height; ++y) {
    const uchar* p = image.ptr<uchar>(y) + r.x;
    count += static_cast<int>(std::count_if(p, p + r.width, [](uchar v) { return v > 128; }));
  }
  return count;
}

// One pass over the positions of one class. `countBoxes` decides the box
// count, `matchBoxes` holds the boxes that are matched; `outCapacity` bounds
// the number of boxes the caller can take. On success `text` holds one
// character per box (blank where nothing was matched) and `score` the match
// scores.
int runPass(const char* whitelist, const char* format, const char* chartype, int sheet,
            const std::vector<cv::Rect>& countBoxes, const std::vector<cv::Rect>& matchBoxes,
            const cv::Mat& line, bool blankTest, std::size_t outCapacity, std::string& text,
            std::vector<int>& score, long& elapsedMs) {
  const std::size_t wlLen = whitelist != nullptr ? std::strlen(whitelist) : 0;
  if (wlLen < 1 || wlLen > 100) {
    vyr_log(1, "whitelist is not valid");
    return -1;
  }
  if (chartype == nullptr || static_cast<signed char>(chartype[0]) < 20) {
    vyr_log(1, "char type is not valid");
    return -1;
  }
  const std::size_t n = countBoxes.size();
  if (!isAllowedBoxCount(n)) {
    vyr_log(1, "char rect number=%lu", static_cast<unsigned long>(n));
    return -18;
  }
  if (format == nullptr || std::strlen(format) != n) {
    vyr_log(1, "format string is not valid, length of format string must be %d",
            static_cast<int>(n));
    return -1;
  }
  // The boxes matched must be the boxes counted, one for one.
  if (matchBoxes.size() != n) {
    vyr_log(1, "char rect number=%lu, ink boxes=%lu", static_cast<unsigned long>(n),
            static_cast<unsigned long>(matchBoxes.size()));
    return -18;
  }
  // The caller's buffer must keep room for its terminator after the boxes.
  if (n >= outCapacity) {
    vyr_log(1, "output buffer of %lu bytes cannot hold %lu characters",
            static_cast<unsigned long>(outCapacity), static_cast<unsigned long>(n));
    return -1;
  }
  if (sheet >= kSheetCount) {
    vyr_log(1, "template sheet %d is not valid", sheet);
    return -1;
  }
  if (line.empty() || line.type() != CV_8UC1) {
    vyr_log(1, "line image is not valid");
    return -1;
  }

  const char cls = chartype[0];
  std::vector<int> positions;
  for (std::size_t i = 0; i < n; ++i)
    if (format[i] == cls) positions.push_back(static_cast<int>(i) + 1);
  const int k = static_cast<int>(positions.size());

  struct timeval start;
  gettimeofday(&start, nullptr);

  std::vector<int> glyphIdx(wlLen);
  getIdxOfString(whitelist, glyphIdx.data());
  for (int g : glyphIdx) {
    if (g < 0) {
      vyr_log(1, "whitelist is not valid");
      return -1;
    }
  }
  text.assign(n, ' ');
  score.assign(n, 0);
  std::vector<int> failure(k, 0);
  const int chosenSheet = sheet >= 0 ? sheet : sheetForPitch(g_aCharWidth);
  cv::Mat* templates = g_tplm[chosenSheet];

  // Iterations are independent: each writes only its own position.
#pragma omp for schedule(static)
  for (int j = 0; j < k; ++j) {
    const int p = positions[j] - 1;
    const cv::Rect box = matchBoxes[p];
    if (blankTest) {
      bool blank = box.width == 0 || box.height == 0;
      if (!blank) {
        if (!insideImage(box, line)) {
          vyr_log(1, "pos[%d] box (%d, %d, %d, %d) is outside the line image", p, box.x, box.y,
                  box.width, box.height);
          failure[j] = -1;
          continue;
        }
        blank = !(brightPixels(line, box) >= kBlankMinInk &&
                  (box.width >= kBlankMinSide || box.height >= kBlankMinSide));
      }
      if (blank) {
        score[p] = 0;
        text[p] = ' ';
        failure[j] = 0;
        vyr_log(0, "pos[%d]=[ ]", p);
        continue;
      }
    }
    _ocrRslt best = {' ', 0};
    std::vector<_ocrRslt> candidates;
    failure[j] =
        charMatch_d(line, box, 0, 0, templates, whitelist, best, candidates, glyphIdx.data(), 0);
    if (failure[j] == 0) {
      text[p] = best.ch;
      score[p] = best.conf;
    }
  }

  if (std::any_of(failure.begin(), failure.end(), [](int f) { return f != 0; })) return -1;

  struct timeval end;
  gettimeofday(&end, nullptr);
  elapsedMs = (end.tv_sec - start.tv_sec) * 1000 + end.tv_usec / 1000 - start.tv_usec / 1000;
  return 0;
}

}  // namespace

bool compxpoint(cv::Rect a, cv::Rect b) { return a.x < b.x; }

int _getTplArr_d(const char* path, cv::Mat* templates, cv::Size& size) {
  size = cv::Size(0, 0);
  if (path == nullptr || templates == nullptr) return -1;
  try {
    struct stat st;
    cv::Mat sheet;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) sheet = cv::imread(path, cv::IMREAD_COLOR);
    if (sheet.empty()) {
      vyr_log(1, "file %s is not found", path);
      return -1;
    }
    cv::Mat gray;
    cv::Mat binary;
    cv::cvtColor(sheet, gray, cv::COLOR_BGR2GRAY);
    cv::threshold(gray, binary, kSheetInkThreshold, 255, cv::THRESH_BINARY);

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Rect> boxes;
    for (const auto& c : contours) {
      const cv::Rect r = cv::boundingRect(c);
      if (r.width >= 2 && r.height >= 2) boxes.push_back(r);  // specks are ignored
    }
    std::sort(boxes.begin(), boxes.end(), compxpoint);
    if (boxes.size() != static_cast<std::size_t>(kGlyphCount)) {
      vyr_log(1, "number of char[%lu] is not %d", static_cast<unsigned long>(boxes.size()),
              kGlyphCount);
      return -1;
    }

    int maxW = 0;
    int maxH = 0;
    for (const cv::Rect& r : boxes) {
      maxW = std::max(maxW, r.width);
      maxH = std::max(maxH, r.height);
    }
    const int W = maxW + 2;
    const int H = maxH + 2;

    // Each glyph sits centred in its template box. A box that would reach past
    // the border makes the sheet unusable: reject it before touching anything.
    std::vector<cv::Rect> cut(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const cv::Rect& r = boxes[i];
      cut[i] = cv::Rect(r.x - (W - r.width) / 2, r.y - (H - r.height) / 2, W, H);
      if (!insideImage(cut[i], binary)) {
        vyr_log(1, "template box of glyph %c at (%d, %d) reaches past the border of %s",
                getCharOfIdx(static_cast<int>(i)), cut[i].x, cut[i].y, path);
        return -1;
      }
    }
    for (std::size_t i = 0; i < cut.size(); ++i) templates[i] = binary(cut[i]).clone();
    size = cv::Size(W, H);
    return 0;
  } catch (const cv::Exception& e) {
    vyr_log(1, "cannot cut template sheet %s: %s", path, e.what());
    size = cv::Size(0, 0);
    return -1;
  }
}

int getTplArr_d(const char* path, cv::Mat* templates, cv::Size& size) {
  return _getTplArr_d(path, templates, size);
}

int match_init(const char* dir) {
  const std::string prefix = std::string(dir != nullptr ? dir : "") + "/";
  for (int k = 0; k < kSheetCount; ++k) {
    const std::string path = prefix + kSheetFiles[k];
    if (getTplArr_d(path.c_str(), g_tplm[k], g_tpl_size[k]) != 0) return -1;
    vyr_log(1, "ocrb [%s] loaded", kSheetFiles[k]);
  }
  return 0;
}

void match_unInit() {}

int sheetForPitch(int charWidth) {
  if (charWidth < 23) return 0;
  if (charWidth < 25) return 1;
  if (charWidth < 28) return 2;
  if (charWidth < 30) return 3;
  if (charWidth < 32) return 4;
  return 5;
}

cv::Mat* getTpl(int sheet, int log) {
  if (sheet < 0 || sheet >= kSheetCount) sheet = sheetForPitch(g_aCharWidth);
  if (log == 1) vyr_log(0, "tpl=%d", sheet);
  return g_tplm[sheet];
}

int process_matchocr(const char* whitelist, const char* format, const char* chartype, int sheet) {
  std::string text;
  std::vector<int> score;
  long elapsedMs = 0;
  const int rc = runPass(whitelist, format, chartype, sheet, g_posRect, g_posRect_no_blank,
                         g_line12_2, true, SIZE_MAX, text, score, elapsedMs);
  if (rc != 0) return rc;
  vyr_log(0, "2: ==> %ldms", elapsedMs);

  // Line 2 always starts at MRZ index 44, whatever the line length.
  const int n = static_cast<int>(text.size());
  for (int i = 0; i < n; ++i) {
    if (text[i] == ' ') continue;
    const int idx = i < n / 2 ? i : i + (88 - n) / 2;
    passport_ocr_result.mrz[idx] = text[i];
    passport_ocr_result.char_conf[idx] = score[i];
  }
  vyr_log(0, "OL0[%.88s]", passport_ocr_result.mrz);
  return 0;
}

int process_matchocr_one(const char* whitelist, const char* format, const char* chartype, int sheet,
                         char* out, std::size_t out_size) {
  std::string text;
  std::vector<int> score;
  long elapsedMs = 0;
  const int rc = runPass(whitelist, format, chartype, sheet, g_posRect3, g_posRect3, g_line3, false,
                         out != nullptr ? out_size : 0, text, score, elapsedMs);
  if (rc != 0) return rc;
  vyr_log(0, "2: ==> %ldms", elapsedMs);
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] != ' ') out[i] = text[i];
  vyr_log(0, "OL0[%.*s]", static_cast<int>(std::min<std::size_t>(out_size, 1000)), out);
  return 0;
}

int fetchcharpos(const char* format, char* out, char chartype) {
  int k = 0;
  for (int i = 0; format[i] != '\0'; ++i)
    if (format[i] == chartype) out[k++] = static_cast<char>(i + 1);
  out[k] = 0;
  return k;
}

void clearCharPos(char* pos, int n) {
  for (int j = 0; j < n; ++j) {
    const int idx = static_cast<unsigned char>(pos[j]) - 1;
    if (idx >= 0 && idx < 88) passport_ocr_result.mrz[idx] = ' ';
  }
}

bool compscore(charscore& a, charscore& b) { return a.score > b.score; }

void setTotalCount(int n) { g_total_count = n; }

int countMatchs_d(cv::Mat m) {
  const int total = m.rows * m.cols;
  if (total == 0 || m.channels() != 1) return 0;
  return (total - cv::countNonZero(m)) * 1000 / total;
}

int shadowy(cv::Mat img, int thresh) {
  if (img.empty() || img.type() != CV_8UC1) return 0;
  int columns = 0;
  for (int x = 0; x < img.cols; ++x) {
    for (int y = 0; y < img.rows; ++y) {
      if (img.at<uchar>(y, x) >= thresh) {
        ++columns;
        break;
      }
    }
  }
  return columns;
}
