// The card location of the card path (detect_card: working image, card
// detector, size check, face test and the full-resolution cut) on rendered
// 1600 x 1200 permit card scenes of tests/data/cards, with the released card
// and face detectors of models-release (skipped when they are not built),
// and the back side's text lines on the cut card. The motion gate is off
// (fixed detect mode), as for a card held still.
//
//   bench_card --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "card_detect.h"
#include "card_locate.h"
#include "detect/centerface.h"
#include "global.h"
#include "scrfd.h"
#include "vyr_log.h"

namespace {

const std::string kModels = std::string(VYR_SOURCE_DIR) + "/models-release";
const std::string kCards = std::string(VYR_TEST_DATA_DIR) + "/cards/";

bool loadDetectors(benchmark::State& state) {
  vyr_set_log_dummy(1);
  setDebugShow(0);
  setDetectMode(1);
  if (init_card_ai(kModels.c_str()) != 0 || vyr_face_init2(kModels.c_str()) != 0) {
    state.SkipWithError("models-release/card.p or fd4_2.p not built");
    return false;
  }
  return true;
}

void unloadDetectors() {
  uninit_card_ai();
  unload_model_centerface();
  setDetectMode(0);
}

// Arg 0: a photo side, 1: a back side.
void BM_CardLocation(benchmark::State& state) {
  if (!loadDetectors(state)) return;
  const char* name = state.range(0) == 0 ? "card_7000008_new_front_CP.jpg" : "card_7000030_new_back_CR.jpg";
  cv::Mat frame = cv::imread(kCards + name);
  if (frame.size() != cv::Size(1600, 1200)) {
    state.SkipWithError("scene missing");
    unloadDetectors();
    return;
  }
  int code = 0;
  bool isfront = false;
  for (auto _ : state) {
    cv::Mat card;
    cv::Rect face;
    code = detect_card(frame, card, isfront, face, 0);
    benchmark::DoNotOptimize(card.data);
  }
  state.counters["code"] = code;
  state.counters["front"] = isfront ? 1 : 0;
  unloadDetectors();
}
BENCHMARK(BM_CardLocation)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CardBackLines(benchmark::State& state) {
  if (!loadDetectors(state)) return;
  cv::Mat frame = cv::imread(kCards + "card_7000030_new_back_CR.jpg");
  cv::Mat card;
  bool isfront = false;
  cv::Rect face;
  if (frame.empty() || detect_card(frame, card, isfront, face, 0) != 0) {
    state.SkipWithError("card not located");
    unloadDetectors();
    return;
  }
  std::size_t count = 0;
  for (auto _ : state) {
    cv::Mat work = card.clone();
    std::vector<cv::Rect> lines;
    benchmark::DoNotOptimize(detectLettersRect_back(work, lines, 0));
    count = lines.size();
  }
  state.counters["lines"] = static_cast<double>(count);
  unloadDetectors();
}
BENCHMARK(BM_CardBackLines)->Unit(benchmark::kMillisecond);

}  // namespace
