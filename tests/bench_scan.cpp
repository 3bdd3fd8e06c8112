// One full scan of a rendered 1600 x 1200 passport page (tests/data/pages
// p01_clean) through the scan interface, and its stages one by one: the band
// check, the line location of each detect mode, the deskew of one line and
// the reading of the located page. Each is repeated and reported with its
// median. The recognisers are replaced by a stand-in that reads the printed
// characters (the fixture models are untrained); the template matching, the
// segmentation, the MRZ detector fixture and the face detector fixture run.
#include <benchmark/benchmark.h>

#include "global.h"
#include "passport_detect_mrz.h"
#include "passport_locate2.h"
#include "passport_visa.h"
#include "test_scan_fixtures.h"
#include "vyr_log.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

// Start-up once for all benchmarks; the page and its expected fields.
struct Setup {
  ModelsDir models;
  Page page;
  cv::Mat image;
  bool ok = false;
  Setup() {
    Silence quiet;
    vyr_set_log_dummy(1);
    for (const Page& p : loadPages())
      if (p.name == "p01_clean") page = p;
    image = readPage(page);
    ok = models.ok() && !image.empty() && image.size() == cv::Size(1600, 1200) &&
         vyrocr_init(models.path().c_str(), "", 1) == 0;
    vyrocr_set_scan_type(1);
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

bool ready(benchmark::State& state) {
  if (!setup().ok) state.SkipWithError("models or page missing");
  return setup().ok;
}

void fullScan(benchmark::State& state, int detectMode) {
  if (!ready(state)) return;
  Setup& s = setup();
  setDetectMode(detectMode + 1);
  TruthRecognisers rec(s.page["mrz1"], s.page["mrz2"]);
  Silence quiet;
  OCR_RESULT r;
  for (auto _ : state) {
    if (vyrocr_scan_mat(s.image, 0, r) != 0) {
      state.SkipWithError("scan failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  setDetectMode(0);
}

void BM_FullScan_Geometry(benchmark::State& state) { fullScan(state, 0); }
void BM_FullScan_TextDetector(benchmark::State& state) { fullScan(state, 1); }

void BM_FullScan_NV21(benchmark::State& state) {
  if (!ready(state)) return;
  Setup& s = setup();
  std::vector<unsigned char> nv21 = toNV21(s.image);
  setDetectMode(1);
  TruthRecognisers rec(s.page["mrz1"], s.page["mrz2"]);
  Silence quiet;
  OCR_RESULT r;
  for (auto _ : state) {
    if (vyrocr_scan_yuv(nv21.data(), s.image.cols, s.image.rows, 0, 0, 0, r) != 0) {
      state.SkipWithError("scan failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  setDetectMode(0);
}

// Stage: the band check (MSER mask, closing, bar choice).
void BM_Stage_BandCheck(benchmark::State& state) {
  if (!ready(state)) return;
  Setup& s = setup();
  setDetectMode(1);
  cv::Mat band = s.image(cv::Rect(0, s.image.rows - 481, s.image.cols, 480));
  for (auto _ : state) {
    cv::Mat mask;
    if (check_mrz_main(band, mask) != 0) {
      state.SkipWithError("no MRZ bar");
      break;
    }
    benchmark::DoNotOptimize(mask.data);
  }
  setDetectMode(0);
}

// Stage: the passport location (band check, lines, deskew, binarisation,
// segmentation) in one detect mode.
void location(benchmark::State& state, int detectMode) {
  if (!ready(state)) return;
  Setup& s = setup();
  setDetectMode(detectMode + 1);
  for (auto _ : state) {
    int sz1 = 0, sz2 = 0;
    if (passport_location(s.image, sz1, sz2) != 0) {
      state.SkipWithError("location failed");
      break;
    }
  }
  setDetectMode(0);
}
void BM_Stage_Location_Geometry(benchmark::State& state) { location(state, 0); }
void BM_Stage_Location_TextDetector(benchmark::State& state) { location(state, 1); }

// Stage: the deskew of the upper MRZ line as the location cuts it.
void BM_Stage_LineDeskew(benchmark::State& state) {
  if (!ready(state)) return;
  Setup& s = setup();
  cv::Mat band = s.image(cv::Rect(0, s.image.rows - 481, s.image.cols, 480));
  cv::Mat cut = band(cv::Rect(200, 280, 1200, 70));
  for (auto _ : state) {
    cv::Mat out;
    PASSPORT_ROTATED_STRUCT rec;
    rotation_visa2(cut, out, cv::Size(1160, 50), cv::Point2f(600, 35), -1.2, rec, true);
    benchmark::DoNotOptimize(out.data);
  }
}

// Stage: the reading of a located page (matching, checks, face and page crops).
void BM_Stage_ResultAnalysis(benchmark::State& state) {
  if (!ready(state)) return;
  Setup& s = setup();
  setDetectMode(1);
  int sz1 = 0, sz2 = 0;
  if (passport_location(s.image, sz1, sz2) != 0) {
    state.SkipWithError("location failed");
    setDetectMode(0);
    return;
  }
  TruthRecognisers rec(s.page["mrz1"], s.page["mrz2"]);
  OCR_RESULT r;
  for (auto _ : state) {
    if (vyr_passport_result_analysis(s.image, r) != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  setDetectMode(0);
}

#define VYR_SCAN_BENCH(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)

VYR_SCAN_BENCH(BM_FullScan_Geometry);
VYR_SCAN_BENCH(BM_FullScan_TextDetector);
VYR_SCAN_BENCH(BM_FullScan_NV21);
VYR_SCAN_BENCH(BM_Stage_BandCheck);
VYR_SCAN_BENCH(BM_Stage_Location_Geometry);
VYR_SCAN_BENCH(BM_Stage_Location_TextDetector);
VYR_SCAN_BENCH(BM_Stage_LineDeskew);
VYR_SCAN_BENCH(BM_Stage_ResultAnalysis);

}  // namespace
