// Spin and window arithmetic.
#include <gtest/gtest.h>

#include <cmath>

#include "render/render.h"

TEST(Spin, RunsInTwoDegreeStepsAndWrapsOnlyAbove360) {
  float angle = 0.0f;
  for (int i = 1; i <= 180; ++i) {
    angle = advanceSpin(angle, 2.0f);
    ASSERT_EQ(angle, 2.0f * i) << "step " << i;
  }
  EXPECT_EQ(angle, 360.0f) << "360 itself is kept";
  angle = advanceSpin(angle, 2.0f);
  EXPECT_EQ(angle, 2.0f);
  EXPECT_EQ(advanceSpin(angle, 2.0f), 4.0f);
}

TEST(Spin, StoppedSpinStaysPut) {
  EXPECT_EQ(advanceSpin(123.0f, 0.0f), 123.0f);
  EXPECT_EQ(advanceSpin(360.0f, 0.0f), 360.0f);
}

TEST(Window, MetricsOf800By600) {
  const WindowMetrics m = windowMetrics(800, 600);
  EXPECT_DOUBLE_EQ(m.invWidth, 0.00125);
  EXPECT_NEAR(m.invHeight, 0.0016667, 1e-7);
  EXPECT_NEAR(m.aspect, 1.3333, 1e-4);
}

TEST(Window, ZeroSizesGiveInfinitiesNotATrap) {
  EXPECT_TRUE(std::isinf(windowMetrics(0, 600).invWidth));
  EXPECT_EQ(windowMetrics(0, 600).aspect, 0.0);
  EXPECT_TRUE(std::isinf(windowMetrics(800, 0).invHeight));
  EXPECT_TRUE(std::isinf(windowMetrics(800, 0).aspect));
  EXPECT_TRUE(std::isnan(windowMetrics(0, 0).aspect));
}
