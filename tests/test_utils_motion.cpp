// The motion gate of both scan paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "global.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

struct Step {
  int slot;
  float x, y;
  int want;          // result of isMoved
  int detectAfter;   // g_detect_mode after the call
  const char* log;   // the whole output of the call
};

struct Scenario {
  const char* name;
  int fixedMode;     // g_set_detect_mode during the scenario
  std::vector<Step> steps;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class MotionGate : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    g_next_frame = NEXT_FRAME{0, 0.f, 0.f, 0.f, 0.f};
    g_set_detect_mode = 0;
    g_detect_mode = 1;
    g_log_dummy = 0;
  }
  void TearDown() override {
    g_set_detect_mode = 0;
    g_detect_mode = 0;
    g_next_frame = NEXT_FRAME{0, 0.f, 0.f, 0.f, 0.f};
  }
};

TEST_P(MotionGate, Steps) {
  const Scenario& s = GetParam();
  g_set_detect_mode = s.fixedMode;
  for (size_t i = 0; i < s.steps.size(); ++i) {
    const Step& st = s.steps[i];
    fflush(stdout);
    testing::internal::CaptureStdout();
    const int got = isMoved(st.slot, st.x, st.y);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, st.want) << "step " << i;
    EXPECT_EQ(g_detect_mode, st.detectAfter) << "step " << i;
    if (std::isnan(st.x))  // printf may spell it either way
      EXPECT_TRUE(out == "dist: nan\n" || out == "dist: -nan\n") << out;
    else
      EXPECT_EQ(out, st.log) << "step " << i;
    if (s.fixedMode <= 0) {
      // Every measured call stores its point in its slot.
      const float sx = st.slot == 1 ? g_next_frame.card_x : g_next_frame.mrz_x;
      const float sy = st.slot == 1 ? g_next_frame.card_y : g_next_frame.mrz_y;
      if (!std::isnan(st.x)) {
        EXPECT_EQ(sx, st.x) << "step " << i;
        EXPECT_EQ(sy, st.y) << "step " << i;
      }
      EXPECT_EQ(g_next_frame.has_point, 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MotionGate,
    ::testing::Values(
        Scenario{"exactly_five_is_not_moved", 0, {{0, 3.f, 4.f, 0, 1, "dist: 5.00\n"}}},
        Scenario{"just_above_five_is_moved", 0, {{0, 3.f, 4.01f, -1, 0, "dist: 5.01, moved.\n"}}},
        Scenario{"moved_call_still_stores",
                 0,
                 {{0, 500.f, 500.f, -1, 0, "dist: 707.11, moved.\n"}, {0, 500.f, 500.f, 0, 0, "dist: 0.00\n"}}},
        Scenario{"card_slot_is_separate",
                 0,
                 {{1, 100.f, 100.f, -1, 0, "dist: 141.42, moved.\n"},
                  {0, 2.f, 2.f, 0, 0, "dist: 2.83\n"},
                  {1, 101.f, 100.f, 0, 0, "dist: 1.00\n"}}},
        Scenario{"slot_2_shares_the_passport_point",
                 0,
                 {{0, 40.f, 30.f, -1, 0, "dist: 50.00, moved.\n"},
                  {2, 41.f, 30.f, 0, 0, "dist: 1.00\n"},
                  {7, 41.f, 33.f, 0, 0, "dist: 3.00\n"},
                  {1, 0.f, 0.f, 0, 0, "dist: 0.00\n"}}},
        Scenario{"nan_distance_is_not_moved", 0, {{0, std::nanf(""), 0.f, 0, 1, "dist: nan\n"}}}),
    [](const testing::TestParamInfo<Scenario>& i) { return std::string(i.param.name); });

TEST_F(MotionGate, FixedModeMeasuresAndStoresNothing) {
  g_next_frame = NEXT_FRAME{0, 1.f, 2.f, 3.f, 4.f};
  const NEXT_FRAME before = g_next_frame;
  for (int fixed : {1, 2, 3}) {
    g_set_detect_mode = fixed;
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(isMoved(0, 100.f, 100.f), 0);
    EXPECT_EQ(isMoved(1, 100.f, 100.f), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::memcmp(&g_next_frame, &before, sizeof before), 0);
    EXPECT_EQ(g_detect_mode, 1);
  }
}

}  // namespace
