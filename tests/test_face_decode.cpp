// Face output decoding on plain arrays: candidate cells, box and point
// decoding with the edge rules, the cap of 100 candidates, the type-2
// suppression, the map-size checks; the input fit and the mapping back to the
// searched image with its ranking weight.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "detect/centerface.h"
#include "test_detector_models.h"

using detector_test::capture_log;
using detector_test::contains;

namespace {

constexpr int G = 32;  // grid of a 128 x 128 input
constexpr float kTol = 1e-3f;

struct Maps {
  vyr::nn::Tensor heat, scale, offset, lm;
  Maps(int lm_channels = 10, int scale_channels = 2) {
    heat.reshape({1, 1, G, G});
    scale.reshape({1, scale_channels, G, G});
    offset.reshape({1, 2, G, G});
    lm.reshape({1, lm_channels, G, G});
  }
  // A face centred in cell (row, col) shifted by (oy, ox) cells, sh x sw
  // pixels; its points relative to the box in box units.
  void put(int row, int col, float h, float sh, float sw, float oy = 0.f, float ox = 0.f) {
    const size_t S = static_cast<size_t>(G) * G, i = static_cast<size_t>(row) * G + col;
    heat.data[i] = h;
    scale.data[i] = std::log(sh / 4.f);
    if (S + i < scale.data.size()) scale.data[S + i] = std::log(sw / 4.f);
    offset.data[i] = oy;
    offset.data[S + i] = ox;
    const float pts[5][2] = {{0.3f, 0.35f}, {0.7f, 0.35f}, {0.5f, 0.55f}, {0.35f, 0.75f},
                             {0.65f, 0.75f}};
    for (size_t j = 0; j < 5 && (2 * j + 1) * S < lm.data.size(); ++j) {
      lm.data[2 * j * S + i] = pts[j][1];
      lm.data[(2 * j + 1) * S + i] = pts[j][0];
    }
  }
  std::vector<FaceInfo> decode_all(std::vector<FaceInfo> faces = {}) const {
    decode(heat, scale, offset, lm, faces, 0.35f, 0.5f);
    return faces;
  }
};

FaceInfo face(float x1, float y1, float x2, float y2, float score) {
  FaceInfo f{};
  f.x1 = x1;
  f.y1 = y1;
  f.x2 = x2;
  f.y2 = y2;
  f.score = score;
  f.area = (x2 - x1) * (y2 - y1);
  return f;
}

class FaceDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_w_ = d_w;
    saved_h_ = d_h;
    d_w = 128;
    d_h = 128;
  }
  void TearDown() override {
    d_w = saved_w_;
    d_h = saved_h_;
  }
  int saved_w_ = 0, saved_h_ = 0;
};

TEST(FaceGenIds, StrictlyAboveThresholdInRasterOrderAppended) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float heat[2 * 3] = {0.35f, 0.36f, nan,  //
                             0.9f, 0.1f, 0.350001f};
  std::vector<int> ids = {7, 7};
  genIds(heat, 2, 3, 0.35f, ids);
  EXPECT_EQ(ids, (std::vector<int>{7, 7, 0, 1, 1, 0, 1, 2}));
  genIds(heat, 0, 3, 0.35f, ids);
  genIds(heat, 2, -1, 0.35f, ids);
  EXPECT_EQ(ids.size(), 8u);
  const std::string log = capture_log([&] { genIds(nullptr, 2, 3, 0.35f, ids); });
  EXPECT_TRUE(contains(log, "heatmap is nullptr,please check! ")) << log;
  EXPECT_EQ(ids.size(), 8u);
}

TEST_F(FaceDecode, BuildsBoxScoreAreaAndPoints) {
  Maps m;
  // centre ((10 + 0.5 + 0.5) * 4, (14 + 0.25 + 0.5) * 4) = (44, 59), 40 x 48
  m.put(14, 10, 0.9f, 48.f, 40.f, 0.25f, 0.5f);
  const std::vector<FaceInfo> faces = m.decode_all();
  ASSERT_EQ(faces.size(), 1u);
  const FaceInfo& f = faces[0];
  EXPECT_NEAR(f.x1, 24.f, kTol);
  EXPECT_NEAR(f.y1, 35.f, kTol);
  EXPECT_NEAR(f.x2, 64.f, kTol);
  EXPECT_NEAR(f.y2, 83.f, kTol);
  EXPECT_FLOAT_EQ(f.score, 0.9f);
  EXPECT_NEAR(f.area, 40.f * 48.f, 0.1f);
  EXPECT_NEAR(f.landmarks[0], 24 + 0.3f * 40, kTol);  // x from the odd channel
  EXPECT_NEAR(f.landmarks[1], 35 + 0.35f * 48, kTol);  // y from the even channel
  EXPECT_NEAR(f.landmarks[8], 24 + 0.65f * 40, kTol);
  EXPECT_NEAR(f.landmarks[9], 35 + 0.75f * 48, kTol);
}

TEST_F(FaceDecode, EdgesShiftAtTheTopLeftAndCutAtTheBottomRight) {
  struct Case {
    const char* name;
    int row, col;
    float sh, sw, oy, ox;
    float x1, y1, x2, y2;
  };
  const Case cases[] = {
      // left edge at -14: shifted right, full width kept; top likewise
      {"left", 14, 1, 48, 40, 0, 0, 0, 34, 40, 82},
      {"top", 1, 14, 48, 40, 0, 0, 38, 0, 78, 48},
      // right edge at 146: cut at 128
      {"right", 14, 31, 48, 40, 0, 0, 106, 34, 128, 82},
      // left edge beyond 128: a box of zero width at the edge
      {"beyond", 14, 31, 48, 4, 0, 10, 128, 34, 128, 82},
  };
  for (const Case& c : cases) {
    Maps m;
    m.put(c.row, c.col, 0.9f, c.sh, c.sw, c.oy, c.ox);
    const std::vector<FaceInfo> faces = m.decode_all();
    ASSERT_EQ(faces.size(), 1u) << c.name;
    EXPECT_NEAR(faces[0].x1, c.x1, kTol) << c.name;
    EXPECT_NEAR(faces[0].y1, c.y1, kTol) << c.name;
    EXPECT_NEAR(faces[0].x2, c.x2, kTol) << c.name;
    EXPECT_NEAR(faces[0].y2, c.y2, kTol) << c.name;
    // points move with the shifted corner
    EXPECT_NEAR(faces[0].landmarks[0], faces[0].x1 + 0.3f * c.sw, kTol) << c.name;
  }
}

TEST_F(FaceDecode, KeepsTheFirstHundredCandidatesInRasterOrder) {
  Maps m;
  // 150 separate 2 x 2 faces; the best score comes 150th
  for (int k = 0; k < 150; ++k) m.put(k / 16 * 2, k % 16 * 2, k == 149 ? 0.99f : 0.5f, 2, 2);
  const std::vector<FaceInfo> faces = m.decode_all();
  ASSERT_EQ(faces.size(), 100u);
  for (const FaceInfo& f : faces) EXPECT_FLOAT_EQ(f.score, 0.5f);
  for (const FaceInfo& f : faces) EXPECT_LT(f.y1, 4 * 14);  // rows of the first 100 cells only
}

TEST_F(FaceDecode, SuppressesDuplicatesAndLeavesFacesAloneWithoutCandidates) {
  Maps m;
  m.put(14, 10, 0.9f, 48, 40, 0.25f, 0.5f);
  m.put(14, 11, 0.8f, 48, 40, 0.25f, -0.5f);  // the same face one cell on
  m.put(6, 24, 0.5f, 16, 16);                  // a separate one
  m.put(25, 25, 0.35f, 20, 20);                // at the threshold: no candidate
  std::vector<FaceInfo> faces = m.decode_all({face(1, 1, 2, 2, 0.1f)});
  ASSERT_EQ(faces.size(), 2u);  // replaced, best first
  EXPECT_FLOAT_EQ(faces[0].score, 0.9f);
  EXPECT_FLOAT_EQ(faces[1].score, 0.5f);

  Maps empty;
  faces = empty.decode_all({face(1, 1, 2, 2, 0.1f)});
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_FLOAT_EQ(faces[0].score, 0.1f);
}

TEST_F(FaceDecode, NanCellsAreNoFacesAndInfiniteSizesStayInTheInput) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Maps m;
  m.put(2, 2, 0.9f, 8, 8);
  m.scale.data[2 * G + 2] = nan;
  m.put(10, 10, 0.9f, 8, 8);
  m.offset.data[G * G + 10 * G + 10] = nan;
  m.put(20, 20, 0.9f, 8, 8);
  m.lm.data[7 * G * G + 20 * G + 20] = nan;
  EXPECT_TRUE(m.decode_all().empty());

  Maps huge;
  huge.put(14, 10, 0.9f, 48, 40);
  huge.scale.data[G * G + 14 * G + 10] = 200.f;  // e^200: an infinite width
  const std::vector<FaceInfo> faces = huge.decode_all();
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_FLOAT_EQ(faces[0].x1, 0.f);
  EXPECT_FLOAT_EQ(faces[0].x2, 128.f);
  EXPECT_TRUE(std::isfinite(faces[0].y2));
}

TEST_F(FaceDecode, MapsThatDoNotFitGiveNoFaces) {
  struct Case {
    const char* name;
    Maps maps;
  };
  Case cases[] = {{"8 landmark channels", Maps(8)}, {"1 scale channel", Maps(10, 1)}};
  for (Case& c : cases) {
    c.maps.put(14, 10, 0.9f, 48, 40);
    std::vector<FaceInfo> faces = {face(1, 1, 2, 2, 0.1f)};
    const std::string log = capture_log([&] { faces = c.maps.decode_all(faces); });
    EXPECT_EQ(faces.size(), 1u) << c.name;
    EXPECT_TRUE(contains(log, "do not fit")) << c.name << log;
  }
  Maps other_grid;
  other_grid.offset.reshape({1, 2, 16, 16});
  EXPECT_FALSE(face_outputs_fit(other_grid.heat, other_grid.scale, other_grid.offset,
                                other_grid.lm));
  Maps flat;
  flat.heat.reshape({G * G});
  EXPECT_FALSE(face_outputs_fit(flat.heat, flat.scale, flat.offset, flat.lm));
  Maps good;
  EXPECT_TRUE(face_outputs_fit(good.heat, good.scale, good.offset, good.lm));
}

TEST(FaceNms, TypesAndOverlapCounting) {
  struct Case {
    const char* name;
    std::vector<FaceInfo> in;
    float threshold;
    int type;
    std::vector<float> kept;  // scores in output order
  };
  const std::vector<Case> cases = {
      // a small box inside a larger, better one: overlap / smaller area >= 1
      {"contained, type 2", {face(40, 40, 50, 50, 0.8f), face(0, 0, 100, 100, 0.9f)}, 0.5f, 2,
       {0.9f}},
      {"contained, type 1 (IoU)", {face(40, 40, 50, 50, 0.8f), face(0, 0, 100, 100, 0.9f)},
       0.5f, 1, {0.9f, 0.8f}},
      // sharing one column overlaps by a width of 1: 11 / 100
      {"shared column", {face(0, 0, 10, 10, 0.9f), face(10, 0, 20, 10, 0.8f)}, 0.1f, 2, {0.9f}},
      {"shared column, 0.5", {face(0, 0, 10, 10, 0.9f), face(10, 0, 20, 10, 0.8f)}, 0.5f, 2,
       {0.9f, 0.8f}},
      {"apart", {face(60, 0, 70, 10, 0.7f), face(0, 0, 10, 10, 0.9f)}, 0.5f, 2, {0.9f, 0.7f}},
      {"raw overlap, type 0", {face(0, 0, 10, 10, 0.9f), face(10, 0, 20, 10, 0.8f)}, 10.f, 0,
       {0.9f}},
  };
  for (const Case& c : cases) {
    std::vector<FaceInfo> in = c.in;
    std::vector<FaceInfo> out;
    nms(in, out, c.threshold, c.type);
    ASSERT_EQ(out.size(), c.kept.size()) << c.name;
    for (size_t i = 0; i < out.size(); ++i) EXPECT_FLOAT_EQ(out[i].score, c.kept[i]) << c.name;
  }
  std::vector<FaceInfo> none, out = {face(1, 1, 2, 2, 0.1f)};
  nms(none, out, 0.5f, 2);
  EXPECT_EQ(out.size(), 1u);  // untouched for an empty input
}

TEST(FaceNms, DegenerateBoxesStillLeaveTheMap) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<FaceInfo> in = {face(nan, 0, nan, 10, 0.9f), face(0, 0, 10, 10, 0.8f),
                              face(0, 0, 10, 10, nan)};
  std::vector<FaceInfo> out;
  nms(in, out, 0.5f, 2);  // must end although a NaN ratio never removes the pick
  ASSERT_GE(out.size(), 1u);
  EXPECT_LE(out.size(), 2u);
  EXPECT_FLOAT_EQ(out[0].score, 0.9f);
}

// ---- input fit and mapping back -----------------------------------------------------

struct FitCase {
  int w, h;
  int rw, rh, left, right, top, bottom;
};

class FaceFitTable : public ::testing::TestWithParam<FitCase> {};

TEST_P(FaceFitTable, ResizesKeepingTheAspectAndCentres) {
  const FitCase& c = GetParam();
  const FaceFit f = face_fit(c.w, c.h, 128);
  EXPECT_EQ(f.width, c.rw);
  EXPECT_EQ(f.height, c.rh);
  EXPECT_EQ(f.left, c.left);
  EXPECT_EQ(f.right, c.right);
  EXPECT_EQ(f.top, c.top);
  EXPECT_EQ(f.bottom, c.bottom);
  EXPECT_EQ(f.width + f.left + f.right, 128);
  EXPECT_EQ(f.height + f.top + f.bottom, 128);
  EXPECT_FLOAT_EQ(f.scale, 128.f / std::max(c.w, c.h));
}

INSTANTIATE_TEST_SUITE_P(Table, FaceFitTable,
                         ::testing::Values(FitCase{400, 200, 128, 64, 0, 0, 32, 32},
                                           FitCase{200, 400, 64, 128, 32, 32, 0, 0},
                                           FitCase{300, 300, 128, 128, 0, 0, 0, 0},
                                           FitCase{1000, 590, 128, 75, 0, 0, 26, 27},
                                           FitCase{300, 2, 128, 1, 0, 0, 63, 64},  // over 128:1
                                           FitCase{2, 300, 1, 128, 63, 64, 0, 0}));

TEST(FaceMapping, MapsBackTruncatingAndWeighsByAreaAndCentre) {
  // 400 x 200: s = 0.32, 32 rows above
  FaceInfo f = face(40, 50, 80, 90, 0.8f);
  f.landmarks[0] = 60;
  f.landmarks[1] = 70;
  const _s_face_obj o = face_in_image(f, 0, 32, 0.32f, 400, 200);
  EXPECT_EQ(o.x, 125);
  EXPECT_EQ(o.y, 56);
  EXPECT_EQ(o.width, 128);
  EXPECT_EQ(o.height, 128);
  EXPECT_FLOAT_EQ(o.weight, 15342.f);
  EXPECT_FLOAT_EQ(o.landmarks[0], 187.5f);
  EXPECT_FLOAT_EQ(o.landmarks[1], 118.75f);
  EXPECT_FLOAT_EQ(o.score, 0.8f);

  // in the border: negative, not clipped
  const _s_face_obj b = face_in_image(face(0, 10, 20, 30, 0.5f), 0, 32, 0.32f, 400, 200);
  EXPECT_LT(b.y, 0);

  // equal size: nearer the centre first; a much larger face off-centre wins
  std::vector<_s_face_obj> ranked = {
      face_in_image(face(0, 40, 20, 60, 0.9f), 0, 32, 0.32f, 400, 200),
      face_in_image(face(54, 54, 74, 74, 0.5f), 0, 32, 0.32f, 400, 200),
      face_in_image(face(0, 32, 60, 96, 0.4f), 0, 32, 0.32f, 400, 200)};
  std::sort(ranked.begin(), ranked.end(), cmpFaceRectArea);
  EXPECT_FLOAT_EQ(ranked[0].score, 0.4f);
  EXPECT_FLOAT_EQ(ranked[1].score, 0.5f);
  EXPECT_FLOAT_EQ(ranked[2].score, 0.9f);
  cv::Mat img(200, 400, CV_8UC3);
  EXPECT_FLOAT_EQ(calc_centered(o, img), 15342.f);
}

}  // namespace
