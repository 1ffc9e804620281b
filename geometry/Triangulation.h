#pragma once

// From a pixel seen by the camera and the projector pixel that lit it to a
// point in space: undistortion, the two rays, their meeting point and how well
// it fits. Pixels: origin at the centre of the top-left pixel; millimetres in
// camera coordinates.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/CameraModel.h"

// Empty when Model's distortion is one this code inverts (none, or OpenCV's 4,
// 5, 8, 12 terms, or 14 without the sensor's tilt), else why not, in the operator's words.
std::string DistortionProblem(const TCameraModel& Model);

// Normalised image coordinates (x/z, y/z) to Model's pixels, with its distortion.
cv::Point2d DistortedPixel(const TCameraModel& Model, const cv::Point2d& Normalised);

// The normalised image coordinates that Model's lens shows at Pixel: the
// distortion inverted by Newton's method until it maps the result back to
// within 1e-9 pixels. False when it does not converge (far outside the lens's
// field, where the distortion polynomial folds back).
bool UndistortPixel(const TCameraModel& Model, const cv::Point2d& Pixel, cv::Point2d& Normalised);

// How the meeting point of the two rays is chosen.
enum class TTriangulation {
  // Half way between the rays where they pass closest.
  Midpoint,
  // On the projector's ray, where it comes closest to the camera's reading in
  // the camera's (undistorted) pixels: the most likely point when the error lies
  // in the camera's reading and the projector's pixel is exact, as a raster
  // point's centre is.
  ProjectorRay,
};

struct TTriangulated {
  bool Placed = false;          // the rays meet in front of camera and projector
  cv::Point3d CameraMm;         // the point, camera coordinates
  double RayGapMm = 0;          // the rays' distance where they pass closest
  double CameraErrorPx = 0;     // the point projected back, against the camera's reading
  double ProjectorErrorPx = 0;  // the same in the projector
};

// One point per pair of camera and projector pixels (same order, same count).
std::vector<TTriangulated> TriangulatePixels(const TRigGeometry& Rig,
                                             const std::vector<cv::Point2d>& CameraPx,
                                             const std::vector<cv::Point2d>& ProjectorPx,
                                             TTriangulation Method = TTriangulation::ProjectorRay);

// Where a point in camera coordinates lands on each side, pixels; false behind either.
bool ProjectCameraPoint(const TRigGeometry& Rig, const cv::Point3d& CameraMm, cv::Point2d& CameraPx,
                        cv::Point2d& ProjectorPx);
