#pragma once

#include <QPointF>

// Where the simulated camera sees the projector's picture: a fixed mild
// perspective that throws the projector frame onto most of the camera frame,
// as a camera on a tripod slightly off the projector's axis would see it.
// Coordinates are continuous: pixel (c, r) covers [c, c+1) x [r, r+1), so its
// centre is (c + 0.5, r + 0.5). At 1016 x 734 onto 2048 x 1536 one projector
// pixel spans 1.7 to 1.9 camera pixels.
class TSimMapping {
 public:
  TSimMapping(int FrameWidth, int FrameHeight, int CameraWidth, int CameraHeight);

  // The camera point that shows projector point (X, Y).
  QPointF ToCamera(double X, double Y) const;
  // The camera point that shows the centre of projector pixel (Column, Row).
  QPointF PixelCentreToCamera(int Column, int Row) const {
    return ToCamera(Column + 0.5, Row + 0.5);
  }
  // The projector point seen at camera point (X, Y).
  QPointF ToProjector(double X, double Y) const;

  // Row-major 3x3 matrices on homogeneous coordinates.
  const double* Forward() const { return ForwardMatrix; }
  const double* Inverse() const { return InverseMatrix; }

 private:
  double ForwardMatrix[9];
  double InverseMatrix[9];
};
