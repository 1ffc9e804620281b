#include "geometry/Calibrate.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <ctime>
#include <map>
#include <opencv2/calib3d.hpp>
#include <optional>

#include "geometry/RefineCalibration.h"

namespace {

std::string SizeText(cv::Size Size) {
  return std::to_string(Size.width) + " x " + std::to_string(Size.height);
}

std::vector<double> Values(const cv::Mat& Matrix, std::size_t Count) {
  std::vector<double> values;
  if (Matrix.empty()) return values;
  cv::Mat(Matrix.reshape(1, int(Matrix.total()))).convertTo(values, CV_64F);
  if (values.size() > Count) values.resize(Count);
  return values;
}

// The view's corners on one side: board points and image points, one to one.
struct TSide {
  std::vector<std::vector<cv::Point3f>> Board;
  std::vector<std::vector<cv::Point2f>> Image;
};

const cv::TermCriteria Precise(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, DBL_EPSILON);

struct TSideResult {
  double Rms = 0;
  cv::Mat Matrix, Distortion, Deviations, ViewErrors;
  std::vector<cv::Mat> Rotations, Translations;
};

TSideResult CalibrateSide(const TSide& Side, cv::Size Size, int Flags) {
  TSideResult result;
  cv::Mat extrinsic;
  result.Rms = cv::calibrateCamera(Side.Board, Side.Image, Size, result.Matrix, result.Distortion,
                                   result.Rotations, result.Translations, result.Deviations,
                                   extrinsic, result.ViewErrors, Flags, Precise);
  return result;
}

TCameraModel Model(const TSideResult& Side, cv::Size Size) {
  TCameraModel model;
  model.Size = Size;
  model.Matrix = cv::Matx33d(Side.Matrix);
  model.Distortion = Values(Side.Distortion, 5);
  return model;
}

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
  return text;
}

}  // namespace

int TCalibrationView::ProjectorCornerCount() const {
  return int(std::count_if(ProjectorCorners.begin(), ProjectorCorners.end(), Known));
}

std::string TCalibrationView::Summary() const {
  if (!Problem.empty()) return "nepoužitelný: " + Problem;
  return std::to_string(Corners.size()) + " rohů desky, " + std::to_string(BoardPoints) +
         " bodů na desce, " + std::to_string(ProjectorCornerCount()) + " rohů v projektoru";
}

std::string TCalibrationOptions::Problem() const {
  if (const std::string problem = Homography.Problem(); !problem.empty()) return problem;
  if (MinViews < 3) return "at least 3 views are needed";
  if (MinProjectorCorners < 6) return "at least 6 projector corners per view are needed";
  if (ProjectorSize.width < 1 || ProjectorSize.height < 1) return "no projector size";
  return {};
}

TCalibrationOutcome Calibrate(const std::vector<TCalibrationView>& Views, const TBoard& Board,
                              const TCalibrationOptions& Options) {
  TCalibrationOutcome outcome;
  const std::size_t count = Views.size();
  outcome.CameraRotations.assign(count, {});
  outcome.CameraTranslations.assign(count, {});
  outcome.ProjectorRotations.assign(count, {});
  outcome.ProjectorTranslations.assign(count, {});
  auto refuse = [&](std::string Reason) {
    outcome.Findings.insert(outcome.Findings.begin(), std::move(Reason));
    outcome.Calibration.reset();
    return outcome;
  };
  if (const std::string problem = Options.Problem(); !problem.empty())
    return refuse("Nastavení kalibrace nelze použít: " + problem);

  // The photo size most views share is the calibration's; another is left out by name.
  std::map<std::pair<int, int>, int> sizes;
  for (const TCalibrationView& view : Views)
    if (view.Problem.empty() && view.Corners.size() == std::size_t(Board.Corners()))
      ++sizes[{view.PhotoSize.width, view.PhotoSize.height}];
  cv::Size photo;
  int most = 0;
  for (const auto& [size, views] : sizes)
    if (views > most) most = views, photo = cv::Size(size.first, size.second);

  const std::vector<cv::Point3f> points = Board.Points();
  TSide camera, projector, stereoCamera;
  for (std::size_t v = 0; v < count; ++v) {
    const TCalibrationView& view = Views[v];
    if (!view.Problem.empty() || view.Corners.size() != points.size()) continue;
    if (view.PhotoSize != photo) {
      outcome.Findings.push_back("Pohled " + view.Name + " vynechán: snímek má " +
                                 SizeText(view.PhotoSize) + " pixelů, ostatní " + SizeText(photo));
      continue;
    }
    outcome.CameraViews.push_back(int(v));
    camera.Board.push_back(points);
    camera.Image.push_back(view.Corners);
    if (view.ProjectorCorners.size() != points.size() ||
        view.ProjectorCornerCount() < Options.MinProjectorCorners)
      continue;
    outcome.ProjectorViews.push_back(int(v));
    projector.Board.emplace_back();
    projector.Image.emplace_back();
    stereoCamera.Image.emplace_back();
    for (std::size_t i = 0; i < points.size(); ++i)
      if (Known(view.ProjectorCorners[i])) {
        projector.Board.back().push_back(points[i]);
        projector.Image.back().push_back(view.ProjectorCorners[i]);
        stereoCamera.Image.back().push_back(view.Corners[i]);
      }
  }
  if (int(outcome.CameraViews.size()) < Options.MinViews)
    return refuse("Kalibrace nemá dost pohledů: deska je nalezena v " +
                  std::to_string(outcome.CameraViews.size()) + " z " + std::to_string(count) +
                  ", potřeba je aspoň " + std::to_string(Options.MinViews) +
                  " (s deskou různě nakloněnou)");
  if (int(outcome.ProjectorViews.size()) < Options.MinViews)
    return refuse("Kalibrace projektoru nemá dost pohledů: rohy desky v projektoru má jen " +
                  std::to_string(outcome.ProjectorViews.size()) + " pohledů z " +
                  std::to_string(outcome.CameraViews.size()) + ", potřeba je aspoň " +
                  std::to_string(Options.MinViews) +
                  " (deska musí být osvětlena body rastru a body přečteny)");

  TSideResult cameraSide, projectorSide;
  cv::Mat rotation, translation, essential, fundamental, stereoErrors;
  double stereoRms = 0;
  try {
    cameraSide = CalibrateSide(camera, photo, Options.CameraFlags);
    projectorSide = CalibrateSide(projector, Options.ProjectorSize, Options.ProjectorFlags);
    stereoRms = cv::stereoCalibrate(
        projector.Board, stereoCamera.Image, projector.Image, cameraSide.Matrix,
        cameraSide.Distortion, projectorSide.Matrix, projectorSide.Distortion, photo, rotation,
        translation, essential, fundamental, stereoErrors, cv::CALIB_FIX_INTRINSIC, Precise);
  } catch (const cv::Exception& exception) {
    return refuse("Kalibraci nelze spočítat: " + exception.msg);
  }

  TCalibration calibration;
  calibration.Rig.Camera = Model(cameraSide, photo);
  calibration.Rig.Projector = Model(projectorSide, Options.ProjectorSize);
  calibration.Rig.ProjectorFromCamera = cv::Matx33d(rotation);
  calibration.Rig.ProjectorFromCameraMm = cv::Vec3d(translation);
  // The board's corners alone leave the focal lengths a few hundredths of a per cent and the
  // centres about a pixel loose; the thousands of points on each board narrow both.
  std::vector<TRefineView> refine;
  // Per camera view, its place in refine when the projector also used it.
  std::vector<std::optional<std::size_t>> refinedAt(outcome.CameraViews.size());
  for (std::size_t k = 0; k < outcome.CameraViews.size(); ++k) {
    const TCalibrationView& view = Views[std::size_t(outcome.CameraViews[k])];
    if (std::find(outcome.ProjectorViews.begin(), outcome.ProjectorViews.end(),
                  outcome.CameraViews[k]) == outcome.ProjectorViews.end())
      continue;
    refine.push_back({view.Corners, view.OnBoard, cv::Vec3d(cameraSide.Rotations[k]),
                      cv::Vec3d(cameraSide.Translations[k])});
    refinedAt[k] = refine.size() - 1;
  }
  TRigGeometry refined = calibration.Rig;
  const TRefineResult refinement = RefineCalibration(refined, refine, Board);
  // Taken only when it kept to the corners as OpenCV's fit did, with every view's points.
  const bool refinedWell = refinement.Refined && int(refine.size()) >= Options.MinViews &&
                           std::isfinite(refinement.PointRms) &&
                           refinement.CornerRms <= 1.5 * cameraSide.Rms + 0.05;
  if (refinedWell) {
    calibration.Rig = refined;
    calibration.RefinedPoints = refinement.Points;
    calibration.PointRms = refinement.PointRms;
  }
  calibration.CameraRms = cameraSide.Rms;
  calibration.ProjectorRms = projectorSide.Rms;
  calibration.StereoRms = stereoRms;
  calibration.CameraDeviations = Values(cameraSide.Deviations, 9);
  calibration.ProjectorDeviations = Values(projectorSide.Deviations, 9);
  // Per view used by the camera; the projector's and the pair's NaN where a view had too few
  // corners.
  std::vector<double> cameraErrors = Values(cameraSide.ViewErrors, count);
  std::vector<double> projectorErrors = Values(projectorSide.ViewErrors, count);
  // The pair's error per view: the camera's and the projector's, as OpenCV gives them.
  std::vector<double> stereoErrorsList = Values(stereoErrors, 2 * count);
  for (std::size_t k = 0; k < outcome.CameraViews.size(); ++k) {
    const TCalibrationView& view = Views[std::size_t(outcome.CameraViews[k])];
    calibration.Views.push_back(view.Name);
    calibration.CameraSettings.push_back(view.Settings);
    calibration.CameraViewErrors.push_back(cameraErrors[k]);
    outcome.CameraRotations[std::size_t(outcome.CameraViews[k])] =
        cv::Vec3d(cameraSide.Rotations[k]);
    outcome.CameraTranslations[std::size_t(outcome.CameraViews[k])] =
        cv::Vec3d(cameraSide.Translations[k]);
    const auto used = std::find(outcome.ProjectorViews.begin(), outcome.ProjectorViews.end(),
                                outcome.CameraViews[k]);
    if (used == outcome.ProjectorViews.end()) {
      calibration.ProjectorViewErrors.push_back(NAN);
      calibration.StereoViewErrors.push_back(NAN);
      continue;
    }
    const std::size_t p = std::size_t(used - outcome.ProjectorViews.begin());
    calibration.ProjectorViewErrors.push_back(projectorErrors[p]);
    const double a = stereoErrorsList[2 * p], b = stereoErrorsList[2 * p + 1];
    calibration.StereoViewErrors.push_back(std::sqrt(0.5 * (a * a + b * b)));
    outcome.ProjectorRotations[std::size_t(*used)] = cv::Vec3d(projectorSide.Rotations[p]);
    outcome.ProjectorTranslations[std::size_t(*used)] = cv::Vec3d(projectorSide.Translations[p]);
  }
  if (refinedWell) {
    // The boards' poses as the refined lenses see them: each refined view's own, the
    // projector's through the pair; a view of the camera's alone solved again.
    const TRigGeometry& rig = calibration.Rig;
    for (std::size_t k = 0; k < outcome.CameraViews.size(); ++k) {
      const std::size_t v = std::size_t(outcome.CameraViews[k]);
      if (!refinedAt[k]) {
        cv::Vec3d turn = outcome.CameraRotations[v], shift = outcome.CameraTranslations[v];
        if (cv::solvePnP(points, Views[v].Corners, rig.Camera.Matrix, rig.Camera.Distortion, turn,
                         shift, true))
          outcome.CameraRotations[v] = turn, outcome.CameraTranslations[v] = shift;
        continue;
      }
      const TRefineView& one = refine[*refinedAt[k]];
      outcome.CameraRotations[v] = one.Rotation;
      outcome.CameraTranslations[v] = one.Translation;
      cv::Matx33d board;
      cv::Rodrigues(one.Rotation, board);
      cv::Vec3d turn;
      cv::Rodrigues(rig.ProjectorFromCamera * board, turn);
      outcome.ProjectorRotations[v] = turn;
      outcome.ProjectorTranslations[v] =
          rig.ProjectorFromCamera * one.Translation + rig.ProjectorFromCameraMm;
    }
  }
  calibration.Board = Board;
  calibration.Date = Now();
  calibration.OpenCvVersion = CV_VERSION;
  outcome.Calibration = std::move(calibration);
  JudgeCalibration(Views, Board, Options, outcome);
  return outcome;
}

std::string CalibrationMismatch(const TRigGeometry& Calibration, cv::Size PhotoSize,
                                cv::Size ProjectorSize) {
  std::string mismatch;
  if (PhotoSize != Calibration.Camera.Size)
    mismatch = "snímky mají " + SizeText(PhotoSize) + " pixelů, kalibrace " +
               SizeText(Calibration.Camera.Size);
  if (ProjectorSize != Calibration.Projector.Size)
    mismatch += (mismatch.empty() ? "" : "; ") + std::string("projekce má ") +
                SizeText(ProjectorSize) + " pixelů, kalibrace " +
                SizeText(Calibration.Projector.Size);
  return mismatch;
}
