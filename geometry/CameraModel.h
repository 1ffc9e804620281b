#pragma once

// The camera and the projector as pinholes with lens distortion, and the pair
// in space. Pixels: origin at the centre of the top-left pixel; millimetres;
// camera coordinates x right, y down, z forward.

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

// One pinhole: the camera's photo or the projector's bitmap.
struct TCameraModel {
  cv::Size Size;       // pixels
  cv::Matx33d Matrix;  // fx 0 cx / 0 fy cy / 0 0 1, pixels
  // k1 k2 p1 p2 [k3 ...] in OpenCV's order; empty for a lens without distortion.
  std::vector<double> Distortion;
};

// The camera and the projector, and where the projector stands from the camera.
struct TRigGeometry {
  TCameraModel Camera, Projector;
  // Take camera coordinates to projector coordinates: Xp = R * Xc + t.
  cv::Matx33d ProjectorFromCamera = cv::Matx33d::eye();
  cv::Vec3d ProjectorFromCameraMm;

  // Distance between the two centres, mm.
  double BaselineMm() const { return cv::norm(ProjectorFromCameraMm); }
};

// A printed checkerboard: inner corners across and down, and a square's side.
struct TBoard {
  int Columns = 9, Rows = 6;
  double SquareMm = 25;

  int Corners() const { return Columns * Rows; }
  // (columns, rows), as OpenCV's corner finders want it.
  cv::Size PatternSize() const { return {Columns, Rows}; }
  // Corner i (row-major, as OpenCV orders them) on the board's plane z = 0, mm.
  std::vector<cv::Point3f> Points() const;
  // "9x6:25"
  std::string Text() const;
  // COLUMNSxROWS:SQUARE_MM with at least 3 x 2 corners (either way round) and a
  // square from 1 to 1000 mm; nullopt otherwise.
  static std::optional<TBoard> Parse(const std::string& Text);
};
