// rapidocr_back on a composed card back (OCR-B lines on a plain card of the
// old camera's size): line selection, crop, binarisation, segmentation,
// template matching, re-reads and checks. With the released recognisers
// (skipped when models-release has not been built) and with a stand-in that
// reads the ground truth, which leaves the share of the recognisers out.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <optional>
#include <string>

#include "card_scan.h"
#include "global.h"
#include "matchocr.h"
#include "test_card_back_fixtures.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

namespace {

const std::string kRelease = std::string(VYR_SOURCE_DIR) + "/models-release";

void readBack(benchmark::State& state, bool released) {
  vyr_set_log_dummy(1);
  std::string dir = released ? kRelease : std::string(VYR_MODELS_DIR);
  struct stat st;
  if (released && (::stat((kRelease + "/ocrv3_mrz.p").c_str(), &st) != 0 || init_crnn(&dir[0], 0) != 0)) {
    state.SkipWithError("models-release not built");
    return;
  }
  if (match_init(dir.c_str()) != 0) {
    state.SkipWithError("template sheets missing");
    return;
  }
  init_ncode_map();
  const mrzfx::Glyphs g = mrzfx::loadGlyphs(36);
  const cardfx::BackCase& c = cardfx::backCases()[static_cast<std::size_t>(state.range(0))];
  const cardfx::CardBack back = cardfx::composeBack(g, c.lines, 1);
  std::optional<mrzfx::ScriptedRecognisers> rec;
  if (!released) {
    rec.emplace();
    rec->useBoxes(true);
    for (std::size_t i = 0; i < c.lines.size(); ++i) rec->truth[i + 1] = c.lines[i];
  }
  cv::Mat card = back.image;
  for (auto _ : state) {
    std::vector<cv::Rect> lines = back.lines;
    if (rapidocr_back(card, lines, 1) != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(card_result);
  }
  state.SetLabel(c.label);
  if (released) uninit_crnn();
  vyr_set_log_dummy(0);
}

void BM_rapidocr_back_released(benchmark::State& state) { readBack(state, true); }
void BM_rapidocr_back_standIn(benchmark::State& state) { readBack(state, false); }

// 0 Hong Kong permit, 3 APEC card (three lines read).
BENCHMARK(BM_rapidocr_back_released)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_rapidocr_back_standIn)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace
