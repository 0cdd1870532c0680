// The trackball: drag arithmetic, the button state machine and its invariants.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>

#include "app/app.h"

namespace {

constexpr double kPi = 3.141592653589793;

class Trackball : public ::testing::Test {
 protected:
  void SetUp() override {
    viewer.orientation = viewer.dragOrientation = kIdentityQuaternion;
    viewer.rotationMatrix = kIdentityMatrix;
    viewer.dragging = 0;
    viewer.spinStep = 2.0f;
    viewer.invWidth = 1.0 / 640;
    viewer.invHeight = 1.0 / 480;
  }
  static void drag(int x0, int y0, int x1, int y1) {
    onMouse(GLUT_LEFT_BUTTON, GLUT_DOWN, x0, y0);
    onMotion((x0 + x1) / 2, (y0 + y1) / 2);
    onMotion(x1, y1);
    onMouse(GLUT_LEFT_BUTTON, GLUT_UP, x1, y1);
  }
};

void expectQuaternion(const Quaternion& q, double w, double x, double y, double z) {
  EXPECT_NEAR(q.w, w, 1e-12);
  EXPECT_NEAR(q.x, x, 1e-12);
  EXPECT_NEAR(q.y, y, 1e-12);
  EXPECT_NEAR(q.z, z, 1e-12);
}

bool allFinite(const ViewerState& v) {
  const Quaternion qs[] = {v.orientation, v.dragOrientation};
  for (const Quaternion& q : qs) {
    if (!std::isfinite(q.w) || !std::isfinite(q.x) || !std::isfinite(q.y) || !std::isfinite(q.z)) {
      return false;
    }
  }
  for (double m : v.rotationMatrix.m) {
    if (!std::isfinite(m)) return false;
  }
  return true;
}

// Rotates v by q the textbook way, q v q*, with quaternion products.
void rotateByQuaternion(const Quaternion& q, const double v[3], double out[3]) {
  const Quaternion p{0, v[0], v[1], v[2]};
  const Quaternion conj{q.w, -q.x, -q.y, -q.z};
  const Quaternion r = quaternionProduct(quaternionProduct(q, p), conj);
  out[0] = r.x, out[1] = r.y, out[2] = r.z;
}

TEST_F(Trackball, HalfTurnsAcrossHalfTheWindow) {
  drag(100, 100, 420, 100);  // 320 pixels right: dX = 0.5
  expectQuaternion(viewer.orientation, 0, 0, 1, 0);
  SetUp();
  drag(100, 100, 100, 340);  // 240 pixels down: dY = 0.5
  expectQuaternion(viewer.orientation, 0, 1, 0, 0);
}

TEST_F(Trackball, TurnFollowsThePointerSigns) {
  // A small drag right turns about +y, a small drag down about +x, each by 2 pi len.
  drag(300, 200, 332, 200);  // len = 0.05: 18 degrees
  expectQuaternion(viewer.orientation, std::cos(0.05 * kPi), 0, std::sin(0.05 * kPi), 0);
  SetUp();
  drag(300, 200, 300, 176);  // 24 up: dY = -0.05
  expectQuaternion(viewer.orientation, std::cos(0.05 * kPi), -std::sin(0.05 * kPi), 0, 0);
}

TEST_F(Trackball, PressAndReleaseWithoutMotionStopsOnlyTheSpin) {
  onMouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 50, 60);
  EXPECT_EQ(viewer.dragging, 1);
  EXPECT_EQ(viewer.anchorX, 50);
  EXPECT_EQ(viewer.anchorY, 60);
  onMouse(GLUT_LEFT_BUTTON, GLUT_UP, 50, 60);
  EXPECT_EQ(viewer.dragging, 0);
  EXPECT_EQ(viewer.spinStep, 0.0f);
  expectQuaternion(viewer.orientation, 1, 0, 0, 0);
  expectQuaternion(viewer.dragOrientation, 1, 0, 0, 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(viewer.rotationMatrix.m[i], kIdentityMatrix.m[i]);
  // The spin never comes back, whatever follows.
  drag(0, 0, 10, 10);
  EXPECT_EQ(viewer.spinStep, 0.0f);
}

TEST_F(Trackball, ReturningToTheAnchorKeepsTheLastNonZeroTurn) {
  onMouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 100);
  onMotion(164, 100);
  const Quaternion turned = viewer.dragOrientation;
  EXPECT_NE(turned.w, 1.0);
  onMotion(100, 100);  // zero length: nothing changes
  EXPECT_EQ(viewer.dragOrientation.w, turned.w);
  EXPECT_EQ(viewer.dragOrientation.y, turned.y);
  onMouse(GLUT_LEFT_BUTTON, GLUT_UP, 100, 100);
  EXPECT_EQ(viewer.orientation.w, turned.w);
  EXPECT_EQ(viewer.orientation.y, turned.y);
}

TEST_F(Trackball, MotionEventsDoNotAccumulate) {
  onMouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 100);
  for (int i = 0; i < 50; ++i) onMotion(100 + i, 100);
  onMotion(132, 100);
  const Quaternion many = viewer.dragOrientation;
  onMouse(GLUT_LEFT_BUTTON, GLUT_UP, 132, 100);
  SetUp();
  drag(100, 100, 132, 100);
  expectQuaternion(many, viewer.orientation.w, viewer.orientation.x, viewer.orientation.y,
                   viewer.orientation.z);
}

TEST_F(Trackball, SecondDragStartsFromTheFirst) {
  drag(0, 0, 160, 0);  // a quarter turn about y
  drag(0, 0, 0, 120);  // then a quarter turn about x, in screen axes
  const double h = std::sqrt(0.5);
  const Quaternion aboutY{h, 0, h, 0}, aboutX{h, h, 0, 0};
  const Quaternion expected = quaternionProduct(aboutX, aboutY);
  expectQuaternion(viewer.orientation, expected.w, expected.x, expected.y, expected.z);
  // The screen's +z (towards the eye) went first to +x, then stayed on the x axis.
  const double z[3] = {0, 0, 1};
  double out[3];
  rotateByQuaternion(viewer.orientation, z, out);
  EXPECT_NEAR(out[0], 1, 1e-12);
  EXPECT_NEAR(out[1], 0, 1e-12);
  EXPECT_NEAR(out[2], 0, 1e-12);
}

TEST_F(Trackball, OtherButtonsStatesAndWheelChangeNothing) {
  for (int button : {GLUT_MIDDLE_BUTTON, GLUT_RIGHT_BUTTON, 3, 4}) {
    onMouse(button, GLUT_DOWN, 10, 10);
    onMotion(300, 300);
    onMouse(button, GLUT_UP, 300, 300);
  }
  onMouse(GLUT_LEFT_BUTTON, 7, 10, 10);
  onMouseWheel(0, 1, 10, 10);
  onMouseWheel(0, -1, 10, 10);
  EXPECT_EQ(viewer.dragging, 0);
  EXPECT_EQ(viewer.spinStep, 2.0f);
  expectQuaternion(viewer.orientation, 1, 0, 0, 0);
  expectQuaternion(viewer.dragOrientation, 1, 0, 0, 0);
}

TEST_F(Trackball, MatrixRotatesVectorsAsTheQuaternionDoes) {
  // Unit quaternions for a few turns about odd axes, compared on three probe vectors.
  const double axes[][3] = {{1, 0, 0}, {0.2, -0.9, 0.4}, {-3, 1, 2}};
  const double vectors[][3] = {{1, 0, 0}, {0, 1, 0}, {0.3, -0.5, 0.8}};
  for (const auto& axis : axes) {
    for (double angle : {0.3, 2.0, -2.9}) {
      const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
      const double s = std::sin(angle / 2) / n;
      const Quaternion q{std::cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s};
      const RotationMatrix m = rotationMatrixOf(q);
      for (const auto& v : vectors) {
        double expected[3];
        rotateByQuaternion(q, v, expected);
        for (int r = 0; r < 3; ++r) {
          const double got = m.m[r] * v[0] + m.m[4 + r] * v[1] + m.m[8 + r] * v[2];
          EXPECT_NEAR(got, expected[r], 1e-12) << "row " << r << " angle " << angle;
        }
      }
      EXPECT_EQ(m.m[3], 0.0);
      EXPECT_EQ(m.m[12], 0.0);
      EXPECT_EQ(m.m[15], 1.0);
    }
  }
}

TEST_F(Trackball, DragAfterZeroSizedWindowStaysFinite) {
  drag(0, 0, 64, 0);
  const Quaternion before = viewer.orientation;
  for (auto size : {std::make_pair(0, 480), std::make_pair(640, 0), std::make_pair(0, 0)}) {
    viewer.invWidth = 1.0 / size.first;
    viewer.invHeight = 1.0 / size.second;
    for (auto to : {std::make_pair(30, 0), std::make_pair(0, 30), std::make_pair(30, 30),
                    std::make_pair(0, 0)}) {
      onMouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 10, 10);
      onMotion(10 + to.first, 10 + to.second);
      onMouse(GLUT_LEFT_BUTTON, GLUT_UP, 10 + to.first, 10 + to.second);
      ASSERT_TRUE(allFinite(viewer)) << size.first << "x" << size.second;
    }
  }
  expectQuaternion(viewer.orientation, before.w, before.x, before.y, before.z);
}

TEST_F(Trackball, HugeMotionsStayFinite) {
  viewer.invWidth = 1.0;  // a one-pixel window
  viewer.invHeight = 1.0;
  drag(-2000000000, 2000000000, 2000000000, -2000000000);
  EXPECT_TRUE(allFinite(viewer));
}

}  // namespace
