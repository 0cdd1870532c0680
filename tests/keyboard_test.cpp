// Keyboard commands through the real handler.
#include <gtest/gtest.h>

#include <cmath>

#include "app/app.h"
#include "support/harness.h"

namespace {

class Keyboard : public ::testing::Test {
 protected:
  void SetUp() override { openTestWindow(); }
};

TEST_F(Keyboard, PlusAndMinusStepTheZoomWithoutBound) {
  for (int i = 0; i < 10; ++i) onKeyboard('+', 0, 0);
  EXPECT_EQ(viewer.zoom, std::nextafter(2.0f, 3.0f));
  viewer.zoom = 1.0f;
  for (int i = 0; i < 11; ++i) onKeyboard('-', 0, 0);
  EXPECT_NEAR(viewer.zoom, -0.10000008, 1e-8);
}

TEST_F(Keyboard, VTogglesTheViewInEitherCase) {
  onKeyboard('v', 0, 0);
  EXPECT_TRUE(viewer.insideView);
  onKeyboard('V', 0, 0);
  EXPECT_FALSE(viewer.insideView);
  onKeyboard('v', 0, 0);
  onKeyboard('v', 0, 0);
  EXPECT_FALSE(viewer.insideView);
}

TEST_F(Keyboard, OtherKeysChangeNothing) {
  for (int key = 0; key < 256; ++key) {
    if (key == 27 || key == '+' || key == '-' || key == 'v' || key == 'V') continue;
    onKeyboard(static_cast<unsigned char>(key), 5, 5);
  }
  EXPECT_EQ(viewer.zoom, 1.0f);
  EXPECT_FALSE(viewer.insideView);
  EXPECT_EQ(viewer.spinStep, 2.0f);
}

}  // namespace
