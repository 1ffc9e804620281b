#include "sdk/sim/SimRender.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sdk/sim/SimScene.h"
#include "sdk/sim/SimTruth.h"

namespace {

constexpr int FrameWidth = 1016, FrameHeight = 734;
constexpr int CameraWidth = 2048, CameraHeight = 1536;

QImage Frame(QColor Fill) {
  QImage frame(FrameWidth, FrameHeight, QImage::Format_BGR888);
  frame.fill(Fill);
  return frame;
}

// Squares of Size x Size pixels every Spacing pixels from (10, 10).
QImage Raster(int Size, int Spacing, TSimRaster* Out = nullptr) {
  QImage frame = Frame(Qt::black);
  TSimRaster raster{10, 10, 0, 0, Size, Spacing};
  for (int y = 10; y + Size <= FrameHeight - 80; y += Spacing, ++raster.Rows)
    for (int x = 10; x + Size <= FrameWidth - 40; x += Spacing)
      for (int dy = 0; dy < Size; ++dy)
        for (int dx = 0; dx < Size; ++dx) frame.setPixelColor(x + dx, y + dy, Qt::white);
  for (int x = 10; x + Size <= FrameWidth - 40; x += Spacing) ++raster.Columns;
  if (Out) *Out = raster;
  return frame;
}

QPointF At(double X, double Y, const TSimStage& Stage = {}) {
  return SimPhotoPoint(FrameWidth, FrameHeight, CameraWidth, CameraHeight, TSimOptics{}, X, Y,
                       Stage);
}

}  // namespace

TEST(SimRender, KeepsEveryPointOfADenseRasterApart) {
  // Points of 3 x 3 pixels every 7 pixels, the densest raster the operator starts from.
  const QImage photo = SimRenderScene(Raster(3, 7), CameraWidth, CameraHeight, 3);
  int weakest = 255, brightestGap = 0;
  for (int y = 10; y + 80 <= FrameHeight; y += 7 * 9) {
    for (int x = 10; x + 40 <= FrameWidth; x += 7 * 11) {
      const QPointF point = At(x + 1.5, y + 1.5);
      const QPointF gap = At(x + 5, y + 5);  // between four points
      weakest = std::min(weakest, qGray(photo.pixel(int(point.x()), int(point.y()))));
      brightestGap = std::max(brightestGap, qGray(photo.pixel(int(gap.x()), int(gap.y()))));
    }
  }
  EXPECT_GT(weakest, 150);
  EXPECT_LT(brightestGap, 60);
}

TEST(SimRender, PutsEachPointsLightWhereTheGeometrySays) {
  // Large squares far apart: the centroid of each one's light is where its middle lands.
  TSimRaster raster;
  const QImage frame = Raster(7, 40, &raster);
  TSimStage tilted;
  tilted.Scene = TSimSceneKind::Board;
  tilted.Pose = 2;  // 30 degrees about the vertical
  for (const TSimStage& stage : {TSimStage{}, tilted}) {
    SCOPED_TRACE(SimSceneName(stage.Scene));
    const QImage lit = SimRenderScene(frame, CameraWidth, CameraHeight, 5, stage);
    const QImage dark = SimRenderScene(QImage(), CameraWidth, CameraHeight, 6, stage);
    const auto truth = SimPointTruth(FrameWidth, FrameHeight, CameraWidth, CameraHeight,
                                     TSimOptics{}, raster.TopLefts(), 7, 40, stage);
    // Over many points the noise averages out: no pull either way, little spread. Nor
    // does a centroid lean with where the middle falls within its pixel (the light a
    // pixel gathers over its area; sampled at its centre alone it leaned by up to 0.03 px).
    double sumX = 0, sumY = 0, squares = 0, leanX = 0, leanY = 0, sines = 0;
    int measured = 0;
    for (const TSimPointTruth& t : truth) {
      if (t.View != TSimPointTruth::TView::Inside || t.AcrossPrint) continue;
      double sx = 0, sy = 0, sum = 0;
      for (int y = int(t.Centre.y()) - 12; y <= int(t.Centre.y()) + 12; ++y)
        for (int x = int(t.Centre.x()) - 12; x <= int(t.Centre.x()) + 12; ++x) {
          const int light = qGreen(lit.pixel(x, y)) - qGreen(dark.pixel(x, y));
          sx += light * (x + 0.5), sy += light * (y + 0.5), sum += light;
        }
      const double dx = sx / sum - t.Centre.x(), dy = sy / sum - t.Centre.y();
      sumX += dx, sumY += dy, squares += dx * dx + dy * dy;
      const double sineX = std::sin(2 * M_PI * t.Centre.x()),
                   sineY = std::sin(2 * M_PI * t.Centre.y());
      leanX += dx * sineX, leanY += dy * sineY, sines += (sineX * sineX + sineY * sineY) / 2;
      ++measured;
    }
    ASSERT_GT(measured, 100);
    EXPECT_LT(std::abs(sumX / measured), 0.01);
    EXPECT_LT(std::abs(sumY / measured), 0.01);
    EXPECT_LT(std::sqrt(squares / measured), 0.05);
    EXPECT_LT(std::abs(leanX / sines), 0.008);
    EXPECT_LT(std::abs(leanY / sines), 0.008);
  }
}

TEST(SimRender, LitFieldShowsThePrintAndTheShadow) {
  const QImage white = Frame(Qt::white);
  for (const TSimSceneKind kind : {TSimSceneKind::Board, TSimSceneKind::Sphere}) {
    TSimStage stage;
    stage.Scene = kind;
    const TSimGeometry g(CameraWidth, CameraHeight, FrameWidth, FrameHeight, 1, stage);
    const QImage lit = SimRenderScene(white, CameraWidth, CameraHeight, 7, stage);
    const QImage dark = SimRenderScene(QImage(), CameraWidth, CameraHeight, 8, stage);
    auto level = [&](const QImage& Photo, const TSimVec& P) {
      double u = 0, v = 0;
      g.Camera.Project(P, u, v);
      int sum = 0;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) sum += qGreen(Photo.pixel(int(u) + dx, int(v) + dy));
      return sum / 25.0;
    };
    if (kind == TSimSceneKind::Board) {
      // A grey square and a white one beside it: the print shows as a fifth less light.
      const double s = stage.Board.Square;
      const double grey = level(lit, g.CameraFromBoard.Apply({-s / 2, -s / 2, 0})) -
                          level(dark, g.CameraFromBoard.Apply({-s / 2, -s / 2, 0}));
      const double whiteSquare = level(lit, g.CameraFromBoard.Apply({s / 2, -s / 2, 0})) -
                                 level(dark, g.CameraFromBoard.Apply({s / 2, -s / 2, 0}));
      EXPECT_NEAR(grey / whiteSquare, 0.8 / 0.95, 0.03);
    } else {
      // The wall behind the sphere's rim, away from the projector: room light only.
      const TSimVec c = g.SphereCentre;
      const double r = g.SphereRadius;
      const TSimVec beside{c[0] + 1.15 * r * 800 / c[2], c[1], 800};
      const TSimHit hit = g.Cast({0, 0, 0}, beside);
      ASSERT_EQ(hit.Surface, TSimSurface::Wall);
      ASSERT_FALSE(g.Lit(hit));
      EXPECT_NEAR(level(lit, beside), level(dark, beside), 2.0);
      EXPECT_GT(level(lit, {c[0] - 0.3 * r, c[1], c[2] - 0.95 * r}), 120);
    }
  }
}

TEST(SimRender, BlackFrameAndNoFrameGiveTheSameAmbientPicture) {
  const QImage dark = SimRenderScene(QImage(), 320, 240, 9);
  ASSERT_EQ(dark.size(), QSize(320, 240));
  EXPECT_EQ(SimRenderScene(Frame(Qt::black), 320, 240, 9), dark);
  std::atomic<bool> cancel{true};
  EXPECT_TRUE(SimRenderScene(Frame(Qt::white), 320, 240, 9, {}, 1, &cancel).isNull());
}

// The truth's light for each point against the photo's. Where the sphere turns away a
// square's light lands as a thin slanted sliver; taken for the box about it, the truth
// once gave such points up to twice the light the photo shows (64 points off).
TEST(SimRender, TruthKnowsTheLightEachPointGets) {
  TSimRaster raster;
  const QImage frame = Raster(3, 8, &raster);
  TSimStage stage;
  stage.Scene = TSimSceneKind::Sphere;
  const QImage lit = SimRenderScene(frame, CameraWidth, CameraHeight, 5, stage);
  const QImage dark = SimRenderScene(QImage(), CameraWidth, CameraHeight, 6, stage);
  const auto truth = SimPointTruth(FrameWidth, FrameHeight, CameraWidth, CameraHeight, TSimOptics{},
                                   raster.TopLefts(), 3, 8, stage);
  // The green level at (X, Y), between the pixels' centres.
  auto at = [](const QImage& Photo, double X, double Y) {
    const int x = int(std::floor(X - 0.5)), y = int(std::floor(Y - 0.5));
    const double fx = X - 0.5 - x, fy = Y - 0.5 - y;
    auto g = [&](int Dx, int Dy) { return double(qGreen(Photo.pixel(x + Dx, y + Dy))); };
    return (g(0, 0) * (1 - fx) + g(1, 0) * fx) * (1 - fy) +
           (g(0, 1) * (1 - fx) + g(1, 1) * fx) * fy;
  };
  int inside = 0, off = 0;
  for (const TSimPointTruth& t : truth) {
    if (t.View != TSimPointTruth::TView::Inside) continue;
    ++inside;
    const double x = t.Centre.x(), y = t.Centre.y();
    off += !(std::abs(at(lit, x, y) - at(dark, x, y) - t.Light) <= std::max(0.15 * t.Light, 10.0));
  }
  ASSERT_GT(inside, 9000);
  EXPECT_LE(off, inside / 1000);
}
