// Rendering under a real GL: a known texture on the sphere, read back and compared with an
// independent ray-cast model and with named probes.
#include "render/render.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "app/app.h"
#include "support/harness.h"
#include "support/reference.h"

namespace {

// Quadrants of colour, with the first fifth of the rows in a colour of their own, uploaded
// straight into the texture (red-green-blue, 256 by 128).
constexpr int kTexWidth = 256;
constexpr int kTexHeight = 128;

Rgb quadrantColour(double s, double t) {
  if (t < 1.0 / 5) return kMagenta;
  if (t < 0.5) return s < 0.5 ? kRed : kGreen;
  return s < 0.5 ? kBlue : kYellow;
}

void uploadQuadrants() {
  std::vector<unsigned char> pixels(kTexWidth * kTexHeight * 3);
  for (int row = 0; row < kTexHeight; ++row) {
    for (int col = 0; col < kTexWidth; ++col) {
      const Rgb c = quadrantColour((col + 0.5) / kTexWidth, (row + 0.5) / kTexHeight);
      unsigned char* p = &pixels[(row * kTexWidth + col) * 3];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
  }
  glBindTexture(GL_TEXTURE_2D, viewer.texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, kTexWidth, kTexHeight, 0, GL_RGB, GL_UNSIGNED_BYTE,
               pixels.data());
}

// The colour the model expects at a pixel, or nothing where the pixel straddles a colour edge
// or the sphere's outline (the model is sampled around the pixel centre to find out).
std::optional<Rgb> expectedColour(const ReferenceScene& scene, int x, int y) {
  std::optional<Rgb> colour;
  const double offsets[][2] = {{0, 0}, {-0.9, 0}, {0.9, 0}, {0, -0.9}, {0, 0.9}};
  for (const auto& o : offsets) {
    const auto hit = referenceTexCoord(scene, x + o[0], y + o[1]);
    const Rgb c = hit ? quadrantColour(hit->s, hit->t) : kBlack;
    if (colour && (colour->r != c.r || colour->g != c.g || colour->b != c.b)) return std::nullopt;
    colour = c;
  }
  return colour;
}

// Draws the scene as the viewer would and compares every unambiguous pixel with the model.
void expectMatchesModel(const ReferenceScene& scene) {
  viewer.insideView = scene.inside;
  viewer.spinAngle = scene.spinDeg;
  viewer.zoom = scene.zoom;
  viewer.dragOrientation = scene.orientation;
  buildRotationMatrix();
  uploadQuadrants();
  drawScene();
  const cv::Mat image = readBackBuffer();

  int compared = 0, mismatched = 0;
  std::ostringstream first;
  for (int y = 0; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      const auto expected = expectedColour(scene, x, y);
      if (!expected) continue;
      ++compared;
      const auto probe = probeColour(image, x, y, *expected);
      if (!probe && ++mismatched <= 5) first << probe.message() << "\n";
    }
  }
  EXPECT_GT(compared, 250000) << "too few unambiguous pixels to judge";
  // Facets of a 120 by 120 sphere differ from the true sphere by a small fraction of a pixel.
  EXPECT_LE(mismatched, compared / 1000)
      << mismatched << " of " << compared << " pixels differ from the model, first ones:\n"
      << first.str();
}

// The column where the upper hemisphere turns from red (s < 0.5) to green along row `y`,
// scanning from `from` to the right; -1 when there is none.
int redToGreenColumn(const cv::Mat& image, int y, int from) {
  for (int x = from; x + 1 < 640; ++x) {
    if (sameColour(image.at<cv::Vec3b>(y, x), kRed) &&
        sameColour(image.at<cv::Vec3b>(y, x + 1), kGreen)) {
      return x;
    }
  }
  return -1;
}

class Render : public ::testing::Test {
 protected:
  void SetUp() override { openTestWindow(); }
};

TEST_F(Render, OutsideViewMatchesModelAtSpinZero) { expectMatchesModel(ReferenceScene{}); }

TEST_F(Render, InsideViewMatchesModelAtSpinZero) {
  ReferenceScene scene;
  scene.inside = true;
  expectMatchesModel(scene);
}

TEST_F(Render, SpinTrackballAndZoomMatchModelInBothViews) {
  ReferenceScene scene;
  scene.spinDeg = 38.0f;
  scene.zoom = 1.3f;
  const double half = 0.35;  // a turn of 0.7 rad about the axis (1, 2, 0)/sqrt(5)
  scene.orientation = Quaternion{std::cos(half), std::sin(half) / std::sqrt(5.0),
                                 2 * std::sin(half) / std::sqrt(5.0), 0.0};
  expectMatchesModel(scene);
  scene.inside = true;
  scene.zoom = 0.8f;
  expectMatchesModel(scene);
}

TEST_F(Render, GlobeSitsAboveTheAxisWithTheFirstRowOnTop) {
  uploadQuadrants();
  drawScene();
  const cv::Mat image = readBackBuffer();
  // The centre is 16 ahead and 1 up, so the outline runs from row 9 to row 391; the band of
  // the first rows shows along the top, between rows 9 and 16.
  EXPECT_TRUE(probeColour(image, 320, 6, kBlack));
  EXPECT_TRUE(probeColour(image, 320, 12, kMagenta));
  EXPECT_FALSE(sameColour(image.at<cv::Vec3b>(386, 320), kBlack)) << "bottom of the globe";
  EXPECT_TRUE(probeColour(image, 320, 395, kBlack));
  EXPECT_TRUE(probeColour(image, 0, 0, kBlack));
  EXPECT_TRUE(probeColour(image, 639, 479, kBlack));
  // At spin 0 the seam (s = 0) faces the eye: s just above 0 (red) left of the centre, s just
  // below 1 (green) right of it; below the equator blue and yellow.
  EXPECT_TRUE(probeColour(image, 310, 150, kRed));
  EXPECT_TRUE(probeColour(image, 330, 150, kGreen));
  EXPECT_TRUE(probeColour(image, 310, 260, kBlue));
  EXPECT_TRUE(probeColour(image, 330, 260, kYellow));
  EXPECT_NEAR(redToGreenColumn(image, 150, 200), 319.5, 1.0);
}

TEST_F(Render, InsideViewLooksAtTheMiddleColumn) {
  viewer.insideView = true;
  uploadQuadrants();
  drawScene();
  const cv::Mat image = readBackBuffer();
  // s = 0.5 straight ahead: red (s < 0.5) on the left, green on the right. The horizon of a
  // centre 1 unit above the eye lies 116 pixels above the window's centre.
  EXPECT_NEAR(redToGreenColumn(image, 100, 0), 319.5, 1.0);
  EXPECT_TRUE(probeColour(image, 300, 118, kRed));
  EXPECT_TRUE(probeColour(image, 300, 130, kBlue));
  EXPECT_TRUE(probeColour(image, 340, 130, kYellow));
  for (int x : {0, 639}) {
    for (int y : {0, 479}) {
      EXPECT_FALSE(sameColour(image.at<cv::Vec3b>(y, x), kBlack, 10))
          << "corner (" << x << "," << y << ") is background: the panorama should fill it";
    }
  }
}

TEST_F(Render, NearSideMovesRightToLeftAsTheSpinGrows) {
  uploadQuadrants();
  int previous = 1000;
  for (float spin : {0.0f, 4.0f, 8.0f, 12.0f}) {
    viewer.spinAngle = spin;
    drawScene();
    const int seam = redToGreenColumn(readBackBuffer(), 150, 100);
    ASSERT_GE(seam, 0) << "no seam at spin " << spin;
    EXPECT_LT(seam, previous - 5) << "spin " << spin;
    previous = seam;
  }
}

TEST_F(Render, LostSourceLeavesItsPictureDimmed) {
  uploadQuadrants();
  viewer.capture.state = SourceState::stale;
  drawScene();
  viewer.capture.state = SourceState::closed;
  const cv::Vec3b seen = readBackBuffer().at<cv::Vec3b>(150, 330);
  EXPECT_NEAR(seen[1], 255 * kStaleBrightness, 3) << "green dimmed";
  EXPECT_EQ(seen[0], 0);
}

TEST_F(Render, ReshapeSetsInverseSizesAndAspect) {
  onReshape(800, 600);
  EXPECT_DOUBLE_EQ(viewer.invWidth, 0.00125);
  EXPECT_NEAR(viewer.invHeight, 0.0016667, 1e-7);
  double projection[16];
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  EXPECT_NEAR(projection[5] / projection[0], 800.0 / 600.0, 1e-6) << "aspect ratio";
  EXPECT_NEAR(projection[5], 1.0 / std::tan(22.5 * std::acos(-1.0) / 180.0), 1e-6) << "45 deg";
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 800);
  EXPECT_EQ(viewport[3], 600);
}

TEST_F(Render, DisplayAdvancesTheSpinBeforeDrawing) {
  viewer.spinAngle = 358.0f;
  onDisplay();
  EXPECT_EQ(viewer.spinAngle, 360.0f);
  onDisplay();
  EXPECT_EQ(viewer.spinAngle, 2.0f);
}

}  // namespace
