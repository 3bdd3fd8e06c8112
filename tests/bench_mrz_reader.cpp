// passportMatchOcr2 on rendered zones: the three matching passes with the
// real template sheets, the item checks and the name, with the recognisers
// replaced by a stand-in that reads the ground truth (the library's models
// are not part of the build).
#include <benchmark/benchmark.h>

#include <string>

#include "matchocr.h"
#include "passport_scan.h"
#include "result.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"
#include "vyr_log.h"

namespace {

void readZone(benchmark::State& state, const std::string& l1, const std::string& l2) {
  vyr_set_log_dummy(1);
  if (match_init(VYR_MODELS_DIR) != 0) {
    state.SkipWithError("template sheets missing");
    return;
  }
  init_ncode_map();
  const mrzfx::Glyphs g = mrzfx::loadGlyphs(static_cast<int>(state.range(0)));
  if (g.strip.empty()) {
    state.SkipWithError("glyph strip missing");
    return;
  }
  mrzfx::publishZone(g, l1, l2);
  mrzfx::ScriptedRecognisers rec(g.pitch);
  rec.truth[1] = l1;
  rec.truth[2] = l2;
  OCR_RESULT res;
  cv::Mat unused;
  for (auto _ : state) {
    std::vector<cv::Rect> boxes = g_posRect;
    const int rc = passportMatchOcr2(unused, boxes, res);
    if (rc != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(res);
  }
  vyr_set_log_dummy(0);
}

void BM_passportMatchOcr2_2x44(benchmark::State& state) {
  readZone(state, "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<", "L898902C36UTO7408122F1204159ZE184226B<<<<<10");
}
BENCHMARK(BM_passportMatchOcr2_2x44)->Arg(36)->Arg(46)->Unit(benchmark::kMillisecond);

void BM_passportMatchOcr2_2x36(benchmark::State& state) {
  readZone(state, "V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<", "L8988901C4XXX4009078F9612109<<<<<<<<");
}
BENCHMARK(BM_passportMatchOcr2_2x36)->Arg(36)->Unit(benchmark::kMillisecond);

void BM_verify(benchmark::State& state) {
  char field[] = "L898902C3674081221204159ZE184226B<<<<<10";
  for (auto _ : state) benchmark::DoNotOptimize(verify(field));
}
BENCHMARK(BM_verify);

}  // namespace
