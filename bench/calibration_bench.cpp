// Calibration against the simulated rig's truth: ten views of the board at two
// levels of blur and noise, each scanned as the station scans, calibrated as
// corvalet-calibrate does, and compared with the rig's rig.yml; the corners found
// in each view are compared with the board's true corners. Then a wall and a
// sphere scanned at the same blur and noise, their points placed with that
// calibration as a scan's end places them, against their true centres.
//
//   calibration_bench [--views N] [--keep DIR] [--true corners|points|both]
//
// --true replaces the board views' readings by the truth before calibrating: each
// corner by the board's true corner, each point read on the board by its true centre.
// The corners' places in the projector, which only start the fit, stay as read.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <opencv2/calib3d.hpp>
#include <string>
#include <vector>

#include "bench/Points3dTruth.h"
#include "check/ScanPoints3d.h"
#include "geometry/CalibrationRun.h"
#include "sdk/sim/SimConfig.h"
#include "tests/support/GridOrder.h"
#include "tests/support/SimScan.h"

namespace fs = std::filesystem;

namespace {

struct TCondition {
  double Blur, Noise;
};

double Seconds(std::chrono::steady_clock::duration Span) {
  return std::chrono::duration<double>(Span).count();
}

// Relative error of a focal length, per cent.
double FocalError(const TCameraModel& Found, const TCameraModel& Truth, int Axis) {
  return 100 * std::abs(Found.Matrix(Axis, Axis) / Truth.Matrix(Axis, Axis) - 1);
}

// The board's true corners in the photo of a scan, from its truth file, in the order of
// Found (the search may begin at either end of the grid); empty when the counts differ.
std::vector<cv::Point2f> TrueCorners(const std::string& File,
                                     const std::vector<cv::Point2f>& Found) {
  cv::FileStorage file(File, cv::FileStorage::READ);
  cv::Mat corners;
  if (file.isOpened()) file["corners"] >> corners;
  std::vector<cv::Point2f> points;
  for (int i = 0; i < corners.rows; ++i)
    points.emplace_back(cv::Point2d(corners.at<cv::Vec2d>(i)[0], corners.at<cv::Vec2d>(i)[1]));
  if (points.size() != Found.size() || points.empty()) return {};
  return InFoundOrder(points, Found);
}

// Sum of squared distances of Found from Truth (in its order); NaN without a truth.
double SquaredError(const std::vector<cv::Point2f>& Found, const std::vector<cv::Point2f>& Truth) {
  if (Found.size() != Truth.size() || Found.empty()) return std::nan("");
  double sum = 0;
  for (std::size_t i = 0; i < Found.size(); ++i)
    sum += (Found[i] - Truth[i]).dot(Found[i] - Truth[i]);
  return sum;
}

// A view's readings replaced by the truth: its corners by the board's true corners, each
// point by its true centre (the nearest within 3 px).
void UseTrueReadings(TCalibrationView& View, const std::string& BoardTruth, bool Corners,
                     bool Points) {
  if (Corners) {
    std::vector<cv::Point2f> corners = TrueCorners(BoardTruth, View.Corners);
    if (corners.empty())
      std::fprintf(stderr, "%s: no true corners for %s, its readings kept\n", BoardTruth.c_str(),
                   View.Name.c_str());
    else
      View.Corners = std::move(corners);
  }
  if (!Points) return;
  const auto truth = ReadPointTruth(
      BoardTruth.substr(0, BoardTruth.size() - std::strlen("board.yml")) + "truth.csv");
  if (truth.empty())
    std::fprintf(stderr, "%s: no true points, the points' readings kept\n", BoardTruth.c_str());
  for (TDecodedPoint& point : View.OnBoard) {
    double best = 3;
    cv::Point2d nearest = point.Camera;
    for (const auto& [number, one] : truth)
      if (cv::norm(one.Photo - cv::Point2d(point.Camera)) < best)
        best = cv::norm(one.Photo - cv::Point2d(point.Camera)), nearest = one.Photo;
    point.Camera = nearest;
  }
}

double CentreError(const TCameraModel& Found, const TCameraModel& Truth) {
  return std::hypot(Found.Matrix(0, 2) - Truth.Matrix(0, 2),
                    Found.Matrix(1, 2) - Truth.Matrix(1, 2));
}

}  // namespace

// The scene Config scanned into Dir with its truth beside, its points placed by
// Calibration (written in CalibrationFile): a row against the truth.
std::string PlaceScene(const fs::path& Dir, const std::string& Config,
                       const TCalibration& Calibration, const std::string& CalibrationFile) {
  std::string error;
  const fs::path truth = Dir / "truth";
  const auto parsed = ParseSimConfig(Config + ",truth=" + truth.string(), &error);
  if (!parsed) return "| " + Config + ": " + error + " |";
  TSimScanSetup setup;
  setup.Optics = parsed->Optics;
  setup.Stage = parsed->Stage;
  setup.TruthDir = parsed->TruthDir;
  setup.Seed = 104729;
  fs::create_directories(Dir);
  const TSimScan scan = WriteSimScan(Dir.string(), setup);
  const TCheckRaster raster{scan.OffsetX, scan.OffsetY, scan.Rows,
                            scan.Columns, scan.Size,    scan.Spacing};
  const auto check = CheckScanFolder(Dir.string(), raster, &error);
  const auto cloud =
      check ? PlaceScanPoints(*check, Calibration, CalibrationFile, &error) : std::nullopt;
  if (!cloud) return "| " + Config + ": " + error + " |";
  const std::string photo = scan.Names[2];
  return Points3dTruthRow(*cloud,
                          (truth / (photo.substr(0, photo.rfind('.')) + "-truth.csv")).string());
}

int main(int argc, char** argv) {
  int views = 10;
  std::string keep;
  std::string trueReadings;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--views") && i + 1 < argc)
      views = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc)
      keep = argv[++i];
    else if (!std::strcmp(argv[i], "--true") && i + 1 < argc &&
             (!std::strcmp(argv[i + 1], "corners") || !std::strcmp(argv[i + 1], "points") ||
              !std::strcmp(argv[i + 1], "both")))
      trueReadings = argv[++i];
    else {
      std::fprintf(stderr, "usage: %s [--views N] [--keep DIR] [--true corners|points|both]\n",
                   argv[0]);
      return 2;
    }
  }
  const fs::path root =
      keep.empty() ? fs::temp_directory_path() / "corvalet-calibration-bench" : fs::path(keep);
  std::printf(
      "| blur, noise | camera fx, fy | camera centre | projector fx, fy | projector centre | "
      "baseline | rotation | camera_rms | projector_rms | stereo_rms | corners vs truth | "
      "scans read | calibration |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::vector<std::string> placed;
  for (const TCondition condition : {TCondition{1, 4}, TCondition{2, 8}}) {
    char name[64];
    std::snprintf(name, sizeof name, "blur%g-noise%g", condition.Blur, condition.Noise);
    const fs::path dir = root / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> dirs, truths;
    for (int pose = 1; pose <= views; ++pose) {
      char viewName[32];
      std::snprintf(viewName, sizeof viewName, "pohled-%02d", pose);
      // Each view's truth apart: the scans' photos bear the same names.
      const std::string truth = (dir / "truth" / viewName).string();
      char config[256];
      std::snprintf(config, sizeof config,
                    "scene=board,board=9x6:25,pose=%d,blur=%g,noise=%g,truth=%s", pose,
                    condition.Blur, condition.Noise, truth.c_str());
      std::string error;
      const auto parsed = ParseSimConfig(config, &error);
      if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", config, error.c_str());
        return 1;
      }
      TSimScanSetup setup;
      setup.Optics = parsed->Optics;
      setup.Stage = parsed->Stage;
      setup.TruthDir = parsed->TruthDir;
      setup.Seed = std::uint32_t(pose * 7919);
      const fs::path viewDir = dir / viewName;
      fs::create_directories(viewDir);
      dirs.push_back(viewDir.string());
      const std::string photo = WriteSimScan(viewDir.string(), setup).Names[2];
      truths.push_back(truth + "/" + photo.substr(0, photo.rfind('.')) + "-board.yml");
    }
    std::string error;
    const auto rig =
        ReadCalibrationFile((fs::path(truths[0]).parent_path() / "rig.yml").string(), &error);
    if (!rig) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    TCalibrationOptions options;
    options.ProjectorSize = rig->Rig.Projector.Size;
    const auto start = std::chrono::steady_clock::now();
    std::vector<TCalibrationView> read;
    for (const std::string& view : dirs) {
      auto one = ReadCalibrationView(view, TBoard{9, 6, 25}, options.Homography, &error);
      if (!one) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      if (!trueReadings.empty())
        UseTrueReadings(*one, truths[read.size()], trueReadings != "points",
                        trueReadings != "corners");
      read.push_back(std::move(*one));
    }
    const auto readDone = std::chrono::steady_clock::now();
    // Fitting the corners again would put found corners in the true ones' place.
    const TCalibrationOutcome outcome = trueReadings == "corners" || trueReadings == "both"
                                            ? Calibrate(read, TBoard{9, 6, 25}, options)
                                            : CalibrateFromPhotos(read, TBoard{9, 6, 25}, options);
    const auto end = std::chrono::steady_clock::now();
    double squares = 0;
    int corners = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
      const double one = SquaredError(read[i].Corners, TrueCorners(truths[i], read[i].Corners));
      std::fprintf(stderr, "%s: %s, corners %.3f px rms from the truth\n", dirs[i].c_str(),
                   read[i].Summary().c_str(), std::sqrt(one / double(read[i].Corners.size())));
      if (std::isfinite(one)) squares += one, corners += int(read[i].Corners.size());
    }
    for (const std::string& finding : outcome.Findings)
      std::fprintf(stderr, "! %s\n", finding.c_str());
    if (!outcome.Calibration) return 1;
    const TCalibration& found = *outcome.Calibration;
    const TRigGeometry& t = rig->Rig;
    cv::Vec3d turn;
    cv::Rodrigues(found.Rig.ProjectorFromCamera * t.ProjectorFromCamera.t(), turn);
    std::printf(
        "| %g, %g | %.3f %%, %.3f %% | %.2f px | %.3f %%, %.3f %% | %.2f px | %.3f %% | %.4f° | "
        "%.3f px | %.3f px | %.3f px | %.3f px | %.1f s | %.2f s |\n",
        condition.Blur, condition.Noise, FocalError(found.Rig.Camera, t.Camera, 0),
        FocalError(found.Rig.Camera, t.Camera, 1), CentreError(found.Rig.Camera, t.Camera),
        FocalError(found.Rig.Projector, t.Projector, 0),
        FocalError(found.Rig.Projector, t.Projector, 1),
        CentreError(found.Rig.Projector, t.Projector),
        100 * std::abs(found.Rig.BaselineMm() / t.BaselineMm() - 1), cv::norm(turn) * 180 / CV_PI,
        found.CameraRms, found.ProjectorRms, found.StereoRms, std::sqrt(squares / corners),
        Seconds(readDone - start), Seconds(end - readDone));
    std::fflush(stdout);
    const std::string file = (dir / "kalibrace.yml").string();
    if (!WriteCalibrationFile(file, found, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    char scene[64];
    for (const char* kind : {"wall", "sphere"}) {
      std::snprintf(scene, sizeof scene, "scene=%s,blur=%g,noise=%g", kind, condition.Blur,
                    condition.Noise);
      placed.push_back("| " + std::string(kind) + " | " + name + " " +
                       PlaceScene(dir / kind, scene, found, file));
    }
    if (keep.empty()) fs::remove_all(dir);
  }
  std::printf("\n| scene | blur, noise %s\n|---|---|---|---|---|---|---|---|---|---|---|\n",
              Points3dTruthHeader);
  for (const std::string& row : placed) std::printf("%s\n", row.c_str());
  return 0;
}
