#include "sdk/sim/SimRender.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sdk/sim/SimMapping.h"

namespace {

constexpr int FrameWidth = 1016, FrameHeight = 734;
constexpr int CameraWidth = 2048, CameraHeight = 1536;

QImage Frame(QColor Fill) {
  QImage frame(FrameWidth, FrameHeight, QImage::Format_BGR888);
  frame.fill(Fill);
  return frame;
}

void LightSquare(QImage& Frame, int X, int Y) {
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx) Frame.setPixelColor(X + dx, Y + dy, Qt::white);
}

}  // namespace

TEST(SimMapping, ThrowsTheFrameOntoMostOfTheCameraFrame) {
  const TSimMapping mapping(FrameWidth, FrameHeight, CameraWidth, CameraHeight);
  const QPointF corners[] = {mapping.ToCamera(0, 0), mapping.ToCamera(FrameWidth, 0),
                             mapping.ToCamera(FrameWidth, FrameHeight),
                             mapping.ToCamera(0, FrameHeight)};
  for (const QPointF& corner : corners) {
    EXPECT_GT(corner.x(), 0);
    EXPECT_LT(corner.x(), CameraWidth);
    EXPECT_GT(corner.y(), 0);
    EXPECT_LT(corner.y(), CameraHeight);
  }
  // Mild perspective: the top edge and the bottom edge differ in length.
  const double top = corners[1].x() - corners[0].x();
  const double bottom = corners[2].x() - corners[3].x();
  EXPECT_GT(top, CameraWidth * 0.8);
  EXPECT_NE(std::lround(top), std::lround(bottom));

  // A projector pixel spans 1.5 to 2 camera pixels everywhere.
  for (int y : {0, FrameHeight / 2, FrameHeight - 2}) {
    for (int x : {0, FrameWidth / 2, FrameWidth - 2}) {
      const QPointF here = mapping.PixelCentreToCamera(x, y);
      const QPointF right = mapping.PixelCentreToCamera(x + 1, y);
      const QPointF below = mapping.PixelCentreToCamera(x, y + 1);
      EXPECT_GT(std::hypot(right.x() - here.x(), right.y() - here.y()), 1.5);
      EXPECT_LT(std::hypot(right.x() - here.x(), right.y() - here.y()), 2.0);
      EXPECT_GT(std::hypot(below.x() - here.x(), below.y() - here.y()), 1.5);
      EXPECT_LT(std::hypot(below.x() - here.x(), below.y() - here.y()), 2.0);
      const QPointF back = mapping.ToProjector(here.x(), here.y());
      EXPECT_NEAR(back.x(), x + 0.5, 1e-6);
      EXPECT_NEAR(back.y(), y + 0.5, 1e-6);
    }
  }
}

TEST(SimRender, KeepsEveryPointOfADenseRasterApart) {
  // Points of 3 x 3 pixels every 7 pixels, the densest raster the operator starts from.
  const TSimMapping mapping(FrameWidth, FrameHeight, CameraWidth, CameraHeight);
  QImage frame = Frame(Qt::black);
  for (int y = 10; y + 3 <= FrameHeight; y += 7)
    for (int x = 10; x + 3 <= FrameWidth; x += 7) LightSquare(frame, x, y);
  const QImage photo = SimRenderScene(frame, CameraWidth, CameraHeight, 3);
  int weakest = 255, brightestGap = 0;
  for (int y = 10; y + 10 <= FrameHeight; y += 7 * 9) {
    for (int x = 10; x + 10 <= FrameWidth; x += 7 * 11) {
      const QPointF point = mapping.ToCamera(x + 1.5, y + 1.5);
      const QPointF gap = mapping.ToCamera(x + 5, y + 5);  // between four points
      weakest = std::min(weakest, qGray(photo.pixel(int(point.x()), int(point.y()))));
      brightestGap = std::max(brightestGap, qGray(photo.pixel(int(gap.x()), int(gap.y()))));
    }
  }
  EXPECT_GT(weakest, 150);
  EXPECT_LT(brightestGap, 60);
}

TEST(SimRender, BlackFrameAndNoFrameGiveTheSameAmbientPicture) {
  const QImage dark = SimRenderScene(QImage(), 320, 240, 9);
  ASSERT_EQ(dark.size(), QSize(320, 240));
  EXPECT_EQ(SimRenderScene(Frame(Qt::black), 320, 240, 9), dark);
  std::atomic<bool> cancel{true};
  EXPECT_TRUE(SimRenderScene(Frame(Qt::white), 320, 240, 9, &cancel).isNull());
}
