// An application of the installed package: scan_sample <models dir> <image>.
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <vyrocr/global.h>
#include <vyrocr/vyrocr.h>

int main(int argc, char** argv) {
  if (argc != 3 || vyrocr_init(argv[1], "cpu", 1) != 0) return 2;
  setDetectMode(1);  // one still image: geometric location, no motion gate
  cv::Mat page = cv::imread(argv[2]);
  OCR_RESULT result;
  const int r = vyrocr_scan_mat(page, 0, result);
  std::printf("scan: %d %d %s %s\n", r, result.cert_type, result.id, result.mrz);
  vyrocr_unInit();
  return r == 0 ? 0 : 1;
}
