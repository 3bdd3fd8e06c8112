// The released card model ("models-release/card.p", tools/train_card.py)
// through the library's card road: the detector finds the card on small
// synthetic working images and the corner post-processing accepts it for the
// camera whose card size the scene was made for. Skipped when the released
// models directory has no card model.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "postprocess_cardai.h"
#include "scrfd.h"

namespace {

// Mean corner distance allowed on the 400-pixel working image, and the largest
// single corner distance. The model's held-out error is a few pixels; these
// bounds catch a wrong decoding (half-stride shift, swapped outputs, wrong
// channel order or scale), not the model's last pixel.
constexpr double kMeanTolerance = 8.0;
constexpr double kMaxTolerance = 16.0;

std::string modelsDir() { return std::string(VYR_SOURCE_DIR) + "/models-release"; }

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

struct Scene {
  std::string file;
  int camera = 0;  // 1 old camera, 0 new camera
  std::vector<cv::Point2f> corners;
};

std::vector<Scene> scenes() {
  std::vector<Scene> out;
  std::ifstream in(std::string(VYR_TEST_DATA_DIR) + "/real_card/corners.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    Scene s;
    std::string cam;
    ls >> s.file >> cam;
    s.camera = cam == "old" ? 1 : 0;
    for (int k = 0; k < 4; ++k) {
      float x = 0, y = 0;
      ls >> x >> y;
      s.corners.emplace_back(x, y);
    }
    if (ls) out.push_back(s);
  }
  return out;
}

// Mean and largest distance between two corner lists over the best cyclic
// pairing (the order of the keypoints is the image's, not the card's).
void cornerError(const std::vector<cv::Point2f>& got, const std::vector<cv::Point2f>& want,
                 double& mean, double& worst) {
  mean = 1e9;
  worst = 1e9;
  for (int shift = 0; shift < 4; ++shift) {
    double sum = 0, mx = 0;
    for (int k = 0; k < 4; ++k) {
      const cv::Point2f d = got[(k + shift) % 4] - want[k];
      const double e = std::hypot(d.x, d.y);
      sum += e;
      mx = std::max(mx, e);
    }
    if (sum / 4 < mean) {
      mean = sum / 4;
      worst = mx;
    }
  }
}

class RealCard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!exists(modelsDir() + "/card.p")) return;
    initResult_ = init_card_ai(modelsDir().c_str());
  }
  static void TearDownTestSuite() { uninit_card_ai(); }
  void SetUp() override {
    if (!exists(modelsDir() + "/card.p")) GTEST_SKIP() << "models-release has no card.p";
    ASSERT_EQ(initResult_, 0);
    setDebugShow(0);
    savedDetectMode_ = g_set_detect_mode;
    g_set_detect_mode = 1;  // motion gate off: every scene is a first frame
  }
  void TearDown() override { g_set_detect_mode = savedDetectMode_; }

  static int initResult_;
  int savedDetectMode_ = 0;
};
int RealCard::initResult_ = -1;

TEST_F(RealCard, ModelHasNineOutputsAndAStaticInput) {
  ASSERT_NE(scrfd_ptr, nullptr);
  EXPECT_EQ(scrfd_ptr->output_count, 9);
  EXPECT_TRUE(scrfd_ptr->use_landmarks);
  EXPECT_GT(scrfd_ptr->input_width, 0);
  EXPECT_GT(scrfd_ptr->input_height, 0);
  EXPECT_EQ(scrfd_ptr->input_width % 32, 0);
  EXPECT_EQ(scrfd_ptr->input_height % 32, 0);
}

// Each committed scene, and the same scene turned by 180 degrees (a card lying
// upside down): one card, its keypoints near the true corners, and the
// post-processing accepts it for the scene's camera with corners near the
// truth.
TEST_F(RealCard, FindsTheCardAndItsCornersOnSyntheticScenes) {
  const std::vector<Scene> all = scenes();
  ASSERT_GE(all.size(), 4u);
  for (const Scene& s : all) {
    for (bool turned : {false, true}) {
      SCOPED_TRACE(s.file + (turned ? " turned" : ""));
      cv::Mat img = cv::imread(std::string(VYR_TEST_DATA_DIR) + "/real_card/" + s.file, cv::IMREAD_COLOR);
      ASSERT_FALSE(img.empty());
      std::vector<cv::Point2f> truth = s.corners;
      if (turned) {
        cv::rotate(img, img, cv::ROTATE_180);
        // pixel centres on integers: x -> cols - 1 - x
        for (cv::Point2f& p : truth) p = {img.cols - 1 - p.x, img.rows - 1 - p.y};
      }
      std::vector<BoxfWithLandmarksType> boxes;
      ASSERT_EQ(detect_card_ai(img, boxes), 0);
      ASSERT_EQ(boxes.size(), 1u) << "one card, one box after suppression";
      const BoxfWithLandmarksType& b = boxes[0];
      EXPECT_GE(b.score, 0.6f);
      EXPECT_LE(b.score, 1.0f);
      ASSERT_EQ(b.landmarks.size(), 4u);
      double mean = 0, worst = 0;
      cornerError(b.landmarks, truth, mean, worst);
      EXPECT_LT(mean, kMeanTolerance);
      EXPECT_LT(worst, kMaxTolerance);
      const double kpMean = mean, kpWorst = worst;
      // the box encloses the keypoints, give or take the model's error
      for (const cv::Point2f& p : b.landmarks) {
        EXPECT_GT(p.x, b.x1 - kMaxTolerance);
        EXPECT_LT(p.x, b.x2 + kMaxTolerance);
        EXPECT_GT(p.y, b.y1 - kMaxTolerance);
        EXPECT_LT(p.y, b.y2 + kMaxTolerance);
      }

      std::vector<cv::Point> corners;
      ASSERT_EQ(postprocess_card_ai(img, s.camera, boxes, corners, 4.f), 0);
      ASSERT_EQ(corners.size(), 4u);
      // The post-processing hands out the keypoints' minimum-area rectangle:
      // compared with the true corners' one (a card in perspective is no
      // rectangle), plus rounding to whole pixels.
      std::vector<cv::Point2f> rect(corners.begin(), corners.end());
      cv::Point2f trueRect[4];
      cv::minAreaRect(truth).points(trueRect);
      cornerError(rect, std::vector<cv::Point2f>(trueRect, trueRect + 4), mean, worst);
      EXPECT_LT(mean, kMeanTolerance + 1);
      EXPECT_LT(worst, kMaxTolerance + 1);
      std::printf("%s%s: keypoints mean %.1f max %.1f px; corners mean %.1f max %.1f px\n",
                  s.file.c_str(), turned ? " turned" : "", kpMean, kpWorst, mean, worst);
    }
  }
}

// Frames without a card: plain, a smooth gradient, and the empty desk of a
// scene with the card painted over give no detection.
TEST_F(RealCard, FindsNothingWithoutACard) {
  std::vector<cv::Mat> frames;
  frames.emplace_back(300, 400, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::Mat grad(300, 400, CV_8UC3);
  for (int y = 0; y < grad.rows; ++y)
    for (int x = 0; x < grad.cols; ++x)
      grad.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x * 255 / 399), 90, static_cast<uchar>(y * 255 / 299));
  frames.push_back(grad);
  const std::vector<Scene> all = scenes();
  ASSERT_FALSE(all.empty());
  cv::Mat desk = cv::imread(std::string(VYR_TEST_DATA_DIR) + "/real_card/" + all[0].file, cv::IMREAD_COLOR);
  ASSERT_FALSE(desk.empty());
  std::vector<cv::Point> quad;
  for (const cv::Point2f& p : all[0].corners) quad.emplace_back(cvRound(p.x), cvRound(p.y));
  // Fill the card and its rim with the surroundings, smoothed: a blur of the
  // desk alone divided by a blur of its weight.
  cv::Mat keep(desk.size(), CV_32FC1, cv::Scalar(1.f));
  cv::fillConvexPoly(keep, quad, cv::Scalar(0.f));
  cv::erode(keep, keep, cv::Mat(), cv::Point(-1, -1), 6);
  cv::Mat deskF, num, den;
  desk.convertTo(deskF, CV_32FC3);
  std::vector<cv::Mat> ch;
  cv::split(deskF, ch);
  cv::GaussianBlur(keep, den, cv::Size(0, 0), 30);
  for (cv::Mat& c : ch) {
    cv::GaussianBlur(c.mul(keep), num, cv::Size(0, 0), 30);
    cv::Mat fill = num / cv::max(den, 1e-3);
    c = c.mul(keep) + fill.mul(1.f - keep);
  }
  cv::merge(ch, deskF);
  deskF.convertTo(desk, CV_8UC3);
  frames.push_back(desk);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    std::vector<BoxfWithLandmarksType> boxes;
    EXPECT_EQ(detect_card_ai(frames[i], boxes), -1);
    EXPECT_TRUE(boxes.empty());
  }
}

}  // namespace
