// Face crops: rectangle growth, the card's search image and the choice of
// its face with the orientation, the passport search region and crop, and
// both crops end to end on a fixture model that finds faces on bright cells.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "getfaceimage.h"
#include "test_detector_models.h"

using detector_test::TempModelsDir;

namespace {

_s_face_info info(int x, int y, int w, int h) {
  _s_face_info f{};
  f.x = x;
  f.y = y;
  f.width = w;
  f.height = h;
  f.score = 0.9f;
  return f;
}

// A card whose pixels tell where they came from: blue = column, green = row.
cv::Mat coded_card(int cols, int rows) {
  cv::Mat card(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) card.at<cv::Vec3b>(y, x) = cv::Vec3b(x, y, 77);
  return card;
}

TEST(FaceCropGeometry, RectangleGrowthIsClampedToTheImage) {
  struct Case {
    const char* name;
    cv::Rect in;
    double fx, fy;
    cv::Rect want;
  };
  const Case cases[] = {
      {"fixed factors", {10, 20, 100, 50}, 0, 0.28, {10, 13, 100, 64}},
      {"0.75 at the corner", {5, 5, 40, 40}, 0.75, 0.75, {0, 0, 60, 60}},
      {"past the right border", {180, 10, 40, 40}, 0.5, 0, {170, 10, 30, 40}},
  };
  for (const Case& c : cases) {
    cv::Mat image(200, 200, CV_8UC1);
    cv::Rect r = c.in;
    EXPECT_EQ(_expandCropSize(image, r, c.fx, c.fy, 0, 0), 0);
    EXPECT_EQ(r, c.want) << c.name;
  }
  cv::Mat large(500, 500, CV_8UC1);
  cv::Rect r(10, 20, 100, 50);
  EXPECT_EQ(expandCropSize(large, r), 0);
  EXPECT_EQ(r, cv::Rect(10, 13, 100, 64));
  // shifted by dx = 0.5 of the width
  r = cv::Rect(10, 20, 100, 50);
  _expandCropSize(large, r, 0, 0, 0.5, 0);
  EXPECT_EQ(r, cv::Rect(60, 20, 100, 50));
  // wholly outside: nothing left to cut
  r = cv::Rect(300, 10, 40, 40);
  cv::Mat small(200, 200, CV_8UC1);
  _expandCropSize(small, r, 0, 0, 0, 0);
  EXPECT_LE(r.width, 0);
}

TEST(FaceCropGeometry, CardSearchImageJoinsLeftPartAndTurnedRightPart) {
  const cv::Mat card = coded_card(220, 140);
  const cv::Mat before = card.clone();
  cv::Mat search;
  CardFaceLayout l;
  ASSERT_TRUE(cardFaceSearchImage(card, search, l));
  EXPECT_EQ(l.half, 110);
  EXPECT_EQ(l.top, 14);
  EXPECT_EQ(l.left_width, 88);
  EXPECT_EQ(l.part_height, 112);
  EXPECT_EQ(search.size(), cv::Size(176, 112));
  // left part: the card from row 14
  EXPECT_EQ(search.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 14, 77));
  EXPECT_EQ(search.at<cv::Vec3b>(111, 87), cv::Vec3b(87, 125, 77));
  // turned part: search (j, 88 + i) = card (125 - j, 218 - i); the right
  // region starts at column 109
  EXPECT_EQ(search.at<cv::Vec3b>(0, 88), cv::Vec3b(218, 125, 77));
  EXPECT_EQ(search.at<cv::Vec3b>(111, 175), cv::Vec3b(131, 14, 77));
  EXPECT_EQ(cv::norm(card, before, cv::NORM_INF), 0.0);  // the card is not turned

  struct Small {
    int cols, rows;
    bool ok;
  };
  for (const Small& s : {Small{1, 100, false}, Small{2, 100, false}, Small{4, 1, false},
                         Small{4, 2, true}, Small{221, 3, true}}) {
    cv::Mat out;
    CardFaceLayout layout;
    EXPECT_EQ(cardFaceSearchImage(cv::Mat(s.rows, s.cols, CV_8UC3, cv::Scalar(1, 2, 3)), out,
                                  layout),
              s.ok)
        << s.cols << "x" << s.rows;
  }
  cv::Mat out;
  EXPECT_FALSE(cardFaceSearchImage(cv::Mat(), out, l));
}

TEST(FaceCropGeometry, CardFaceIsTheLargestClippedBox) {
  const cv::Size search(176, 112);
  struct Case {
    const char* name;
    std::vector<_s_face_info> faces;
    int index;
    cv::Rect chosen;
  };
  const Case cases[] = {
      {"inside", {info(20, 10, 40, 50)}, 0, {20, 10, 40, 50}},
      {"clipped left and top", {info(-10, -5, 30, 30)}, 0, {0, 0, 20, 25}},
      {"clipped right and bottom", {info(160, 100, 30, 30)}, 0, {160, 100, 16, 12}},
      {"larger after clipping wins", {info(-30, 0, 40, 40), info(50, 0, 25, 25)}, 1, {50, 0, 25, 25}},
      {"equal areas: the first", {info(0, 0, 20, 20), info(100, 50, 20, 20)}, 0, {0, 0, 20, 20}},
      {"wholly left or above: skipped", {info(-50, 5, 30, 30), info(5, -40, 30, 30)}, -1, {}},
  };
  for (const Case& c : cases) {
    cv::Rect chosen;
    EXPECT_EQ(chooseCardFace(c.faces, search, chosen), c.index) << c.name;
    if (c.index >= 0) {
      EXPECT_EQ(chosen, c.chosen) << c.name;
    }
  }
}

TEST(FaceCropGeometry, CardOrientationFollowsTheFaceCentre) {
  cv::Mat search = coded_card(176, 112);
  CardFaceLayout l;
  ASSERT_TRUE(cardFaceLayout(220, 140, l));
  struct Case {
    const char* name;
    _s_face_info face;
    int result;
    cv::Rect rect;
  };
  const Case cases[] = {
      {"left part: upright", info(20, 10, 40, 50), 1, {20, 24, 40, 50}},
      {"centre at W / 2: upside down", info(68, 10, 40, 50), 2, {-20, 24, 40, 50}},
      {"turned part: upside down", info(100, 10, 40, 50), 2, {12, 24, 40, 50}},
  };
  for (const Case& c : cases) {
    cv::Mat face;
    cv::Rect rect;
    EXPECT_EQ(cardFaceFromFaces(search, l, 140, {c.face}, face, rect), c.result) << c.name;
    EXPECT_EQ(rect, c.rect) << c.name;
    ASSERT_EQ(face.size(), cv::Size(40, 50)) << c.name;
    EXPECT_EQ(face.at<cv::Vec3b>(0, 0), cv::Vec3b(c.face.x, 10, 77)) << c.name;
  }
  // no face that can be cut: outputs untouched
  cv::Mat face(3, 3, CV_8UC1, cv::Scalar(5));
  cv::Rect rect(1, 2, 3, 4);
  EXPECT_EQ(cardFaceFromFaces(search, l, 140, {info(-90, 0, 40, 40)}, face, rect), 0);
  EXPECT_EQ(rect, cv::Rect(1, 2, 3, 4));
  EXPECT_EQ(face.at<uchar>(0, 0), 5);
  // the crop owns its pixels
  cv::Mat own;
  cardFaceFromFaces(search, l, 140, {info(20, 10, 40, 50)}, own, rect);
  search.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(own.at<cv::Vec3b>(0, 0), cv::Vec3b(20, 10, 77));
}

TEST(FaceCropGeometry, PassportRegionAndCrop) {
  EXPECT_EQ(passportFaceRegion(cv::Size(1600, 1100)), cv::Rect(0, 165, 640, 714));
  EXPECT_EQ(passportFaceRegion(cv::Size(1001, 101)), cv::Rect(0, 15, 400, 63));
  EXPECT_EQ(passportFaceRegion(cv::Size(1, 1)).area(), 0);

  cv::Mat page = coded_card(250, 250);
  cv::Mat region = page(cv::Rect(0, 20, 200, 200));
  cv::Mat face;
  // the first face lies wholly outside the region; the next one is cut, grown
  EXPECT_EQ(passportFaceFromFaces(region, {info(1000, 10, 40, 40), info(100, 100, 80, 100)}, face),
            0);
  ASSERT_EQ(face.size(), cv::Size(130, 137));  // (70, 63)-(199, 199), clamped
  EXPECT_EQ(face.at<cv::Vec3b>(0, 0), cv::Vec3b(70, 83, 77));
  page.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(face.at<cv::Vec3b>(0, 0), cv::Vec3b(70, 83, 77));  // a copy, not a view

  cv::Mat untouched(2, 2, CV_8UC1, cv::Scalar(9));
  EXPECT_EQ(passportFaceFromFaces(region, {}, untouched), -1);
  EXPECT_EQ(untouched.at<uchar>(0, 0), 9);
}

// ---- end to end on the model-file fixture (faces on bright cells) ----------------

class FaceCrops : public ::testing::Test {
 protected:
  void SetUp() override {
    unload_model_centerface();
    ASSERT_TRUE(dir_.put("models/face_fixture.p", "fd4_2.p"));
    ASSERT_EQ(vyr_face_init2(dir_.path().c_str()), 0);
  }
  void TearDown() override { unload_model_centerface(); }
  TempModelsDir dir_;
};

TEST_F(FaceCrops, CardFaceTellsSideAndOrientationAndLeavesTheCard) {
  struct Case {
    const char* name;
    cv::Rect photo;  // white area of a black card, nothing for the back
    int result;
  };
  const Case cases[] = {
      {"back", {}, 0},
      {"photo on the left", {20, 30, 40, 50}, 1},
      {"photo on the right", {150, 40, 40, 50}, 2},
  };
  for (const Case& c : cases) {
    cv::Mat card(140, 220, CV_8UC3, cv::Scalar(0, 0, 0));
    if (c.photo.area() > 0) card(c.photo).setTo(cv::Scalar(255, 255, 255));
    const cv::Mat before = card.clone();
    cv::Mat face;
    cv::Rect rect(-1, -1, 0, 0);
    EXPECT_EQ(getCardFaceImage(card, face, rect), c.result) << c.name;
    EXPECT_EQ(cv::norm(card, before, cv::NORM_INF), 0.0) << c.name;
    if (c.result == 0) {
      EXPECT_TRUE(face.empty()) << c.name;
      EXPECT_EQ(rect, cv::Rect(-1, -1, 0, 0)) << c.name;
      continue;
    }
    ASSERT_FALSE(face.empty()) << c.name;
    EXPECT_EQ(face.size(), rect.size()) << c.name;
    EXPECT_GT(cv::countNonZero(face.reshape(1)), 0) << c.name;  // it shows the photo
    if (c.result == 1) {
      EXPECT_GT((rect & c.photo).area(), 0) << c.name;
    }
  }
  cv::Mat narrow(140, 1, CV_8UC3, cv::Scalar(255, 255, 255)), face;
  cv::Rect rect;
  EXPECT_EQ(getCardFaceImage(narrow, face, rect), 0);
  cv::Mat empty;
  EXPECT_EQ(getCardFaceImage(empty, face, rect), 0);
}

TEST_F(FaceCrops, PassportFaceIsAnOwnedCrop) {
  cv::Mat page(1100, 1600, CV_8UC3, cv::Scalar(0, 0, 0));
  cv::Mat face;
  EXPECT_EQ(getPassportFaceImage(page, face), -1);
  EXPECT_TRUE(face.empty());

  page(cv::Rect(200, 400, 150, 200)).setTo(cv::Scalar(255, 255, 255));
  ASSERT_EQ(getPassportFaceImage(page, face), 0);
  ASSERT_FALSE(face.empty());
  const int white = cv::countNonZero(face.reshape(1));
  EXPECT_GT(white, 0);
  page.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(cv::countNonZero(face.reshape(1)), white);

  cv::Mat empty;
  EXPECT_EQ(getPassportFaceImage(empty, face), -1);
  unload_model_centerface();
  page(cv::Rect(200, 400, 150, 200)).setTo(cv::Scalar(255, 255, 255));
  cv::Mat kept(1, 1, CV_8UC1, cv::Scalar(3));
  EXPECT_EQ(getPassportFaceImage(page, kept), -1);  // no detector: no face
  EXPECT_EQ(kept.at<uchar>(0, 0), 3);
  cv::Mat card(140, 220, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Rect rect;
  EXPECT_EQ(getCardFaceImage(card, kept, rect), 0);
}

}  // namespace
