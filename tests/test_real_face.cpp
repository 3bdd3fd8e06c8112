// The released face detector "fd4_2.p" (tools/build_models.sh): it loads
// through the library's loader, finds real faces where an independent
// decoding of the original network puts them, finds none on a page without
// a photo, and the passport and card crops hold the holder's photo.
// Skipped when models-release holds no fd4_2.p.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/centerface.h"
#include "getfaceimage.h"

namespace {

std::string modelsDir() { return std::string(VYR_SOURCE_DIR) + "/models-release"; }
std::string dataDir() { return std::string(VYR_TEST_DATA_DIR) + "/real_face/"; }

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

cv::Mat fixture(const std::string& name) { return cv::imread(dataDir() + name, cv::IMREAD_COLOR); }

// "name x y w h" lines of faces.txt: the face by the standard BlazeFace
// decoding of the original network (tools/face_fixtures.py).
std::map<std::string, cv::Rect> referenceFaces() {
  std::map<std::string, cv::Rect> out;
  std::ifstream in(dataDir() + "faces.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    std::string name;
    cv::Rect r;
    if (ss >> name >> r.x >> r.y >> r.width >> r.height) out[name] = r;
  }
  return out;
}

double iou(const cv::Rect& a, const cv::Rect& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.0;
}

cv::Rect scaled(const cv::Rect& r, double f) {
  return cv::Rect(cv::Point(cvRound(r.x * f), cvRound(r.y * f)),
                  cv::Point(cvRound(r.br().x * f), cvRound(r.br().y * f)));
}

// Where an owned crop was cut from: the best template match within `area`
// of the image.
cv::Rect locate(const cv::Mat& image, const cv::Rect& area, const cv::Mat& crop) {
  cv::Mat score;
  cv::matchTemplate(image(area), crop, score, cv::TM_SQDIFF);
  cv::Point at;
  cv::minMaxLoc(score, nullptr, nullptr, &at, nullptr);
  return cv::Rect(at + area.tl(), crop.size());
}

class RealFace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!exists(modelsDir() + "/fd4_2.p")) return;
    initResult_ = vyr_face_init2(modelsDir().c_str());
    refs_ = referenceFaces();
  }
  static void TearDownTestSuite() { unload_model_centerface(); }
  void SetUp() override {
    if (!exists(modelsDir() + "/fd4_2.p")) GTEST_SKIP() << "models-release/fd4_2.p not built";
    ASSERT_EQ(initResult_, 0);
    ASSERT_EQ(refs_.size(), 4u) << "faces.txt incomplete";
  }
  static int initResult_;
  static std::map<std::string, cv::Rect> refs_;
};
int RealFace::initResult_ = -1;
std::map<std::string, cv::Rect> RealFace::refs_;

TEST_F(RealFace, ModelLoadsAndFindsNothingOnBlankImages) {
  EXPECT_EQ(g_init_centerface_mnn_valid, 1);
  const cv::Mat blanks[] = {cv::Mat(300, 400, CV_8UC3, cv::Scalar(0, 0, 0)),
                            cv::Mat(300, 400, CV_8UC3, cv::Scalar(222, 230, 236)),
                            cv::Mat(128, 128, CV_8UC3, cv::Scalar(128, 128, 128))};
  for (cv::Mat img : blanks) {
    std::vector<_s_face_info> faces(1);
    EXPECT_EQ(vyr_face_detect2(img, faces), 0);
    EXPECT_TRUE(faces.empty());
  }
}

TEST_F(RealFace, FindsTheFaceOnPhotographsWhereTheReferencePutsIt) {
  for (const char* name : {"photo_astronaut.jpg", "photo_camera.jpg"}) {
    SCOPED_TRACE(name);
    cv::Mat img = fixture(name);
    ASSERT_FALSE(img.empty());
    const cv::Rect want = refs_.at(name);
    // The photograph alone and set off-centre in a wider frame: the mapping
    // back through the border must land on the same face.
    cv::Mat wide(img.rows, img.cols * 2, CV_8UC3, cv::Scalar(90, 90, 90));
    img.copyTo(wide(cv::Rect(img.cols, 0, img.cols, img.rows)));
    const struct {
      cv::Mat image;
      cv::Point shift;
    } views[] = {{img, {0, 0}}, {wide, {img.cols, 0}}};
    for (const auto& v : views) {
      cv::Mat image = v.image;
      std::vector<_s_face_info> faces;
      ASSERT_GE(vyr_face_detect2(image, faces), 1);
      const _s_face_info& f = faces.front();
      const cv::Rect got(f.x, f.y, f.width, f.height);
      EXPECT_GT(iou(got, want + v.shift), 0.6) << got << " vs " << want + v.shift;
      EXPECT_GT(f.score, 0.35f);
      // Points 0 and 1 are the eyes, image-left first, above the nose (2),
      // which lies above both mouth corners (3, 4); all on the face (the
      // cameraman's head is turned, his nose tip reaches the box edge).
      const int m = got.width / 5;
      const cv::Rect near_face(got.x - m, got.y - m, got.width + 2 * m, got.height + 2 * m);
      for (int j = 0; j < 5; ++j)
        EXPECT_TRUE(near_face.contains(cv::Point(f.landmarks[2 * j], f.landmarks[2 * j + 1])))
            << "point " << j;
      EXPECT_LT(f.landmarks[0], f.landmarks[2]);
      EXPECT_LT(f.landmarks[1], f.landmarks[5]);
      EXPECT_LT(f.landmarks[3], f.landmarks[5]);
      EXPECT_LT(f.landmarks[5], f.landmarks[7]);
      EXPECT_LT(f.landmarks[5], f.landmarks[9]);
      EXPECT_LT(f.landmarks[6], f.landmarks[8]);
    }
  }
}

TEST_F(RealFace, PassportPageCropHoldsThePhotoAtEveryPageSize) {
  const cv::Mat page = fixture("page.jpg");
  ASSERT_FALSE(page.empty());
  const cv::Rect photo_box(30, 60, 180, 240);  // where tools/face_fixtures.py put the photo
  for (double f : {1.0, 2.0, 0.5}) {
    SCOPED_TRACE(f);
    cv::Mat scan;
    cv::resize(page, scan, cv::Size(), f, f, f < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::Mat face;
    ASSERT_EQ(getPassportFaceImage(scan, face), 0);
    ASSERT_FALSE(face.empty());
    // The search region is the page's left 40 %; a little more is searched.
    const cv::Rect at = locate(scan, cv::Rect(0, 0, scan.cols / 2, scan.rows), face);
    const cv::Rect want = scaled(refs_.at("page.jpg"), f);
    // The crop is the face grown by 3/8 of its size on each side: it holds
    // the whole reference face and stays within the photo.
    EXPECT_EQ(at & want, want) << at << " should hold " << want;
    EXPECT_GT(iou(at, want), 0.3) << at;
    const cv::Rect box = scaled(photo_box, f);
    EXPECT_GT((at & box).area(), 0.85 * at.area()) << at << " leaves the photo " << box;
    // The crop is an owned copy of the page's pixels.
    EXPECT_LT(cv::norm(face, scan(at), cv::NORM_INF), 1.0);
  }
}

TEST_F(RealFace, PassportPageWithoutPhotoGivesNoCrop) {
  cv::Mat page = fixture("page.jpg");
  ASSERT_FALSE(page.empty());
  page(cv::Rect(30, 60, 180, 240)).setTo(cv::Scalar(222, 226, 230));
  cv::Mat face(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_EQ(getPassportFaceImage(page, face), -1);
  EXPECT_EQ(face.size(), cv::Size(4, 4));  // left as it was
}

TEST_F(RealFace, CardFaceTellsUprightFromUpsideDown) {
  const cv::Mat card = fixture("card.jpg");
  ASSERT_FALSE(card.empty());
  const cv::Rect want = refs_.at("card.jpg");

  cv::Mat upright = card.clone();
  cv::Mat face;
  cv::Rect rect;
  ASSERT_EQ(getCardFaceImage(upright, face, rect), 1);
  EXPECT_GT(iou(rect, want), 0.5) << rect << " vs " << want;
  EXPECT_EQ(face.size(), rect.size());
  EXPECT_LT(cv::norm(face, card(rect), cv::NORM_INF), 1.0);

  cv::Mat turned;
  cv::rotate(card, turned, cv::ROTATE_180);
  cv::Mat turned_copy = turned.clone();
  cv::Rect rect2;
  ASSERT_EQ(getCardFaceImage(turned, face, rect2), 2);
  // faceRect is in the right region turned upright, which is the card turned
  // back; the crop is the photo upright again.
  EXPECT_GT(iou(rect2, rect), 0.5) << rect2 << " vs " << rect;
  EXPECT_EQ(cv::norm(turned, turned_copy, cv::NORM_INF), 0.0);  // the caller's card is untouched

  cv::Mat back(card.size(), CV_8UC3, cv::Scalar(214, 226, 236));
  cv::putText(back, "L898902C3 UTO 7408122 F 3204159", cv::Point(20, 200),
              cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(30, 30, 50), 1);
  EXPECT_EQ(getCardFaceImage(back, face, rect), 0);
}

}  // namespace
