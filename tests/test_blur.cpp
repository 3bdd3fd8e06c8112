// Image-quality measures: the analytic values of the sharpness and similarity
// measures on generated images, their crop and window rules, the defined
// results for empty and featureless input, the errors they let through, and
// their ranking of a rendered MRZ band and its blurred copies.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "blur.h"

namespace {

constexpr double kC1 = 6.5025;  // (0.01 * 255)^2

cv::Mat noise(int rows, int cols, int type, uint64_t seed) {
  cv::Mat m(rows, cols, type);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

// Rows [0, split) hold `top`, the rest `bottom` (any channel count).
cv::Mat horizontalStep(int rows, int cols, int type, int split, cv::Scalar top, cv::Scalar bottom) {
  cv::Mat m(rows, cols, type, top);
  m.rowRange(split, rows).setTo(bottom);
  return m;
}

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Standard deviation of a two-valued population: n of N pixels at v, the rest 0.
double spread(double v, double n, double N) { return v * std::sqrt(n / N * (1 - n / N)); }

// ---- analytic values ---------------------------------------------------------------

struct Reference {
  const char* name;
  std::function<double()> value;
  double want;
  double tolerance;
};

double iqa(const cv::Mat& m, bool first) {
  float inv = -1, edge = -1;
  comput_blur_IQA(m, inv, edge);
  return first ? inv : edge;
}

TEST(BlurMeasures, AnalyticReferenceTable) {
  const cv::Mat step = horizontalStep(100, 100, CV_8UC1, 50, 0, 255);
  const cv::Mat stepColour = horizontalStep(100, 100, CV_8UC3, 50, cv::Scalar::all(0), cv::Scalar::all(255));
  const cv::Mat firstChannel = horizontalStep(100, 100, CV_8UC3, 50, cv::Scalar::all(0), cv::Scalar(255, 0, 0));
  const cv::Mat thirdChannel = horizontalStep(100, 100, CV_8UC3, 50, cv::Scalar::all(0), cv::Scalar(0, 0, 255));
  cv::Mat ramp(100, 100, CV_8UC1), rampColour;  // 0 ... 99 from left to right
  for (int x = 0; x < 100; ++x) ramp.col(x).setTo(x);
  cv::cvtColor(ramp, rampColour, cv::COLOR_GRAY2BGR);
  const cv::Mat seeded = noise(64, 64, CV_8UC1, 7);
  const cv::Mat seededLow = noise(64, 64, CV_8UC1, 7) * (250.0 / 255.0);
  cv::Mat sixRows(6, 5, CV_8UC1);
  const uchar rowValues[] = {0, 0, 50, 150, 150, 150};
  for (int y = 0; y < 6; ++y) sixRows.row(y).setTo(rowValues[y]);
  cv::Mat onePixel = cv::Mat::zeros(10, 10, CV_8UC1), oneSample = cv::Mat::zeros(10, 10, CV_8UC3);
  onePixel.at<uchar>(3, 4) = 255;
  oneSample.at<cv::Vec3b>(3, 4)[1] = 255;
  const auto flat = [](int v) { return cv::Mat(64, 64, CV_8UC1, cv::Scalar(v)); };
  const auto flatColour = [](int rows, int cols) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(90, 150, 210)); };
  const double inf = std::numeric_limits<double>::infinity();

  // Sobel of a 0/255 step saturates to 255 in both rows beside it; the blend
  // rounds 127.5 to 128. The Laplacian puts +-v on those two rows.
  const std::vector<Reference> table = {
      {"blur score, empty", [] { return get_quality_blur(cv::Mat()); }, 0.0, 0},
      {"blur score, 19 wide", [&] { return get_quality_blur(flatColour(300, 19)); }, 99.0, 0},
      {"blur score, 19 high", [&] { return get_quality_blur(flatColour(19, 300)); }, 99.0, 0},
      {"blur score, uniform 200 x 40", [&] { return get_quality_blur(flatColour(40, 200)); }, 0.0, 0},
      {"Tenengrad, step", [&] { return Thenengrad1(step); }, spread(128, 2, 100), 1e-4},
      {"Tenengrad, step transposed", [&] { return Thenengrad1(cv::Mat(step.t())); }, spread(128, 2, 100), 1e-4},
      {"blur score, step", [&] { return get_quality_blur(stepColour); }, 17.92, 1e-4},
      {"Laplacian, step", [&] { return laplacian_blur_detect(stepColour); }, 255 * std::sqrt(0.02), 1e-4},
      {"blur score, 40 x 40 step in the window",
       [&] { return get_quality_blur(horizontalStep(40, 40, CV_8UC3, 20, cv::Scalar::all(0), cv::Scalar::all(255))); },
       spread(128, 2, 18), 1e-4},
      // The blur score takes the first channel as red (0.299 * 255 -> 76, Sobel
      // saturates), the Laplacian as blue (0.114 * 255 -> 29); the other way
      // round for the third channel.
      {"blur score, first channel", [&] { return get_quality_blur(firstChannel); }, 17.92, 1e-4},
      {"Laplacian, first channel", [&] { return laplacian_blur_detect(firstChannel); }, 29 * std::sqrt(0.02), 1e-4},
      {"blur score, third channel", [&] { return get_quality_blur(thirdChannel); }, spread(58, 2, 100), 1e-4},
      {"Laplacian, third channel", [&] { return laplacian_blur_detect(thirdChannel); }, 76 * std::sqrt(0.02), 1e-4},
      // A ramp of slope 1: Sobel x is 8 inside, 0 on the mirrored first and
      // last columns; the Laplacian is +2 and -2 there and 0 inside.
      {"Tenengrad, ramp", [&] { return Thenengrad1(ramp); }, spread(4, 98, 100), 1e-4},
      {"Laplacian, ramp", [&] { return laplacian_blur_detect(rampColour); }, 2 * std::sqrt(0.02), 1e-4},
      {"SSIM, identical noise", [&] { return getMSSIM(seeded, seeded); }, 1.0, 1e-4},
      {"GSSIM, identical noise", [&] { return getGSSIM(seeded, seeded); }, 1.0, 1e-4},
      {"PSNR, identical noise", [&] { return getPSNR(seeded, seeded); }, 0.0, 0},
      {"PSNR, noise against noise + 1",
       [&] { return getPSNR(seededLow, cv::Mat(seededLow + 1)); }, 10 * std::log10(65025.0), 1e-4},
      {"PSNR, uniform 100 against 101", [&] { return getPSNR(flat(100), flat(101)); }, 48.1308, 1e-4},
      {"PSNR, one pixel of 100 at 255", [&] { return getPSNR(cv::Mat::zeros(10, 10, CV_8UC1), onePixel); }, 20.0, 1e-4},
      {"PSNR, one sample of 300 at 255",
       [&] { return getPSNR(cv::Mat::zeros(10, 10, CV_8UC3), oneSample); }, 10 * std::log10(300.0), 1e-4},
      // Flat images: no variance and no edges, only the luminance term.
      {"SSIM, uniform 0 against 255", [&] { return getMSSIM(flat(0), flat(255)); }, kC1 / (65025 + kC1), 1e-7},
      {"GSSIM, uniform 0 against 255", [&] { return getGSSIM(flat(0), flat(255)); }, kC1 / (65025 + kC1), 1e-7},
      {"SSIM, uniform 50 against 200", [&] { return getMSSIM(flat(50), flat(200)); },
       (2 * 50 * 200 + kC1) / (50 * 50 + 200 * 200 + kC1), 1e-4},
      {"GSSIM, uniform 50 against 200", [&] { return getGSSIM(flat(50), flat(200)); },
       (2 * 50 * 200 + kC1) / (50 * 50 + 200 * 200 + kC1), 1e-4},
      // Rows 0, 0, 50, 150, 150, 150: only row 2 is an edge, rows 0, 4 and 5
      // are blurred, rows 1 to 3 have a non-zero ratio (1, 1/3, 2). Without
      // zero divisors mapped to 0 this would come out (inf, 0).
      {"blur estimate, six rows: inverse-blur ratio", [&] { return iqa(sixRows, true); }, 1.0, 1e-6},
      {"blur estimate, six rows: blurred per edge", [&] { return iqa(sixRows, false); }, 3.0, 1e-6},
      {"blur estimate, uniform: inverse-blur ratio", [&] { return iqa(flat(77), true); }, 0.0, 0},
      {"blur estimate, uniform: blurred per edge", [&] { return iqa(flat(77), false); }, inf, 0},
      // A view of two rows: they mirror each other, the rows around them in
      // the larger image do not count.
      {"blur estimate, two rows have no edge", [&] { return iqa(sixRows.rowRange(2, 4), false); }, inf, 0},
  };
  for (const Reference& r : table) {
    const double got = r.value();
    if (std::isinf(r.want))
      EXPECT_EQ(got, r.want) << r.name;
    else
      EXPECT_NEAR(got, r.want, r.tolerance) << r.name;
  }
}

// ---- crop and window rules ----------------------------------------------------------

// An image 29.31 when its measured 18 x 18 window is where the rule says: a
// step between the window's last column (or row) and the next one leaves one
// column (row) of 128 in the window; one pixel off and it sees 0 or 2.
TEST(BlurScore, WindowOfNarrowImages) {
  struct Row {
    int cols, rows;
    bool windowed;
    cv::Point corner;
  };
  const Row rows[] = {{20, 20, true, {1, 1}},
                      {99, 300, true, {40, 141}},
                      {20, 99, true, {1, 40}},
                      {100, 20, false, {}},
                      {160, 40, false, {}}};
  for (const Row& r : rows) {
    if (!r.windowed) {
      // Measured whole: two columns of 128 among all.
      cv::Mat img(r.rows, r.cols, CV_8UC3, cv::Scalar::all(0));
      img.colRange(r.cols / 2, r.cols).setTo(cv::Scalar::all(255));
      EXPECT_NEAR(get_quality_blur(img), spread(128, 2, r.cols), 1e-4) << r.cols << " x " << r.rows;
      continue;
    }
    for (bool vertical : {true, false}) {
      cv::Mat img(r.rows, r.cols, CV_8UC3, cv::Scalar::all(0));
      if (vertical)
        img.colRange(r.corner.x + 18, r.cols).setTo(cv::Scalar::all(255));
      else
        img.rowRange(r.corner.y + 18, r.rows).setTo(cv::Scalar::all(255));
      EXPECT_NEAR(get_quality_blur(img), spread(128, 1, 18), 1e-4)
          << r.cols << " x " << r.rows << (vertical ? ", step right of the window" : ", step below the window");
    }
  }
}

// b equals a inside `keep` and is the inverse of a elsewhere.
cv::Mat invertedOutside(const cv::Mat& a, cv::Rect keep) {
  cv::Mat b = 255 - a;
  a(keep).copyTo(b(keep));
  return b;
}

// a with the one-pixel ring just inside `ring` inverted.
cv::Mat invertedRing(const cv::Mat& a, cv::Rect ring) {
  cv::Mat b = a.clone(), inner = b(ring);
  for (cv::Mat edge : {inner.row(0), inner.row(inner.rows - 1), inner.col(0), inner.col(inner.cols - 1)})
    cv::bitwise_not(edge, edge);
  return b;
}

TEST(Similarity, CentreCropBeyond1280By720) {
  struct Row {
    int cols, rows;
    cv::Rect crop;  // empty: measured whole
  };
  const Row rows[] = {{1280, 720, {}},
                      {1281, 720, {256, 144, 768, 432}},
                      {1280, 721, {256, 144, 768, 432}},
                      {1920, 1080, {384, 216, 1152, 648}}};
  using Measure = double (*)(const cv::Mat&, const cv::Mat&);
  const std::pair<const char*, Measure> measures[] = {{"SSIM", getMSSIM}, {"GSSIM", getGSSIM}};
  for (const Row& r : rows) {
    const cv::Mat a = noise(r.rows, r.cols, CV_8UC1, r.cols + r.rows);
    for (const auto& [name, measure] : measures) {
      const std::string what = std::string(name) + " " + std::to_string(r.cols) + " x " + std::to_string(r.rows);
      if (r.crop.empty()) {
        // The image border is measured too.
        EXPECT_LT(measure(a, invertedRing(a, cv::Rect(0, 0, r.cols, r.rows))), 0.999) << what;
        continue;
      }
      EXPECT_NEAR(measure(a, invertedOutside(a, r.crop)), 1.0, 1e-6) << what;
      EXPECT_LT(measure(a, invertedRing(a, r.crop)), 0.999) << what;
    }
  }

  // The first image alone decides the rectangle; a larger second image is
  // cut at the same place, a second that does not contain it raises.
  const cv::Mat a = noise(1080, 1920, CV_8UC1, 3);
  cv::Mat larger = noise(1100, 2000, CV_8UC1, 4);
  a.copyTo(larger(cv::Rect(0, 0, 1920, 1080)));
  EXPECT_NEAR(getMSSIM(a, larger), 1.0, 1e-6);
  EXPECT_NEAR(getGSSIM(a, larger), 1.0, 1e-6);
  const cv::Mat small = a(cv::Rect(0, 0, 1500, 800)).clone();
  EXPECT_THROW(getMSSIM(a, small), cv::Exception);
  EXPECT_THROW(getGSSIM(a, small), cv::Exception);
}

TEST(BlurImage, ClampedCopy) {
  cv::Mat src = noise(40, 30, CV_8UC3, 11);  // 30 wide, 40 high
  const cv::Mat before = src.clone();
  struct Row {
    cv::Rect rect;
    int result;
    cv::Rect copied;
  };
  const Row rows[] = {
      {{0, 0, 50, 50}, 0, {0, 0, 30, 40}},
      {{-5, -5, 20, 20}, 0, {0, 0, 15, 15}},
      {{10, 25, 50, 50}, 0, {10, 25, 20, 15}},  // left edge beyond the clamped width: a valid crop
      {{29, 39, 1, 1}, 0, {29, 39, 1, 1}},
      {{30, 0, 5, 5}, -1, {}},
      {{0, 40, 5, 5}, -1, {}},
      {{-10, 0, 10, 5}, -1, {}},
      {{5, 5, 0, 10}, -1, {}},
      {{5, 5, 10, 0}, -1, {}},
      {{5, 5, -3, 10}, -1, {}},
      {{2147483000, 0, 2000, 5}, -1, {}},
  };
  for (const Row& r : rows) {
    cv::Mat dst(3, 3, CV_8UC1, cv::Scalar(9));
    const cv::Mat old = dst;
    EXPECT_EQ(getBlurImage(src, r.rect, dst), r.result) << r.rect;
    if (r.result == 0) {
      EXPECT_TRUE(sameMat(dst, src(r.copied))) << r.rect;
      dst.setTo(cv::Scalar::all(1));  // a copy: the source stays as it was
      EXPECT_TRUE(sameMat(src, before)) << r.rect;
    } else {
      EXPECT_EQ(dst.data, old.data) << r.rect;
      EXPECT_EQ(cv::countNonZero(dst != 9), 0) << r.rect;
    }
  }

  // A rectangle starting at or beyond its own clamped width is valid.
  cv::Mat wide(200, 200, CV_8UC1, cv::Scalar(5)), dst;
  EXPECT_EQ(getBlurImage(wide, cv::Rect(100, 120, 50, 50), dst), 0);
  EXPECT_EQ(dst.size(), cv::Size(50, 50));
  EXPECT_EQ(getBlurImage(cv::Mat(), cv::Rect(0, 0, 5, 5), dst), -1);
  EXPECT_EQ(findBlur(5, 7), 0);
  EXPECT_EQ(checkBlur(-1, 0), 0);
}

// ---- defined results and errors -------------------------------------------------------

TEST(Similarity, EmptyInputGivesZero) {
  const cv::Mat some = noise(8, 8, CV_8UC1, 5);
  const cv::Mat wideRow1 = noise(1, 1300, CV_8UC1, 6), wideRow2 = noise(1, 1300, CV_8UC1, 7);  // crops to 0 rows
  const std::pair<cv::Mat, cv::Mat> pairs[] = {
      {cv::Mat(), cv::Mat()}, {cv::Mat(), some}, {some, cv::Mat()}, {cv::Mat(0, 0, CV_8UC3), some}};
  for (const auto& [a, b] : pairs) {
    EXPECT_EQ(getMSSIM(a, b), 0.0);
    EXPECT_EQ(getGSSIM(a, b), 0.0);
    EXPECT_EQ(getPSNR(a, b), 0.0);
  }
  EXPECT_EQ(getMSSIM(wideRow1, wideRow2), 0.0);
  EXPECT_EQ(getGSSIM(wideRow1, wideRow2), 0.0);
}

TEST(NRSS, FeaturelessOrTinyImagesGiveZero) {
  EXPECT_EQ(getNRSS(cv::Mat()), 0.0);
  EXPECT_EQ(getNRSS(cv::Mat(64, 48, CV_8UC1, cv::Scalar(130))), 0.0);
  EXPECT_EQ(getNRSS(cv::Mat(64, 48, CV_32FC1, cv::Scalar(-3.5))), 0.0);
  for (int cols = 1; cols <= 9; ++cols)
    for (int rows = 1; rows <= 9; ++rows) {
      const double v = getNRSS(noise(rows, cols, CV_8UC1, cols * 16 + rows));
      if (cols < 5 || rows < 5) {
        EXPECT_EQ(v, 0.0) << cols << " x " << rows;
      }
      EXPECT_TRUE(v >= 0.0 && v <= 1.0) << cols << " x " << rows << ": " << v;
    }
}

TEST(BlurMeasures, UnsuitableInputRaises) {
  const cv::Mat grey = noise(30, 30, CV_8UC1, 1), colour = noise(30, 30, CV_8UC3, 2);
  float inv = 7, edge = 8;
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"blur score of grey", [&] { get_quality_blur(grey); }},
      {"Laplacian of grey", [&] { laplacian_blur_detect(grey); }},
      {"Laplacian of nothing", [&] { laplacian_blur_detect(cv::Mat()); }},
      {"SSIM of 3 against 1 channel", [&] { getMSSIM(colour, grey); }},
      {"SSIM of two sizes", [&] { getMSSIM(grey, grey.rowRange(0, 29)); }},
      {"PSNR of two types", [&] { getPSNR(grey, cv::Mat(30, 30, CV_16UC1, cv::Scalar(3))); }},
      {"PSNR of two sizes", [&] { getPSNR(grey, grey.colRange(0, 29)); }},
      {"GSSIM of colour", [&] { getGSSIM(colour, colour); }},
      {"NRSS of colour", [&] { getNRSS(colour); }},
      {"blur estimate of colour", [&] { comput_blur_IQA(colour, inv, edge); }},
  };
  for (const auto& [name, call] : calls) EXPECT_THROW(call(), cv::Exception) << name;
  EXPECT_EQ(inv, 7);
  EXPECT_EQ(edge, 8);
}

TEST(BlurMeasures, InputsStayUnchanged) {
  const cv::Mat colour = noise(90, 120, CV_8UC3, 21), grey = noise(90, 120, CV_8UC1, 22);
  const cv::Mat other = noise(90, 120, CV_8UC1, 23), colourCopy = colour.clone(), greyCopy = grey.clone(),
                otherCopy = other.clone();
  float inv = 0, edge = 0;
  cv::Mat crop;
  get_quality_blur(colour);
  laplacian_blur_detect(colour);
  Thenengrad1(grey);
  getBlurImage(grey, cv::Rect(10, 10, 30, 30), crop);
  getMSSIM(grey, other);
  getPSNR(grey, other);
  getGSSIM(grey, other);
  getNRSS(grey);
  comput_blur_IQA(grey, inv, edge);
  EXPECT_TRUE(sameMat(colour, colourCopy));
  EXPECT_TRUE(sameMat(grey, greyCopy));
  EXPECT_TRUE(sameMat(other, otherCopy));
}

// ---- NRSS block grid ----------------------------------------------------------------------

TEST(NRSS, BlockGrid) {
  struct Row {
    cv::Size map;
    int k;
    cv::Rect block;
  };
  const Row rows[] = {
      {{900, 900}, 0, {0, 0, 200, 200}},     {{900, 900}, 7, {700, 0, 199, 200}},
      {{900, 900}, 63, {700, 700, 199, 199}}, {{905, 905}, 7, {700, 0, 201, 201}},
      {{905, 905}, 63, {700, 700, 201, 201}}, {{9, 9}, 0, {0, 0, 2, 2}},
      {{9, 9}, 7, {7, 0, 1, 2}},              {{9, 9}, 9, {1, 1, 2, 2}},
      {{5, 8}, 7, {0, 0, 1, 1}},              {{8, 5}, 63, {0, 0, 1, 1}},
      {{4, 20}, 0, {0, 0, 0, 4}},
  };
  for (const Row& r : rows) EXPECT_EQ(nrssGridBlock(r.map, r.k), r.block) << r.map << " k " << r.k;
}

TEST(NRSS, BlockOfLargestSpread) {
  // 90 x 90: blocks of 20, 10 apart. A lone pixel at (15, 15) lies in blocks
  // 0, 1, 8 and 9, all of one size: the first wins.
  cv::Mat map = cv::Mat::zeros(90, 90, CV_32FC1);
  EXPECT_TRUE(nrssChosenBlock(map).empty());
  map.at<float>(0, 89) = 5;  // the last column lies in no block
  map.at<float>(89, 0) = 5;  // nor does the last row
  EXPECT_TRUE(nrssChosenBlock(map).empty());
  map.at<float>(15, 15) = 1;
  EXPECT_EQ(nrssChosenBlock(map), cv::Rect(0, 0, 20, 20));
  map.at<float>(55, 55) = 2;  // in blocks 36, 37, 44, 45
  EXPECT_EQ(nrssChosenBlock(map), cv::Rect(40, 40, 20, 20));
}

// ---- ranking of a rendered MRZ band and its blurred copies ----------------------------------

struct Blurred {
  double sigma;
  cv::Mat colour, grey;
};

std::vector<Blurred> blurLadder(const cv::Mat& sharp) {
  std::vector<Blurred> ladder;
  for (double sigma : {0.0, 0.5, 1.0, 2.0, 4.0}) {
    Blurred b{sigma, sharp.clone(), {}};
    if (sigma > 0) cv::GaussianBlur(sharp, b.colour, cv::Size(), sigma);
    cv::cvtColor(b.colour, b.grey, cv::COLOR_BGR2GRAY);
    ladder.push_back(b);
  }
  return ladder;
}

cv::Mat renderedPage() { return cv::imread(std::string(VYR_TEST_DATA_DIR) + "/pages/p01_clean.png", cv::IMREAD_COLOR); }

// Each score must fall strictly from one rung to the next, from rung `from` on.
void expectFalling(const char* name, const std::vector<double>& scores, std::size_t from = 0) {
  for (std::size_t i = from + 1; i < scores.size(); ++i)
    EXPECT_GT(scores[i - 1], scores[i]) << name << ": rung " << i - 1 << " against " << i;
}

TEST(BlurRanking, MrzBandAndBlurredCopies) {
  const cv::Mat page = renderedPage();
  ASSERT_FALSE(page.empty());
  const std::vector<Blurred> ladder = blurLadder(page(cv::Rect(210, 985, 1180, 120)));  // both MRZ lines

  std::vector<double> laplacian, tenengrad, nrss, ssim, psnr, gssim;
  for (const Blurred& b : ladder) {
    laplacian.push_back(laplacian_blur_detect(b.colour));
    tenengrad.push_back(get_quality_blur(b.colour));
    nrss.push_back(getNRSS(b.grey));
    ssim.push_back(getMSSIM(ladder[0].colour, b.colour));
    psnr.push_back(getPSNR(ladder[0].colour, b.colour));
    gssim.push_back(getGSSIM(ladder[0].grey, b.grey));
  }
  expectFalling("Laplacian", laplacian);
  expectFalling("SSIM against the sharp band", ssim);
  expectFalling("GSSIM against the sharp band", gssim);
  EXPECT_EQ(psnr[0], 0.0);  // identical: no ratio
  expectFalling("PSNR against the sharp band", psnr, 1);

  // The blur score saturates its 8-bit gradients at print edges and NRSS
  // compares Canny edges that a blur below one pixel hardly moves: up to
  // sigma 1 they do not tell the copies apart (the score of sigma 0.5 even
  // comes out a little higher), from sigma 2 on they fall clearly.
  for (std::size_t i = 0; i <= 2; ++i) {
    EXPECT_GT(tenengrad[i], 1.2 * tenengrad[3]) << "blur score, rung " << i;
    EXPECT_GT(nrss[i], 1.2 * nrss[3]) << "NRSS, rung " << i;
  }
  expectFalling("blur score", tenengrad, 2);
  expectFalling("NRSS", nrss, 2);
}

TEST(BlurRanking, SharpPageAgainstBlurredCopies) {
  const cv::Mat page = renderedPage();
  ASSERT_FALSE(page.empty());
  const std::vector<Blurred> ladder = blurLadder(page);  // 1600 x 1200: the centre crop is measured
  std::vector<double> ssim, gssim, psnr;
  for (std::size_t i = 1; i < ladder.size(); ++i) {
    ssim.push_back(getMSSIM(page, ladder[i].colour));
    gssim.push_back(getGSSIM(ladder[0].grey, ladder[i].grey));
    psnr.push_back(getPSNR(page, ladder[i].colour));
  }
  expectFalling("SSIM", ssim);
  expectFalling("GSSIM", gssim);
  expectFalling("PSNR", psnr);
  EXPECT_LT(ssim[0], 1.0);
}

}  // namespace
