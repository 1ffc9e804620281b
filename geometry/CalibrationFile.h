#pragma once

// The calibration file: OpenCV FileStorage YAML. The rig's truth file uses the
// same field names, so ReadCalibrationFile reads both.

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "geometry/CameraModel.h"

// A calibration with what it was made from and how well it fits.
struct TCalibration {
  TRigGeometry Rig;
  // Reprojection errors (root mean square), pixels; NaN when the file has none.
  double CameraRms = NAN, ProjectorRms = NAN, StereoRms = NAN;
  // The coded points read on the board that refined the pair, and their camera error (RMS,
  // pixels); 0 and NaN when none did.
  int RefinedPoints = 0;
  double PointRms = NAN;
  // The views used, and per view the errors above, in the same order.
  std::vector<std::string> Views;
  std::vector<double> CameraViewErrors, ProjectorViewErrors, StereoViewErrors;
  // Standard deviations of fx fy cx cy and the distortion terms, as calibrateCamera gives them.
  std::vector<double> CameraDeviations, ProjectorDeviations;
  std::optional<TBoard> Board;
  // The camera's settings during each view, as the scan's check recorded them.
  std::vector<std::string> CameraSettings;
  std::string Date, OpenCvVersion;
};

// Writes Calibration to Path (".yml"), stating units and frames in its header.
// False with Error naming the file when it cannot be written.
bool WriteCalibrationFile(const std::string& Path, const TCalibration& Calibration,
                          std::string* Error);

// Reads the geometry (camera_size, camera_matrix, camera_distortion,
// projector_size, projector_matrix, projector_distortion, rotation as a 3 x 3
// matrix or a rotation vector, translation in mm) and whatever else of the
// above the file holds. nullopt with Error naming the file and the field.
std::optional<TCalibration> ReadCalibrationFile(const std::string& Path, std::string* Error);
