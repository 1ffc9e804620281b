#pragma once

// The calibration refined by every coded point read on the board: each point's
// projector pixel is exact, so its ray meets the board's plane at a place the
// camera must see where the check read it. Thousands of such points per view
// narrow the lenses and the pair beyond what the board's corners alone give;
// the corners keep the board's size in millimetres.

#include <opencv2/core.hpp>
#include <vector>

#include "geometry/BoardCorners.h"
#include "geometry/CameraModel.h"

struct TRefineView {
  // Per board corner (TBoard::Points()'s order), camera pixels.
  std::vector<cv::Point2f> Corners;
  // The coded points read on the board.
  std::vector<TDecodedPoint> Points;
  // The board's pose in camera coordinates (rotation vector, mm); refined in place.
  cv::Vec3d Rotation, Translation;
};

struct TRefineResult {
  bool Refined = false;
  // Root mean square of the corners' and the points' camera residuals, pixels.
  double CornerRms = 0, PointRms = 0;
  int Points = 0, PointsLeftOut = 0, Iterations = 0;
};

// Refines Rig (both lenses' matrices and distortion, the pair's pose) and each
// view's board pose by least squares over the corners and the points; nothing
// when a view's corners are not the board's. Terms of the distortion past the
// fifth are dropped. Points whose residual lies far beyond the rest (a
// point read off the board's plane) are left out after a first fit.
TRefineResult RefineCalibration(TRigGeometry& Rig, std::vector<TRefineView>& Views,
                                const TBoard& Board);
