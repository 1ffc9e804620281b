#include "sdk/sim/SimMapping.h"

namespace {

// Corners of the projector frame in the camera frame, as fractions of the camera's
// width and height: top-left, top-right, bottom-right, bottom-left.
constexpr double Corners[4][2] = {{0.06, 0.08}, {0.95, 0.05}, {0.93, 0.94}, {0.08, 0.91}};

QPointF Apply(const double* M, double X, double Y) {
  const double w = M[6] * X + M[7] * Y + M[8];
  return {(M[0] * X + M[1] * Y + M[2]) / w, (M[3] * X + M[4] * Y + M[5]) / w};
}

}  // namespace

TSimMapping::TSimMapping(int FrameWidth, int FrameHeight, int CameraWidth, int CameraHeight) {
  double x[4], y[4];
  for (int i = 0; i < 4; ++i) {
    x[i] = Corners[i][0] * CameraWidth;
    y[i] = Corners[i][1] * CameraHeight;
  }
  // The unit square onto the quadrilateral (corners 0..3 = (0,0), (1,0), (1,1), (0,1)).
  const double dx1 = x[1] - x[2], dx2 = x[3] - x[2], dx3 = x[0] - x[1] + x[2] - x[3];
  const double dy1 = y[1] - y[2], dy2 = y[3] - y[2], dy3 = y[0] - y[1] + y[2] - y[3];
  const double det = dx1 * dy2 - dx2 * dy1;
  const double g = (dx3 * dy2 - dx2 * dy3) / det;
  const double h = (dx1 * dy3 - dx3 * dy1) / det;
  const double square[9] = {x[1] - x[0] + g * x[1],
                            x[3] - x[0] + h * x[3],
                            x[0],
                            y[1] - y[0] + g * y[1],
                            y[3] - y[0] + h * y[3],
                            y[0],
                            g,
                            h,
                            1.0};
  // Then projector pixels onto the unit square: scale the first two columns.
  double* F = ForwardMatrix;
  for (int row = 0; row < 3; ++row) {
    F[row * 3 + 0] = square[row * 3 + 0] / FrameWidth;
    F[row * 3 + 1] = square[row * 3 + 1] / FrameHeight;
    F[row * 3 + 2] = square[row * 3 + 2];
  }
  // Adjugate: the inverse up to a scale, which homogeneous coordinates ignore.
  double* I = InverseMatrix;
  I[0] = F[4] * F[8] - F[5] * F[7];
  I[1] = F[2] * F[7] - F[1] * F[8];
  I[2] = F[1] * F[5] - F[2] * F[4];
  I[3] = F[5] * F[6] - F[3] * F[8];
  I[4] = F[0] * F[8] - F[2] * F[6];
  I[5] = F[2] * F[3] - F[0] * F[5];
  I[6] = F[3] * F[7] - F[4] * F[6];
  I[7] = F[1] * F[6] - F[0] * F[7];
  I[8] = F[0] * F[4] - F[1] * F[3];
}

QPointF TSimMapping::ToCamera(double X, double Y) const {
  return Apply(ForwardMatrix, X, Y);
}

QPointF TSimMapping::ToProjector(double X, double Y) const {
  return Apply(InverseMatrix, X, Y);
}
