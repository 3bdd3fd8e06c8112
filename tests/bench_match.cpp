// Time of the digit, letter and alphanumeric matching passes on a rendered
// 2 x 44 zone (the ICAO TD3 specimen), and of the character matcher alone.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "matchocr.h"
#include "result.h"
#include "vyr_log.h"

namespace {

// Loads the rendered zone of font size `size` and hands it over as the
// segmentation would: ink-bright lines side by side, cell and ink boxes, pitch.
bool handOverZone(int size) {
  const std::string base = std::string(VYR_TEST_DATA_DIR) + "/match/td3_" + std::to_string(size);
  std::vector<cv::Mat> bins;
  std::vector<cv::Rect> cells, ink;
  FILE* f = std::fopen((base + ".txt").c_str(), "r");
  if (f == nullptr) return false;
  std::vector<cv::Rect> all;
  cv::Rect r;
  while (std::fscanf(f, "%d %d %d %d", &r.x, &r.y, &r.width, &r.height) == 4) all.push_back(r);
  std::fclose(f);
  if (all.size() != 88) return false;
  int offset = 0;
  for (int n = 0; n < 2; ++n) {
    cv::Mat grey = cv::imread(base + "_l" + std::to_string(n + 1) + ".png", cv::IMREAD_GRAYSCALE);
    if (grey.empty()) return false;
    cv::Mat bin;
    cv::threshold(grey, bin, 128, 255, cv::THRESH_BINARY_INV);
    for (int i = 0; i < 44; ++i) {
      const cv::Rect cell = all[n * 44 + i];
      std::vector<cv::Point> pts;
      cv::findNonZero(bin(cell), pts);
      cells.push_back(cell + cv::Point(offset, 0));
      ink.push_back((pts.empty() ? cell : cv::boundingRect(pts) + cell.tl()) +
                    cv::Point(offset, 0));
    }
    offset += bin.cols;
    bins.push_back(bin);
  }
  cv::hconcat(bins, g_line12_2);
  g_posRect = cells;
  g_posRect_no_blank = ink;
  g_aCharWidth = (cells[86].x + cells[86].width - cells[45].x + 4) / 42;
  return true;
}

bool setUp(benchmark::State& state, int size) {
  vyr_set_log_dummy(1);
  if (match_init(VYR_MODELS_DIR) != 0) {
    state.SkipWithError("template sheets missing");
    return false;
  }
  if (!handOverZone(size)) {
    state.SkipWithError("fixture zone missing");
    return false;
  }
  return true;
}

void BM_ThreePassesTd3(benchmark::State& state) {
  if (!setUp(state, static_cast<int>(state.range(0)))) return;
  for (auto _ : state) {
    clearResult();
    int rc = process_matchocr(wl_num, lineformat, "N", -1);
    if (rc == 0) rc = process_matchocr(wl_let, lineformat, "L", -1);
    if (rc == 0) rc = process_matchocr(wl_2, lineformat, "O", -1);
    benchmark::DoNotOptimize(rc);
    if (rc != 0) {
      state.SkipWithError("a pass failed");
      break;
    }
  }
}
// Font sizes of the smallest, a middle and the largest template sheet.
BENCHMARK(BM_ThreePassesTd3)->Arg(31)->Arg(36)->Arg(46)->Unit(benchmark::kMillisecond);

void BM_CharMatchOneBoxAllGlyphs(benchmark::State& state) {
  if (!setUp(state, 36)) return;
  std::vector<int> idx(37);
  getIdxOfString(wl_2, idx.data());
  cv::Mat* templates = getTpl(-1, 0);
  for (auto _ : state) {
    _ocrRslt best = {' ', 0};
    std::vector<_ocrRslt> candidates;
    benchmark::DoNotOptimize(charMatch_d(g_line12_2, g_posRect_no_blank[44], 0, 0, templates, wl_2,
                                         best, candidates, idx.data(), 0));
  }
}
BENCHMARK(BM_CharMatchOneBoxAllGlyphs)->Unit(benchmark::kMicrosecond);

}  // namespace
