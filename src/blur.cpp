#include "blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/imgproc.hpp>

namespace {

// Images too small for the 3 x 3 gradients to say anything get this score.
constexpr float kTooSmallScore = 99.f;
constexpr int kMinBlurSide = 20;
// Narrow crops are measured on a centred window only: their margins are
// mostly background and would flatten the score.
constexpr int kMaxWindowedCols = 99;
constexpr int kWindowSide = 18;

// The SSIM constants (0.01 * 255)^2 and (0.03 * 255)^2, the window of the
// local statistics, and the size beyond which only the centre is measured.
constexpr double kC1 = 6.5025;
constexpr double kC2 = 58.5225;
const cv::Size kSsimWindow(7, 7);
constexpr double kSsimSigma = 1.5;
constexpr int kMaxWholeCols = 1280;
constexpr int kMaxWholeRows = 720;

constexpr double kCannyLow = 51;
constexpr double kCannyHigh = 204;

// NRSS: the strongly blurred reference, and its 8 x 8 grid of blocks of 2/9
// of the image, half a block apart.
const cv::Size kNrssWindow(7, 7);
constexpr double kNrssSigma = 6;
constexpr int kNrssGrid = 8;
constexpr int kNrssMinSide = 5;  // below this the blocks have no width or height

constexpr double kBlurredInvRatio = 0.1 / 255;

// The views of a and b that the similarity measures compare: both whole, or
// beyond 1280 x 720 the centred three fifths of a in each direction, cut at
// the same place from b (which raises when b does not contain it). False when
// that rectangle is empty (a single row wider than 1280 columns).
bool measuredRegions(const cv::Mat& a, const cv::Mat& b, cv::Mat& ra, cv::Mat& rb) {
  if (a.cols > kMaxWholeCols || a.rows > kMaxWholeRows) {
    const cv::Rect centre(a.cols / 5, a.rows / 5, 3 * a.cols / 5, 3 * a.rows / 5);
    if (centre.empty()) return false;
    ra = a(centre);
    rb = b(centre);
  } else {
    ra = a;
    rb = b;
  }
  CV_Assert(ra.size() == rb.size());
  return true;
}

cv::Mat ssimBlur(const cv::Mat& m) {
  cv::Mat out;
  cv::GaussianBlur(m, out, kSsimWindow, kSsimSigma, 0, cv::BORDER_DEFAULT);
  return out;
}

cv::Mat toFloat(const cv::Mat& m) {
  cv::Mat out;
  m.convertTo(out, CV_32F);
  return out;
}

// Only the first channel makes the SSIM result; the others are not computed.
cv::Mat firstChannelFloat(const cv::Mat& m) {
  if (m.channels() == 1) return toFloat(m);
  cv::Mat first;
  cv::extractChannel(m, first, 0);
  return toFloat(first);
}

// Mean over every pixel of
//   ((2 mu1 mu2 + C1) (2 s12 + C2)) / ((mu1^2 + mu2^2 + C1) (s11 + s22 + C2))
// with the local means mu1, mu2 given and the local variances s11, s22 and
// covariance s12 taken from u and v (float, one channel).
double meanSimilarity(const cv::Mat& mu1, const cv::Mat& mu2, const cv::Mat& u, const cv::Mat& v,
                      const cv::Mat& muU, const cv::Mat& muV) {
  const cv::Mat s11 = ssimBlur(u.mul(u)) - muU.mul(muU);
  const cv::Mat s22 = ssimBlur(v.mul(v)) - muV.mul(muV);
  const cv::Mat s12 = ssimBlur(u.mul(v)) - muU.mul(muV);
  cv::Mat t1 = 2 * mu1.mul(mu2) + kC1;
  cv::Mat t2 = 2 * s12 + kC2;
  const cv::Mat numerator = t1.mul(t2);
  t1 = mu1.mul(mu1) + mu2.mul(mu2) + kC1;
  t2 = s11 + s22 + kC2;
  const cv::Mat denominator = t1.mul(t2);  // at least C1 * C2: never 0
  cv::Mat map;
  cv::divide(numerator, denominator, map);
  return cv::mean(map)[0];
}

}  // namespace

// ---- blur score and simple sharpness measures -------------------------------------

float get_quality_blur(const cv::Mat& image) {
  if (image.empty()) return 0.f;
  cv::Mat gray;
  cv::cvtColor(image, gray, cv::COLOR_RGB2GRAY);
  if (gray.cols < kMinBlurSide || gray.rows < kMinBlurSide) return kTooSmallScore;
  if (gray.cols <= kMaxWindowedCols) {
    // A view: the gradients at the window's edge see the pixels around it.
    const cv::Mat window =
        gray(cv::Rect(gray.cols / 2 - kWindowSide / 2, gray.rows / 2 - kWindowSide / 2, kWindowSide, kWindowSide));
    return static_cast<float>(Thenengrad1(window));
  }
  return static_cast<float>(Thenengrad1(gray));
}

double Thenengrad1(const cv::Mat& gray) {
  cv::Mat gx, gy, absX, absY, blend;
  cv::Sobel(gray, gx, CV_16S, 1, 0, 3, 1, 0, cv::BORDER_DEFAULT);
  cv::convertScaleAbs(gx, absX);
  cv::Sobel(gray, gy, CV_16S, 0, 1, 3, 1, 0, cv::BORDER_DEFAULT);
  cv::convertScaleAbs(gy, absY);
  cv::addWeighted(absX, 0.5, absY, 0.5, 0, blend);
  cv::Scalar mean, stddev;
  cv::meanStdDev(blend, mean, stddev);
  return stddev[0];
}

float laplacian_blur_detect(const cv::Mat& image) {
  cv::Mat gray, laplacian;
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  cv::Laplacian(gray, laplacian, CV_64F, 1, 1, 0, cv::BORDER_DEFAULT);
  cv::Scalar mean, stddev;
  cv::meanStdDev(laplacian, mean, stddev);
  return static_cast<float>(stddev[0]);
}

int getBlurImage(const cv::Mat& src, cv::Rect rect, cv::Mat& dst) {
  // 64-bit ends: x + width must not overflow for rectangles far outside.
  const int64_t x1 = std::max<int64_t>(rect.x, 0);
  const int64_t y1 = std::max<int64_t>(rect.y, 0);
  const int64_t x2 = std::min<int64_t>(int64_t{rect.x} + rect.width, src.cols) - 1;
  const int64_t y2 = std::min<int64_t>(int64_t{rect.y} + rect.height, src.rows) - 1;
  if (x2 < x1 || y2 < y1) return -1;
  const cv::Rect clamped(static_cast<int>(x1), static_cast<int>(y1), static_cast<int>(x2 - x1 + 1),
                         static_cast<int>(y2 - y1 + 1));
  dst = src(clamped).clone();
  return 0;
}

int findBlur(int, int) { return 0; }

int checkBlur(int, int) { return 0; }

// ---- structural similarity and PSNR ----------------------------------------------

double getMSSIM(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty()) return 0.0;
  CV_CheckEQ(a.channels(), b.channels(), "getMSSIM compares images of one channel count");
  cv::Mat ra, rb;
  if (!measuredRegions(a, b, ra, rb)) return 0.0;
  const cv::Mat x = firstChannelFloat(ra), y = firstChannelFloat(rb);
  const cv::Mat mu1 = ssimBlur(x), mu2 = ssimBlur(y);
  return meanSimilarity(mu1, mu2, x, y, mu1, mu2);
}

double getPSNR(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty()) return 0.0;
  CV_CheckTypeEQ(a.type(), b.type(), "getPSNR compares images of one type");
  CV_Assert(a.size() == b.size());
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  diff = toFloat(diff);
  diff = diff.mul(diff);
  const cv::Scalar perChannel = cv::sum(diff);
  const double sse = perChannel[0] + perChannel[1] + perChannel[2] + perChannel[3];
  if (sse <= 1e-10) return 0.0;
  const double n = static_cast<double>(static_cast<uint64_t>(a.channels()) * static_cast<uint64_t>(a.total()));
  const double mse = sse / n;
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

// ---- gradient structural similarity and no-reference sharpness -------------------

double getGSSIM(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty()) return 0.0;
  CV_CheckEQ(a.channels(), 1, "getGSSIM needs one-channel images");
  CV_CheckEQ(b.channels(), 1, "getGSSIM needs one-channel images");
  cv::Mat ra, rb;
  if (!measuredRegions(a, b, ra, rb)) return 0.0;
  cv::Mat a8, b8, edges1, edges2;
  ra.convertTo(a8, CV_8U);
  rb.convertTo(b8, CV_8U);
  cv::Canny(a8, edges1, kCannyLow, kCannyHigh, 3, false);
  cv::Canny(b8, edges2, kCannyLow, kCannyHigh, 3, false);
  const cv::Mat gx = toFloat(edges1), gy = toFloat(edges2);
  // The luminance term from the images themselves (unclamped), the rest from
  // the edge maps.
  const cv::Mat mu1 = ssimBlur(toFloat(ra)), mu2 = ssimBlur(toFloat(rb));
  return meanSimilarity(mu1, mu2, gx, gy, ssimBlur(gx), ssimBlur(gy));
}

cv::Rect nrssGridBlock(cv::Size mapSize, int k) {
  const int c = mapSize.width, r = mapSize.height;
  const int bw = 2 * c / 9, bh = 2 * r / 9;
  const int sx = c / 9, sy = r / 9;
  const int left = (k % kNrssGrid) * sx, top = (k / kNrssGrid) * sy;
  const int right = std::min(left + bw, c - 1), bottom = std::min(top + bh, r - 1);
  return cv::Rect(left, top, right - left, bottom - top);
}

cv::Rect nrssChosenBlock(const cv::Mat& map) {
  // The spreads are compared in single precision, rounded alike, so that of
  // blocks with equal spreads the first is kept.
  float best = 0.f;
  cv::Rect chosen;
  for (int k = 0; k < kNrssGrid * kNrssGrid; ++k) {
    const cv::Rect block = nrssGridBlock(map.size(), k);
    if (block.width <= 0 || block.height <= 0) continue;
    cv::Scalar mean, stddev;
    cv::meanStdDev(map(block), mean, stddev);
    const float spread = static_cast<float>(stddev[0]);
    if (spread > best) {
      best = spread;
      chosen = block;
    }
  }
  return chosen;
}

double getNRSS(const cv::Mat& gray) {
  CV_CheckEQ(gray.channels(), 1, "getNRSS needs a one-channel image");
  if (gray.cols < kNrssMinSide || gray.rows < kNrssMinSide) return 0.0;
  cv::Mat reference, G, Gr;
  cv::GaussianBlur(gray, reference, kNrssWindow, kNrssSigma, kNrssSigma, cv::BORDER_DEFAULT);
  cv::Sobel(gray, G, CV_32F, 1, 1, 3, 1, 0, cv::BORDER_DEFAULT);
  cv::Sobel(reference, Gr, CV_32F, 1, 1, 3, 1, 0, cv::BORDER_DEFAULT);
  const cv::Rect block = nrssChosenBlock(G);
  // Nothing varies: nothing is sharp, and the image equals its blurred copy.
  if (block.empty()) return 0.0;
  const cv::Mat bestG = G(block).clone(), bestGr = Gr(block).clone();
  return 1.0 - getGSSIM(bestG, bestGr);
}

// ---- edge-based blur estimate -------------------------------------------------------

void comput_blur_IQA(const cv::Mat& gray, float& inv_blur_ratio, float& blur_edge_ratio) {
  CV_CheckEQ(gray.channels(), 1, "comput_blur_IQA needs a one-channel image");
  // filter2D correlates: kernelDown gives I(y + 1, x) - I(y - 1, x) and
  // kernelRight I(y, x + 1) - I(y, x - 1), both signed.
  const cv::Mat kernelDown = (cv::Mat_<float>(3, 3) << 0, -1, 0, 0, 0, 0, 0, 1, 0);
  const cv::Mat kernelRight = (cv::Mat_<float>(3, 3) << 0, 0, 0, -1, 0, 1, 0, 0, 0);
  // Filtered on an own copy: on a view of a larger image the border would
  // take the pixels around the view instead of mirroring.
  const cv::Mat g = toFloat(gray);
  cv::Mat down, right;
  cv::filter2D(g, down, CV_32F, kernelDown, cv::Point(-1, -1), 0, cv::BORDER_DEFAULT);
  cv::filter2D(g, right, CV_32F, kernelRight, cv::Point(-1, -1), 0, cv::BORDER_DEFAULT);

  // Edge candidates: vertical differences above the mean horizontal one.
  const float m = static_cast<float>(cv::mean(right)[0]);
  cv::Mat candidate = cv::Mat::zeros(down.size(), CV_32F);
  down.copyTo(candidate, down > m);

  int64_t edges = 0;
  for (int y = 1; y + 1 < candidate.rows; ++y) {
    const float* above = candidate.ptr<float>(y - 1);
    const float* here = candidate.ptr<float>(y);
    const float* below = candidate.ptr<float>(y + 1);
    for (int x = 0; x < candidate.cols; ++x)
      if (here[x] > above[x] && here[x] > below[x]) ++edges;
  }

  // |g - A| / A with A half a difference; a zero A gives 0 (IEEE division
  // would give inf or NaN).
  const auto ratio = [](float value, float difference) {
    const float half = difference / 2;
    return half == 0.f ? 0.f : std::fabs(value - half) / half;
  };
  int64_t nonZero = 0, blurred = 0;
  for (int y = 0; y < g.rows; ++y) {
    const float* gp = g.ptr<float>(y);
    const float* dp = down.ptr<float>(y);
    const float* rp = right.ptr<float>(y);
    for (int x = 0; x < g.cols; ++x) {
      const float inv = std::max(ratio(gp[x], dp[x]), ratio(gp[x], rp[x]));
      if (inv != 0.f) ++nonZero;
      if (static_cast<double>(inv) < kBlurredInvRatio) ++blurred;
    }
  }
  inv_blur_ratio = static_cast<float>(nonZero) / static_cast<float>(blurred);
  blur_edge_ratio = static_cast<float>(blurred) / static_cast<float>(edges);
}
