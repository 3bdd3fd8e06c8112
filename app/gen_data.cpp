#include "gen_data.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "scan_utils.h"

namespace fs = std::filesystem;

int get_last_subdir(const char* path, std::string& out) {
  if (!path) return -1;
  const std::string p = path;
  const size_t last = p.rfind('/');
  if (last == std::string::npos || last == 0) return -1;
  const size_t prev = p.rfind('/', last - 1);
  const size_t start = prev == std::string::npos ? 0 : prev + 1;
  out = p.substr(start, last - start);
  return static_cast<int>(out.size());
}

int append_valid_region_file(const char* file, const char* text) {
  FILE* fp = file ? std::fopen(file, "a") : nullptr;
  if (!fp) {
    std::printf("write result file error!");
    std::fflush(stdout);
    return -1;
  }
  std::fputs(text ? text : "", fp);
  std::fputs("\n", fp);
  std::fclose(fp);
  return 0;
}

std::string gen_data_stem(const char* path) {
  if (!path) return std::string();
  const std::string p = path;
  const size_t dot = p.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string();
  const size_t slash = p.rfind('/', dot - 1);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return p.substr(start, dot - start);
}

namespace {

const char* kRoot = "gen_data";

void ensure_dir(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);  // an existing directory is no error
}

// Cuts `rect` out of `image`, scales it to 48 rows and writes it. False when
// the rectangle is not a non-empty part of the image or the write fails, so
// no label points at a missing file.
bool write_crop(const cv::Mat& image, const cv::Rect& rect, const std::string& file) {
  if (image.empty() || rect.width <= 0 || rect.height <= 0 ||
      (rect & cv::Rect(0, 0, image.cols, image.rows)) != rect)
    return false;
  try {
    cv::Mat crop = image(rect).clone();
    const int width = static_cast<int>(static_cast<float>(crop.cols) / static_cast<float>(crop.rows) * 48.0f);
    if (width < 1) return false;
    cv::resize(crop, crop, cv::Size(width, 48), 0, 0, cv::INTER_LINEAR);
    return cv::imwrite(file, crop);
  } catch (const cv::Exception&) {
    return false;
  }
}

bool is_mrz_char(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '<'; }

std::string two_digits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

}  // namespace

void get_valid_char_img(cv::Mat& image, std::vector<cv::Rect> boxes, int line, OCR_RESULT& result,
                        const char* image_path) {
  const std::string prefix = gen_data_stem(image_path) + "_" + std::to_string(line) + "_";
  ensure_dir(kRoot);
  cv::RNG rng(static_cast<uint64_t>(std::time(nullptr)));
  const int left = rng.uniform(0, 8);
  const int right = rng.uniform(0, 8);
  const int top = rng.uniform(0, 8);
  const int bottom = rng.uniform(0, 8);

  const int offset = line == 2 ? 44 : 0;
  const int count = static_cast<int>(boxes.size());
  int fillers = 0;
  for (int i = 0; i < count && i < 44; ++i) {
    const int position = offset + i;
    const char c = result.mrz[position];
    // Only MRZ characters name a folder: padding blanks, NULs or '.' would
    // give odd or unsafe paths.
    if (!is_mrz_char(c)) continue;
    std::string folder;
    if (c == '<') {
      if (fillers++ % 4 != 0) continue;
      folder = "AA";
    } else {
      folder = std::string(1, c);
    }
    ensure_dir(std::string(kRoot) + "/" + folder);
    const std::string name = prefix + two_digits(position) + ".jpg";
    const cv::Rect rect = cropCharRect(boxes, count, i, i, image.cols, image.rows, left, right, top, bottom);
    if (!write_crop(image, rect, std::string(kRoot) + "/" + folder + "/" + name)) continue;
    const std::string label = folder + "/" + name + "\t" + c;
    append_valid_region_file("label.txt", label.c_str());
  }
}

void get_valid_region_img(cv::Mat& image1, std::vector<cv::Rect> boxes1, cv::Mat& image2,
                          std::vector<cv::Rect> boxes2, OCR_RESULT& result, const char* image_path) {
  const std::string stem = gen_data_stem(image_path);
  const size_t mrz_len = strnlen(result.mrz, sizeof result.mrz);
  cv::RNG rng(static_cast<uint64_t>(std::time(nullptr)));
  for (int sample = 0; sample < 200; ++sample) {
    const int v = rng.uniform(10, 25);
    if (isDebugShow()) std::printf("valid_line=%d.\n", v);
    const int line = v % 2 + 1;
    int length = rng.uniform(2, 16);
    // Each line is cut by its own boxes; a run never reaches past them.
    const std::vector<cv::Rect>& boxes = line == 1 ? boxes1 : boxes2;
    const cv::Mat& image = line == 1 ? image1 : image2;
    const int n = static_cast<int>(boxes.size());
    if (n < 2) continue;
    if (length > n) length = n;
    const int position = n == length ? 0 : rng.uniform(0, n - length);
    if (isDebugShow())
      std::printf("valid_line=%d,valid_pos=%d,valid_len=%d.\n", line, position, length);
    const size_t start = static_cast<size_t>(44 * (line - 1) + position);
    if (start + static_cast<size_t>(length) > mrz_len) continue;  // no text to label it with
    const std::string name =
        stem + "_" + std::to_string(line) + "_" + two_digits(position) + "_" + two_digits(length) + ".jpg";
    ensure_dir(kRoot);
    ensure_dir(std::string(kRoot) + "/BB");
    const int left = rng.uniform(0, 8);
    const int right = rng.uniform(0, 8);
    const int top = rng.uniform(0, 8);
    const int bottom = rng.uniform(0, 8);
    const cv::Rect rect = cropCharRect(boxes, n, position, position + length - 1, image.cols, image.rows,
                                       left, right, top, bottom);
    if (!write_crop(image, rect, std::string(kRoot) + "/BB/" + name)) continue;
    const std::string label = "BB/" + name + "\t" + std::string(result.mrz + start, static_cast<size_t>(length));
    if (isDebugShow()) std::printf("%s\n", label.c_str());
    append_valid_region_file("label.txt", label.c_str());
  }
}
