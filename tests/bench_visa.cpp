// The time the Chinese visa step adds to a scan, with the released models
// (models-release, tools/build_models.sh) on the committed Chinese visa pages
// (tests/data/visa_pages): the whole scan of a page in detect mode 1, and
// the visa step alone (get_visa_issue_info and the category's standard form)
// on the same page after one location and MRZ read, for the number just above
// the MRZ (c01), the number high above it (c02, one more item region) and a
// nine-digit number (c05, two readings, no category); for comparison, the
// whole scan of a visa of another state (tests/data/pages v01_a_clean), which
// skips the step. Each is repeated and reported with its median. Skipped when
// models-release has not been built.
#include <benchmark/benchmark.h>

#include "global.h"
#include "passport_locate2.h"
#include "passport_visa.h"
#include "test_scan_fixtures.h"
#include "vyr_log.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

struct Setup {
  bool ok = false;
  Setup() {
    if (!releasedModelsBuilt()) return;
    Silence quiet;
    vyr_set_log_dummy(1);
    ok = vyrocr_init(kReleaseDir.c_str(), "", 1) == 0;
    vyrocr_set_scan_type(1);
  }
  ~Setup() { vyrocr_unInit(); }
};

bool ready(benchmark::State& state) {
  static Setup s;
  if (!s.ok) state.SkipWithError("models-release not built");
  return s.ok;
}

cv::Mat visaPage(const char* name) { return readPage(loadPage(kData + "/visa_pages", name)); }

// A whole scan; `chinese` pages must give a visa number.
void fullScan(benchmark::State& state, cv::Mat img, bool chinese) {
  if (!ready(state)) return;
  setDetectMode(2);
  Silence quiet;
  OCR_RESULT r;
  for (auto _ : state) {
    if (vyrocr_scan_mat(img, 0, r) != 0 || (chinese && r.add_id[0] == '\0')) {
      state.SkipWithError("scan failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  setDetectMode(0);
}

void visaStep(benchmark::State& state, const char* name) {
  if (!ready(state)) return;
  cv::Mat img = visaPage(name);
  setDetectMode(2);
  Silence quiet;
  OCR_RESULT scanned;
  int sz1 = 0, sz2 = 0;
  if (img.cols != 1600 || passport_location(img, sz1, sz2) != 0 || vyr_passport_result_analysis(img, scanned) != 0) {
    state.SkipWithError("location or MRZ read failed");
    setDetectMode(0);
    return;
  }
  for (auto _ : state) {
    OCR_RESULT r = scanned;
    r.add_id[0] = '\0';
    r.category[0] = '\0';
    get_visa_issue_info(img, r);
    normalize_visa_category(passport_ocr_result.mrz[1], r.category);
    if (r.add_id[0] == '\0') {
      state.SkipWithError("no visa number");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  setDetectMode(0);
}

void BM_Visa_FullScan_NumberLow(benchmark::State& s) { fullScan(s, visaPage("c01_bottom_clean"), true); }
void BM_Visa_FullScan_NumberHigh(benchmark::State& s) { fullScan(s, visaPage("c02_top_clean"), true); }
// The same scan of a visa issued by another state, which has no visa step.
void BM_Visa_FullScan_OtherState(benchmark::State& s) { fullScan(s, readPage(page("v01_a_clean")), false); }
void BM_Visa_Step_NumberLow(benchmark::State& s) { visaStep(s, "c01_bottom_clean"); }
void BM_Visa_Step_NumberHigh(benchmark::State& s) { visaStep(s, "c02_top_clean"); }
void BM_Visa_Step_NineDigits(benchmark::State& s) { visaStep(s, "c05_bottom_nine_digits"); }

#define VYR_VISA_BENCH(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)

VYR_VISA_BENCH(BM_Visa_FullScan_NumberLow);
VYR_VISA_BENCH(BM_Visa_FullScan_NumberHigh);
VYR_VISA_BENCH(BM_Visa_FullScan_OtherState);
VYR_VISA_BENCH(BM_Visa_Step_NumberLow);
VYR_VISA_BENCH(BM_Visa_Step_NumberHigh);
VYR_VISA_BENCH(BM_Visa_Step_NineDigits);

}  // namespace
