// The simulated rig's geometry against OpenCV's camera model, and its scenes.

#include "sdk/sim/SimGeometry.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <random>
#include <set>

#include "sdk/sim/SimScene.h"
#include "sdk/sim/SimTruth.h"
#include "sdk/sim/SimTruthFiles.h"

namespace {

cv::Mat Matrix(const TSimLens& Lens) {
  return (cv::Mat_<double>(3, 3) << Lens.Fx, 0, Lens.Cx, 0, Lens.Fy, Lens.Cy, 0, 0, 1);
}
cv::Mat Distortion(const TSimLens& Lens) {
  return (cv::Mat_<double>(1, 5) << Lens.K1, Lens.K2, Lens.P1, Lens.P2, Lens.K3);
}
cv::Mat Rotation(const TSimPose& Pose) {
  cv::Mat rotation(3, 3, CV_64F), vector;
  for (int i = 0; i < 9; ++i) rotation.at<double>(i / 3, i % 3) = Pose.Rotation[std::size_t(i)];
  cv::Rodrigues(rotation, vector);
  return vector;
}
cv::Mat Translation(const TSimPose& Pose) {
  return (cv::Mat_<double>(3, 1) << Pose.Translation[0], Pose.Translation[1], Pose.Translation[2]);
}

// Where OpenCV puts camera-frame Points in Lens, after Pose.
std::vector<cv::Point2d> OpenCvPixels(const std::vector<cv::Point3d>& Points, const TSimLens& Lens,
                                      const TSimPose& Pose = {}) {
  std::vector<cv::Point2d> pixels;
  cv::projectPoints(Points, Rotation(Pose), Translation(Pose), Matrix(Lens), Distortion(Lens),
                    pixels);
  return pixels;
}

TSimStage Scene(TSimSceneKind Kind, int Pose = 0) {
  TSimStage stage;
  stage.Scene = Kind;
  stage.Pose = Pose;
  return stage;
}

}  // namespace

TEST(SimGeometry, PutsPointsInBothLensesWhereOpenCvDoes) {
  std::mt19937 random(5);
  std::uniform_real_distribution<double> across(-0.55, 0.55), deep(300, 1200);
  for (const double zoom : {1.0, 1.7}) {
    SCOPED_TRACE(zoom);
    const TSimGeometry g(2048, 1536, 1016, 734, zoom, {});
    std::vector<cv::Point3d> points;
    for (int k = 0; k < 200; ++k) {
      const double z = deep(random);
      points.emplace_back(across(random) * z, across(random) * z, z);
    }
    const std::vector<cv::Point2d> camera = OpenCvPixels(points, g.Camera);
    const std::vector<cv::Point2d> projector =
        OpenCvPixels(points, g.Projector, g.ProjectorFromCamera);
    double worst = 0, worstRay = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
      const TSimVec p{points[k].x, points[k].y, points[k].z};
      double u = 0, v = 0;
      ASSERT_TRUE(g.Camera.Project(p, u, v));
      worst = std::max(worst, std::hypot(u - camera[k].x, v - camera[k].y));
      // Back through the lens: the ray of that pixel passes through the point.
      const TSimVec ray = g.Camera.Ray(u, v);
      worstRay =
          std::max(worstRay, std::hypot(ray[0] - p[0] / p[2], ray[1] - p[1] / p[2]) * g.Camera.Fx);
      ASSERT_TRUE(g.ProjectorPixel(p, u, v));
      worst = std::max(worst, std::hypot(u - projector[k].x, v - projector[k].y));
    }
    EXPECT_LT(worst, 0.01);
    EXPECT_LT(worstRay, 1e-6);
  }
}

TEST(SimGeometry, WallTakesTheProjectorFrameOntoMostOfThePhoto) {
  const TSimGeometry g(2048, 1536, 1016, 734, 1, {});
  // The projector beside the camera, about 200 mm away, turned towards its axis.
  EXPECT_NEAR(Length(g.ProjectorCentre), 200, 15);
  const TSimVec axis = g.CameraFromProjector.Turn({0, 0, 1});
  EXPECT_GT(axis[0] * -g.ProjectorCentre[0], 0);
  for (const auto& [x, y] : {std::pair{0.0, 0.0}, {1016.0, 0.0}, {1016.0, 734.0}, {0.0, 734.0}}) {
    const QPointF corner = SimPhotoPoint(1016, 734, 2048, 1536, TSimOptics{}, x, y);
    EXPECT_GT(corner.x(), 0.03 * 2048) << x << "," << y;
    EXPECT_LT(corner.x(), 0.97 * 2048) << x << "," << y;
    EXPECT_GT(corner.y(), 0.03 * 1536) << x << "," << y;
    EXPECT_LT(corner.y(), 0.97 * 1536) << x << "," << y;
  }
  // A projector pixel spans 1.5 to 2 camera pixels everywhere on the wall.
  for (double y : {0.5, 367.5, 733.5})
    for (double x : {0.5, 508.5, 1015.5}) {
      const QPointF here = SimPhotoPoint(1016, 734, 2048, 1536, TSimOptics{}, x, y);
      for (const QPointF step : {QPointF(1, 0), QPointF(0, 1)}) {
        const QPointF next =
            SimPhotoPoint(1016, 734, 2048, 1536, TSimOptics{}, x + step.x(), y + step.y());
        const double span = std::hypot(next.x() - here.x(), next.y() - here.y());
        EXPECT_GT(span, 1.5);
        EXPECT_LT(span, 2.0);
      }
    }
}

TEST(SimGeometry, BoardPosesMakeACalibrationSession) {
  ASSERT_GE(SimBoardPoseCount(), 10);
  std::set<long> distances;
  double left = 2048, right = 0, top = 1536, bottom = 0;
  for (int pose = 0; pose < SimBoardPoseCount(); ++pose) {
    SCOPED_TRACE(pose + 1);
    const TSimGeometry g(2048, 1536, 1016, 734, 1, Scene(TSimSceneKind::Board, pose));
    // Facing the camera, tilted by at most about 30 degrees, before the wall.
    const TSimVec facing = g.CameraFromBoard.Turn({0, 0, 1});
    EXPECT_LT(std::acos(facing[2]), 32 * M_PI / 180);
    distances.insert(std::lround(g.CameraFromBoard.Apply({100, 62.5, 0})[2] / 50));
    // The whole board, border and all, in the photo and in the projector's frame, lit and seen.
    const double s = g.Stage.Board.Square;
    for (const auto& [x, y] :
         {std::pair{-2 * s, -2 * s}, {10 * s, -2 * s}, {10 * s, 7 * s}, {-2 * s, 7 * s}}) {
      const TSimVec corner = g.CameraFromBoard.Apply({x, y, 0});
      EXPECT_LT(corner[2], 800 - 20);
      double u = 0, v = 0;
      ASSERT_TRUE(g.Camera.Project(corner, u, v));
      EXPECT_TRUE(u > 20 && v > 20 && u < 2028 && v < 1516) << u << "," << v;
      left = std::min(left, u), right = std::max(right, u);
      top = std::min(top, v), bottom = std::max(bottom, v);
      ASSERT_TRUE(g.ProjectorPixel(corner, u, v));
      EXPECT_TRUE(u > 10 && v > 10 && u < 966 && v < 646) << u << "," << v;  // the start-up raster
      const TSimVec middle = g.CameraFromBoard.Apply({100, 62.5, 0});
      const TSimHit hit = g.Cast({0, 0, 0}, 0.99 * corner + 0.01 * middle);
      EXPECT_EQ(hit.Surface, TSimSurface::Board);
      EXPECT_TRUE(g.Lit(hit) && g.Seen(hit));
    }
  }
  EXPECT_GE(distances.size(), 3u);
  // Together the poses cover most of the view.
  EXPECT_LT(left, 0.15 * 2048);
  EXPECT_GT(right, 0.8 * 2048);
  EXPECT_LT(top, 0.15 * 1536);
  EXPECT_GT(bottom, 0.8 * 1536);
}

TEST(SimGeometry, SphereCastsAShadowAndHidesPartOfTheWall) {
  const TSimGeometry g(2048, 1536, 1016, 734, 1, Scene(TSimSceneKind::Sphere));
  EXPECT_NEAR(g.SphereRadius, 60, 10);
  EXPECT_LT(g.SphereCentre[2] + g.SphereRadius, 800);
  // Along the photo's middle row: wall, sphere, the sphere's shadow on the wall, wall.
  std::vector<std::pair<TSimSurface, bool>> runs;
  for (int x = 0; x < 2048; x += 2) {
    const TSimHit hit = g.Cast({0, 0, 0}, g.Camera.Ray(x, g.Camera.Cy));
    const std::pair<TSimSurface, bool> here{hit.Surface, g.Lit(hit)};
    if (runs.empty() || runs.back() != here) runs.push_back(here);
  }
  const std::pair<TSimSurface, bool> order[] = {{TSimSurface::Wall, true},
                                                {TSimSurface::Sphere, true},
                                                {TSimSurface::Wall, false},
                                                {TSimSurface::Wall, true}};
  auto at = runs.begin();
  for (const auto& expected : order) {
    at = std::find(at, runs.end(), expected);
    ASSERT_NE(at, runs.end()) << "no run of surface " << int(expected.first) << ", lit "
                              << expected.second;
  }
  // The raster's points: on the sphere and on the wall, some in its shadow's edge, some hidden.
  TSimRaster raster{10, 10, 80, 120, 3, 8};
  const auto truth =
      SimPointTruth(1016, 734, 2048, 1536, TSimOptics{}, raster.TopLefts(), 3, 8, g.Stage);
  int onSphere = 0, views[5] = {};
  for (const TSimPointTruth& t : truth) {
    ++views[int(t.View)];
    onSphere += t.View == TSimPointTruth::TView::Inside &&
                std::abs(Length(t.Surface - g.SphereCentre) - g.SphereRadius) < 1e-6;
  }
  EXPECT_GT(onSphere, 300);
  EXPECT_GT(views[int(TSimPointTruth::TView::Shadow)], 10);
  EXPECT_GT(views[int(TSimPointTruth::TView::Hidden)], 100);
}

TEST(SimGeometry, TruthFilesReadBackInOpenCvAsTheRigHasThem) {
  QTemporaryDir dir;
  QImage frame(1016, 734, QImage::Format_RGB888);
  frame.fill(Qt::black);
  for (int y = 10; y + 3 <= 650; y += 8)
    for (int x = 10; x + 3 <= 970; x += 8)
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = 0; dx < 3; ++dx) frame.setPixelColor(x + dx, y + dy, Qt::green);
  TSimOptics optics;
  optics.Zoom = 1.1;
  const TSimStage stage = Scene(TSimSceneKind::Board, 5);
  std::string error;
  ASSERT_TRUE(SimRecordTruth(dir.path().toStdString(), "IMG_0003.JPG", frame, 2048, 1536, optics,
                             stage, &error))
      << error;
  const TSimGeometry g(2048, 1536, 1016, 734, 1.1, stage);

  cv::FileStorage rig(dir.filePath("rig.yml").toStdString(), cv::FileStorage::READ);
  ASSERT_TRUE(rig.isOpened());
  cv::Size cameraSize, projectorSize;
  cv::Mat cameraMatrix, cameraDistortion, projectorMatrix, projectorDistortion, rotation,
      translation;
  rig["camera_size"] >> cameraSize;
  rig["camera_matrix"] >> cameraMatrix;
  rig["camera_distortion"] >> cameraDistortion;
  rig["projector_size"] >> projectorSize;
  rig["projector_matrix"] >> projectorMatrix;
  rig["projector_distortion"] >> projectorDistortion;
  rig["rotation"] >> rotation;
  rig["translation"] >> translation;
  EXPECT_EQ(cameraSize, cv::Size(2048, 1536));
  EXPECT_EQ(projectorSize, cv::Size(1016, 734));
  EXPECT_EQ(cv::norm(cameraMatrix, Matrix(g.Camera)), 0);
  EXPECT_EQ(cv::norm(cameraDistortion, Distortion(g.Camera)), 0);
  EXPECT_EQ(cv::norm(projectorMatrix, Matrix(g.Projector)), 0);
  EXPECT_EQ(cv::norm(projectorDistortion, Distortion(g.Projector)), 0);
  EXPECT_LT(cv::norm(rotation.t() * rotation, cv::Mat::eye(3, 3, CV_64F)), 1e-12);
  EXPECT_EQ(cv::norm(translation, Translation(g.ProjectorFromCamera)), 0);
  EXPECT_EQ(std::string(rig["scene"]), "board");

  // The inner corners in the photo: where OpenCV puts the board's corners in the camera.
  cv::FileStorage board(dir.filePath("IMG_0003-board.yml").toStdString(), cv::FileStorage::READ);
  ASSERT_TRUE(board.isOpened());
  EXPECT_EQ(int(board["pose"]), 6);
  cv::Mat boardRotation, boardTranslation, corners;
  board["board_rotation"] >> boardRotation;
  board["board_translation"] >> boardTranslation;
  board["corners"] >> corners;
  ASSERT_EQ(corners.rows, 54);
  std::vector<cv::Point3d> object;
  for (int r = 0; r < 6; ++r)
    for (int c = 0; c < 9; ++c) object.emplace_back(c * 25.0, r * 25.0, 0);
  cv::Mat turn;
  cv::Rodrigues(boardRotation, turn);
  std::vector<cv::Point2d> expected;
  cv::projectPoints(object, turn, boardTranslation, cameraMatrix, cameraDistortion, expected);
  for (int k = 0; k < 54; ++k)
    EXPECT_LT(cv::norm(corners.at<cv::Vec2d>(k) - cv::Vec2d(expected[std::size_t(k)])), 1e-9);

  // Every raster point, its photo place where OpenCV puts its 3D place.
  QFile csv(dir.filePath("IMG_0003-truth.csv"));
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  EXPECT_EQ(csv.readLine(), "number,row,column,x,y,X,Y,Z,view\n");
  int lines = 0, inside = 0;
  double worst = 0;
  for (QByteArray line; !(line = csv.readLine()).isEmpty(); ++lines) {
    const QList<QByteArray> f = line.trimmed().split(',');
    ASSERT_EQ(f.size(), 9) << line.toStdString();
    EXPECT_EQ(f[0].toInt(), f[1].toInt() * 120 + f[2].toInt() + 1);
    EXPECT_TRUE(QByteArrayList({"inside", "edge", "outside", "shadow", "hidden"}).contains(f[8]));
    if (f[8] != "inside") continue;
    ++inside;
    const std::vector<cv::Point2d> at =
        OpenCvPixels({cv::Point3d(f[5].toDouble(), f[6].toDouble(), f[7].toDouble())}, g.Camera);
    worst = std::max(worst, std::hypot(at[0].x - f[3].toDouble(), at[0].y - f[4].toDouble()));
  }
  EXPECT_EQ(lines, 80 * 120);
  EXPECT_GT(inside, 8000);
  EXPECT_LT(worst, 1e-4);
}
