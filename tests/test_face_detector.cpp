// Face detector: loading and unloading (also failed reloads and models that
// do not fit), detection on fixture models whose outputs are known arrays,
// the mapping back to the image and the ranking, and the input path on a
// fixture that looks at the pixels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "detect/centerface.h"
#include "test_detector_models.h"

using detector_test::capture_log;
using detector_test::contains;
using detector_test::TempModelsDir;

namespace {

class FaceDetector : public ::testing::Test {
 protected:
  void SetUp() override { unload_model_centerface(); }
  void TearDown() override { unload_model_centerface(); }
  // Loads a fixture as "fd4_2.p"; returns the loader's result.
  int load(const char* fixture, std::string* log = nullptr) {
    if (!dir_.put(fixture, "fd4_2.p")) return -9999;
    int rc = 0;
    const std::string text = capture_log([&] { rc = vyr_face_init2(dir_.path().c_str()); });
    if (log != nullptr) *log = text;
    return rc;
  }
  void expect_unloaded() {
    EXPECT_EQ(g_init_centerface_mnn_valid, 0);
    EXPECT_EQ(g_mnn_sess_centerface0, nullptr);
    EXPECT_EQ(g_mnn_sess_centerface1, nullptr);
    EXPECT_FALSE(g_mnn_centerface);
  }
  TempModelsDir dir_;
};

_s_face_obj dummy_obj() {
  _s_face_obj o{};
  o.width = o.height = 1;
  return o;
}

TEST_F(FaceDetector, DetectionBeforeLoadingFailsWithAnEmptyList) {
  cv::Mat image(200, 400, CV_8UC3, cv::Scalar(255, 255, 255));
  std::vector<_s_face_obj> objects = {dummy_obj()};
  int rc = 0;
  const std::string log =
      capture_log([&] { rc = vyr_face_detect_centerface(image, objects, 0); });
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(objects.empty());
  EXPECT_TRUE(contains(log, "face dectactor model not load")) << log;
  std::vector<_s_face_info> faces(2);
  EXPECT_EQ(vyr_face_detect2(image, faces), -1);
  EXPECT_TRUE(faces.empty());
}

TEST_F(FaceDetector, MissingOrUnfitModelsAreNotLoaded) {
  struct Case {
    const char* fixture;  // nullptr: no model file at all
    const char* reason;
  };
  const Case cases[] = {
      {nullptr, "open model file"},
      {"detectors/face_badch.p", "do not fit"},
      {"models/db_fixture.p", "no output 537"},
      {"detectors/card_fixture.p", "fd: the network does not run."},  // needs 128 x 160
  };
  for (const Case& c : cases) {
    TempModelsDir dir;
    if (c.fixture != nullptr) {
      ASSERT_TRUE(dir.put(c.fixture, "fd4_2.p"));
    }
    int rc = 0;
    const std::string log = capture_log([&] { rc = vyr_face_init2(dir.path().c_str()); });
    EXPECT_EQ(rc, -1002) << c.reason;
    EXPECT_TRUE(contains(log, c.reason)) << log;
    EXPECT_TRUE(contains(log, "load model " + dir.path() + "/fd4_2.p fail.")) << log;
    expect_unloaded();
  }
  EXPECT_EQ(vyr_face_init2(nullptr), -1002);
  expect_unloaded();
}

TEST_F(FaceDetector, LoadsAndUnloadsRepeatedly) {
  std::string log;
  ASSERT_EQ(load("detectors/face_fixture.p", &log), 0);
  EXPECT_TRUE(contains(log, dir_.path() + "/fd4_2.p loaded.")) << log;
  EXPECT_EQ(g_init_centerface_mnn_valid, 1);
  EXPECT_NE(g_mnn_sess_centerface0, nullptr);
  EXPECT_NE(g_mnn_sess_centerface1, nullptr);
  EXPECT_EQ(get_mnn_sess_centerface(0), g_mnn_sess_centerface0);
  EXPECT_EQ(get_mnn_sess_centerface(3), g_mnn_sess_centerface1);
  EXPECT_EQ(g_mnn_sess_centerface0->numThread(), 2);
  EXPECT_EQ(INPUT_SIZE_WIDTH, 128);
  EXPECT_EQ(INPUT_SIZE_HEIGHT, 128);
  ASSERT_EQ(load("detectors/face_fixture.p"), 0);  // loading again replaces the model

  const std::string unload_log = capture_log([] { unload_model_centerface(); });
  EXPECT_TRUE(contains(unload_log, "unload detect model")) << unload_log;
  expect_unloaded();
  unload_model_centerface();
  expect_unloaded();
}

TEST_F(FaceDetector, FailedReloadLeavesNoDanglingDetector) {
  ASSERT_EQ(load("detectors/face_fixture.p"), 0);
  TempModelsDir empty;
  EXPECT_EQ(vyr_face_init2(empty.path().c_str()), -1002);
  expect_unloaded();
  cv::Mat image(200, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  std::vector<_s_face_obj> objects;
  EXPECT_EQ(vyr_face_detect_centerface(image, objects, 0), -1);
  EXPECT_EQ(vyr_face_detect_centerface(image, objects, 1), -1);
  ASSERT_EQ(load("detectors/face_fixture.p"), 0);
  EXPECT_EQ(vyr_face_detect_centerface(image, objects, 0), 2);
}

// The fixture's maps hold, on the 128 x 128 input: a face (24, 35)-(64, 83)
// at 0.9 with a weaker copy one cell on, a face (90, 18)-(106, 34) at 0.5 and
// a cell exactly at the threshold. A 400 x 200 image sits at s = 0.32 with
// 32 rows of border above.
TEST_F(FaceDetector, FindsRanksAndMapsTheFixtureFaces) {
  ASSERT_EQ(load("detectors/face_fixture.p"), 0);
  cv::Mat image(200, 400, CV_8UC3, cv::Scalar(40, 80, 120));
  std::vector<_s_face_obj> objects = {dummy_obj()};
  int rc = 0;
  const std::string log =
      capture_log([&] { rc = vyr_face_detect_centerface(image, objects, 0); });
  ASSERT_EQ(rc, 2);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_TRUE(contains(log, "0: found face number = 2, score=0.900, crop time = ")) << log;
  EXPECT_EQ(image_w, 400);
  EXPECT_EQ(image_h, 200);
  EXPECT_EQ(d_w, 128);
  EXPECT_EQ(d_h, 128);
  EXPECT_FLOAT_EQ(scale_w, 0.32f);
  EXPECT_FLOAT_EQ(scale_h, 0.32f);

  const _s_face_obj& big = objects[0];
  EXPECT_FLOAT_EQ(big.score, 0.9f);
  EXPECT_NEAR(big.x, 75, 4);  // one network pixel is 3.125 image pixels
  EXPECT_NEAR(big.y, 9, 4);
  EXPECT_NEAR(big.width, 128, 4);
  EXPECT_NEAR(big.height, 153, 4);
  EXPECT_NEAR(big.landmarks[0], (24 + 0.3f * 40) / 0.32f, 0.1f);
  EXPECT_NEAR(big.landmarks[1], (35 + 0.35f * 48 - 32) / 0.32f, 0.1f);
  const _s_face_obj& small = objects[1];
  EXPECT_FLOAT_EQ(small.score, 0.5f);
  EXPECT_NEAR(small.x, 281, 4);
  EXPECT_LT(small.y, 0);  // in the border above the image: not clipped
  EXPECT_GT(big.weight, small.weight);

  std::vector<_s_face_info> faces;
  ASSERT_EQ(vyr_face_detect2(image, faces), 2);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(faces[i].x, objects[i].x);
    EXPECT_EQ(faces[i].height, objects[i].height);
    EXPECT_FLOAT_EQ(faces[i].score, objects[i].score);
    for (int j = 0; j < 10; ++j)
      EXPECT_EQ(faces[i].landmarks[j], static_cast<int>(objects[i].landmarks[j]));
  }

  const std::string second = capture_log([&] { vyr_face_detect_centerface(image, objects, 7); });
  EXPECT_TRUE(contains(second, "7: found face number = 2")) << second;
}

TEST_F(FaceDetector, ImagesOfEveryShapeAndTypeAreHandled) {
  ASSERT_EQ(load("detectors/face_fixture.p"), 0);
  std::vector<_s_face_obj> objects = {dummy_obj()};
  cv::Mat empty;
  int rc = 0;
  const std::string log = capture_log([&] { rc = vyr_face_detect_centerface(empty, objects, 0); });
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(objects.empty());
  EXPECT_TRUE(contains(log, "fd: input image empty.")) << log;

  struct Case {
    const char* name;
    cv::Mat image;
    int rc;
  };
  const Case cases[] = {
      {"grey", cv::Mat(200, 400, CV_8UC1, cv::Scalar(9)), 2},
      {"bgra", cv::Mat(200, 400, CV_8UC4, cv::Scalar(1, 2, 3, 4)), 2},
      {"16-bit", cv::Mat(200, 400, CV_16UC3, cv::Scalar(1, 2, 3)), -1},
      {"over 128:1 wide", cv::Mat(2, 300, CV_8UC3, cv::Scalar(0, 0, 0)), 2},
      {"over 128:1 high", cv::Mat(300, 2, CV_8UC3, cv::Scalar(0, 0, 0)), 2},
      {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(0, 0, 0)), 2},
  };
  for (const Case& c : cases) {
    cv::Mat image = c.image;
    EXPECT_EQ(vyr_face_detect_centerface(image, objects, 0), c.rc) << c.name;
  }
}

// The model-file fixture lights a face wherever the input cell is bright
// (values 0..255 reach the network unscaled): the faces lie on the white
// square of a black frame, and a black frame has none.
TEST_F(FaceDetector, PixelsReachTheNetworkUnscaled) {
  ASSERT_EQ(load("models/face_fixture.p"), 0);
  cv::Mat frame(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  std::vector<_s_face_info> faces;
  EXPECT_EQ(vyr_face_detect2(frame, faces), 0);
  EXPECT_TRUE(faces.empty());

  frame(cv::Rect(150, 100, 100, 100)).setTo(cv::Scalar(255, 255, 255));
  const int n = vyr_face_detect2(frame, faces);
  ASSERT_GT(n, 0);
  for (const _s_face_info& f : faces) {
    const float cx = f.x + f.width / 2.f, cy = f.y + f.height / 2.f;
    EXPECT_TRUE(cx > 146 && cx < 254 && cy > 96 && cy < 204) << cx << "," << cy;
    EXPECT_NEAR(f.width, 24 / 0.32, 4);  // the fixture's faces are 24 x 32
    EXPECT_NEAR(f.height, 32 / 0.32, 4);
  }
}

}  // namespace
