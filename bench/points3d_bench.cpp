// Placing a scan's 9600 read points in space, and which meeting point of the
// two rays lies nearer the truth when the camera's readings carry the check's
// typical error (0.05 px median) and the projector's pixels are exact or not.

#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>
#include <random>

#include "geometry/PointCloud.h"

namespace {

// A station-like rig: 2048 x 1536 camera, 1016 x 734 projector 200 mm aside.
TRigGeometry Rig() {
  TRigGeometry rig;
  rig.Camera = {
      {2048, 1536}, {2650, 0, 1031.5, 0, 2652, 760.25, 0, 0, 1}, {-0.09, 0.12, 0.0004, -0.0003, 0}};
  rig.Projector = {{1016, 734}, {1420, 0, 500.5, 0, 1421.5, 420, 0, 0, 1}, {0.03, -0.05, 0, 0, 0}};
  cv::Rodrigues(cv::Vec3d(0.02, 0.28, 0.01), rig.ProjectorFromCamera);
  rig.ProjectorFromCameraMm = -(rig.ProjectorFromCamera * cv::Vec3d(200, 5, 0));
  return rig;
}

struct TScene {
  std::vector<TRasterPoint> Points;
  std::vector<cv::Point3d> Truth;
};

// 80 x 120 points on a wall at 700 mm with a sphere of 60 mm radius before it;
// Gaussian reading noise of CameraPx and ProjectorPx (standard deviation per axis).
TScene Scene(double CameraPx, double ProjectorPx) {
  const TRigGeometry rig = Rig();
  TScene scene;
  for (int r = 0; r < 80; ++r)
    for (int c = 0; c < 120; ++c) {
      const double x = -150 + 300.0 * c / 119, y = -110 + 220.0 * r / 79;
      const double d2 = x * x + y * y;
      const double z = d2 < 3600 ? 640 - std::sqrt(3600 - d2) : 700;
      scene.Truth.emplace_back(x * z / 700, y * z / 700, z);
    }
  std::vector<cv::Point2d> camera, projector;
  cv::Vec3d rotation;
  cv::Rodrigues(rig.ProjectorFromCamera, rotation);
  cv::projectPoints(scene.Truth, cv::Vec3d(), cv::Vec3d(), rig.Camera.Matrix, rig.Camera.Distortion,
                    camera);
  cv::projectPoints(scene.Truth, rotation, rig.ProjectorFromCameraMm, rig.Projector.Matrix,
                    rig.Projector.Distortion, projector);
  std::mt19937 random(5);
  std::normal_distribution<double> cameraNoise(0, CameraPx), projectorNoise(0, ProjectorPx);
  for (std::size_t i = 0; i < camera.size(); ++i)
    scene.Points.push_back(
        {int(i) + 1, int(i) / 120, int(i) % 120,
         camera[i] + cv::Point2d(cameraNoise(random), cameraNoise(random)),
         projector[i] + cv::Point2d(projectorNoise(random), projectorNoise(random)), 128});
  return scene;
}

void Place(benchmark::State& State, TTriangulation Method, double ProjectorPx) {
  // 0.05 px median radial error from a Gaussian of 0.042 px per axis.
  const TScene scene = Scene(0.042, ProjectorPx);
  const TRigGeometry rig = Rig();
  std::vector<TCloudPoint> cloud;
  for (auto _ : State) {
    cloud = PlaceRasterPoints(rig, scene.Points, {Method});
    benchmark::DoNotOptimize(cloud.data());
  }
  std::vector<double> errors;
  for (std::size_t i = 0; i < cloud.size(); ++i)
    errors.push_back(
        cv::norm(cv::Point3d(cloud[i].CameraMm) - scene.Truth[std::size_t(cloud[i].Number - 1)]));
  std::sort(errors.begin(), errors.end());
  State.counters["points"] = double(cloud.size());
  State.counters["marked"] = SummariseCloud(cloud).Marked;
  State.counters["median_um"] = 1000 * errors[errors.size() / 2];
  State.counters["p95_um"] = 1000 * errors[errors.size() * 95 / 100];
}

void Triangulate(benchmark::State& State, TTriangulation Method) {
  const TScene scene = Scene(0.042, 0);
  std::vector<cv::Point2d> camera, projector;
  for (const TRasterPoint& p : scene.Points) {
    camera.push_back(p.CameraPx);
    projector.push_back(p.ProjectorPx);
  }
  const TRigGeometry rig = Rig();
  for (auto _ : State) benchmark::DoNotOptimize(TriangulatePixels(rig, camera, projector, Method));
}

}  // namespace

// Triangulation alone, then with marking, exact projector pixels, then with
// projector pixels as uncertain as the camera's readings.
BENCHMARK_CAPTURE(Triangulate, ProjectorRay, TTriangulation::ProjectorRay)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Triangulate, Midpoint, TTriangulation::Midpoint)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Place, ProjectorRay, TTriangulation::ProjectorRay, 0.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Place, Midpoint, TTriangulation::Midpoint, 0.0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Place, ProjectorRayNoisyProjector, TTriangulation::ProjectorRay, 0.042)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Place, MidpointNoisyProjector, TTriangulation::Midpoint, 0.042)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
