// Library-wide state: load-time values, mode-flag accessors and the clock.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <cstring>

#include "global.h"
#include "vyr_log.h"

namespace {

template <typename T>
bool all_zero_bytes(const T& v) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
  for (std::size_t i = 0; i < sizeof(T); ++i)
    if (p[i] != 0) return false;
  return true;
}

// Runs first in a fresh process (ctest runs every test on its own).
TEST(GlobalState, HoldsItsLoadTimeValues) {
  EXPECT_EQ(g_new_camera, 1);
  EXPECT_EQ(g_debug_show, 0);
  EXPECT_FALSE(isDebugShow());
  EXPECT_EQ(g_set_detect_mode, 0);
  EXPECT_EQ(g_detect_mode, 0);
  EXPECT_EQ(g_scan_none, 0);
  EXPECT_EQ(CUT_SIZE, 480);
  EXPECT_EQ(CHAR_TEMPLATE_WIDTH, 0);
  EXPECT_EQ(CHAR_TEMPLATE_HEIGHT, 0);
  EXPECT_EQ(g_total_count, 0);
  EXPECT_TRUE(all_zero_bytes(g_next_frame));

  for (const auto* v : {&g_posRect, &g_posRect1, &g_posRect2, &g_posRect3, &g_posRect1_rgb,
                        &g_posRect2_rgb, &g_posRect3_rgb, &g_posRect_no_blank,
                        &g_posRect3_no_blank})
    EXPECT_TRUE(v->empty());
  for (const cv::Mat* m : {&g_line12, &g_line12_2, &g_line1, &g_line2, &g_line3,
                           &g_rapidRec_line_1, &g_rapidRec_line_2, &g_rapidRec_line_3,
                           &g_cropimg, &g_faceimg})
    EXPECT_TRUE(m->empty());
  for (int v : {g_line1_edge, g_line2_edge, g_line3_edge, g_aCharWidth, g_aCharHeight})
    EXPECT_EQ(v, 0);

  EXPECT_EQ(ocr_sum_conf, 0);
  EXPECT_EQ(ocr_min_conf, 0);
  EXPECT_EQ(pos_min_conf, -1);
  EXPECT_EQ(ocr_mean_conf, 0);
  EXPECT_EQ(ocr_min_conf1, 0);
  EXPECT_EQ(pos_min_conf1, -1);
  EXPECT_TRUE(all_zero_bytes(ocr_conf));

  // Both records are zero until their first clear, so card_result's status,
  // mrz_type and mrz_state read 0, not -1.
  EXPECT_TRUE(all_zero_bytes(passport_ocr_result));
  EXPECT_TRUE(all_zero_bytes(card_result));

  EXPECT_EQ(g_log_dummy, 0);
  EXPECT_EQ(g_log_file_dummy, 1);
  EXPECT_EQ(g_log_file_name[0], '\0');
}

// Puts the mode flags back after each test.
class ModeFlags : public testing::Test {
 protected:
  void SetUp() override {
    camera_ = g_new_camera;
    show_ = g_debug_show;
    set_mode_ = g_set_detect_mode;
    mode_ = g_detect_mode;
    tw_ = CHAR_TEMPLATE_WIDTH;
    th_ = CHAR_TEMPLATE_HEIGHT;
    total_ = g_total_count;
  }
  void TearDown() override {
    g_new_camera = camera_;
    g_debug_show = show_;
    g_set_detect_mode = set_mode_;
    g_detect_mode = mode_;
    CHAR_TEMPLATE_WIDTH = tw_;
    CHAR_TEMPLATE_HEIGHT = th_;
    g_total_count = total_;
  }

 private:
  int camera_ = 0, show_ = 0, set_mode_ = 0, mode_ = 0, tw_ = 0, th_ = 0, total_ = 0;
};

struct CameraCase {
  int width, height, camera;
  int is_new, is_old;
};

void PrintTo(const CameraCase& c, std::ostream* os) {
  *os << c.width << "x" << c.height << " camera " << c.camera;
}

class CameraGeneration : public ModeFlags, public testing::WithParamInterface<CameraCase> {};

TEST_P(CameraGeneration, SetTotalCountStoresTemplateSizeAndCamera) {
  const CameraCase& c = GetParam();
  setTotalCount(c.width, c.height, c.camera);
  EXPECT_EQ(CHAR_TEMPLATE_WIDTH, c.width);
  EXPECT_EQ(CHAR_TEMPLATE_HEIGHT, c.height);
  EXPECT_EQ(g_total_count, c.width * c.height);
  EXPECT_EQ(g_new_camera, c.camera);
  EXPECT_EQ(isNewCamera(), c.is_new);  // the raw value, not a boolean
  EXPECT_EQ(isOldCamera(), c.is_old);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraGeneration,
                         testing::Values(CameraCase{19, 28, 1, 1, 0},   // new camera
                                         CameraCase{24, 34, 0, 0, 1},   // old camera
                                         CameraCase{24, 34, -1, -1, 1},
                                         CameraCase{19, 28, 2, 2, 0}));

TEST_F(ModeFlags, DebugShowIsOnOnlyForExactlyOne) {
  const struct {
    int flag;
    bool shown;
  } cases[] = {{0, false}, {1, true}, {2, false}, {-1, false}, {257, false}};
  for (const auto& c : cases) {
    setDebugShow(c.flag);
    EXPECT_EQ(g_debug_show, c.flag);
    EXPECT_EQ(isDebugShow(), c.shown) << "flag " << c.flag;
  }
}

TEST_F(ModeFlags, DetectModeReportsTheFixedSettingNotTheCurrentMode) {
  for (int setting : {0, 1, 2, 3}) {
    for (int current : {0, 1}) {
      setDetectMode(setting);
      g_detect_mode = current;
      EXPECT_EQ(getDetectMode(), setting);
      EXPECT_EQ(g_set_detect_mode, setting);
      EXPECT_EQ(g_detect_mode, current);  // the setter leaves the live mode alone
    }
  }
}

TEST(Clock, GivesWallClockMillisecondsSinceTheEpoch) {
  using namespace std::chrono;
  const double before =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
  const double t = vyr_get_current_time();
  const double after =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
  // Same clock, same unit: the reading lies between two reference readings
  // (with a millisecond of slack for the conversions).
  EXPECT_GE(t, before - 1.0);
  EXPECT_LE(t, after + 1.0);
  // Microsecond resolution, not whole seconds or milliseconds only.
  bool fractional = false;
  for (int i = 0; i < 50 && !fractional; ++i) {
    const double v = vyr_get_current_time();
    fractional = v != static_cast<double>(static_cast<long long>(v));
  }
  EXPECT_TRUE(fractional);
}

}  // namespace
