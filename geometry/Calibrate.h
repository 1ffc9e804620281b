#pragma once

// Calibration of the camera, the projector and the pair from views of a
// printed board: plain values in, a calibration and findings out.

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "geometry/BoardCorners.h"
#include "geometry/CalibrationFile.h"

// One view: a scan of the board.
struct TCalibrationView {
  std::string Name;      // the scan's folder, as given
  std::string LitPhoto;  // the lit-field photo's path
  cv::Size PhotoSize;
  // Per board corner (TBoard::Points()'s order): camera pixels, empty when no
  // board was found; projector pixels, NaN where the corner's fit failed.
  std::vector<cv::Point2f> Corners, ProjectorCorners;
  TBoardMissing Missing = TBoardMissing::None;
  // Coded points read on the board's printed squares (to a square past its outer corners).
  int BoardPoints = 0;
  std::vector<TDecodedPoint> OnBoard;
  // The camera's settings at the scan's start and changes during it, as its check recorded them.
  std::string Settings;
  std::vector<std::string> SettingChanges;
  // Why the view cannot be used, in the operator's words; empty when it can.
  std::string Problem;

  int ProjectorCornerCount() const;
  // "54 rohů desky, 2710 bodů na desce, 52 rohů v projektoru", or why the view is unusable.
  std::string Summary() const;
};

// A corner's projector place is taken only from a view with at least this many such corners.
struct TCalibrationOptions {
  THomographyOptions Homography;
  int MinViews = 4;
  int MinProjectorCorners = 10;
  // OpenCV's calibrateCamera flags for each side.
  int CameraFlags = 0, ProjectorFlags = 0;
  // The projection bitmap, pixels.
  cv::Size ProjectorSize;
  // Board normals less than this far apart in every pair of views are too little tilt, degrees.
  double MinTiltDegrees = 10;

  std::string Problem() const;
};

struct TCalibrationOutcome {
  // nullopt when the views cannot give one.
  std::optional<TCalibration> Calibration;
  // What is wrong or doubtful, in the operator's words; the reason first when refused.
  std::vector<std::string> Findings;
  // Views (indexes into the views given) that went into the camera's
  // calibration, and of those the ones that went into the projector's and the pair's.
  std::vector<int> CameraViews, ProjectorViews;
  // Per view given: the board's pose seen from the camera and from the projector
  // (rotation vector, mm); zero where the view was not used on that side.
  std::vector<cv::Vec3d> CameraRotations, CameraTranslations;
  std::vector<cv::Vec3d> ProjectorRotations, ProjectorTranslations;
};

// Calibrates the camera from every usable view, the projector from those with
// enough projector corners, then the pair with both fixed; then refines all of
// it by the coded points read on the boards of the projector's views.
TCalibrationOutcome Calibrate(const std::vector<TCalibrationView>& Views, const TBoard& Board,
                              const TCalibrationOptions& Options);

// Adds to Outcome what the operator should know of its views: too little tilt,
// little of the photo covered, a setting or the lens changed between views, a
// projector error far above the camera's.
void JudgeCalibration(const std::vector<TCalibrationView>& Views, const TBoard& Board,
                      const TCalibrationOptions& Options, TCalibrationOutcome& Outcome);

// Empty when a photo of PhotoSize and a projection of ProjectorSize fit
// Calibration, else what differs in the operator's words.
std::string CalibrationMismatch(const TRigGeometry& Calibration, cv::Size PhotoSize,
                                cv::Size ProjectorSize);
