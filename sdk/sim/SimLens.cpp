#include "sdk/sim/SimLens.h"

#include <cmath>

double Length(const TSimVec& A) {
  return std::sqrt(Dot(A, A));
}

TSimVec Normalized(const TSimVec& A) {
  return (1 / Length(A)) * A;
}

void TSimLens::Distort(double X, double Y, double& U, double& V) const {
  const double r2 = X * X + Y * Y;
  const double radial = 1 + r2 * (K1 + r2 * (K2 + r2 * K3));
  const double xd = X * radial + 2 * P1 * X * Y + P2 * (r2 + 2 * X * X);
  const double yd = Y * radial + P1 * (r2 + 2 * Y * Y) + 2 * P2 * X * Y;
  U = Fx * xd + Cx;
  V = Fy * yd + Cy;
}

bool TSimLens::Project(const TSimVec& P, double& U, double& V) const {
  if (!(P[2] > 0)) return false;
  Distort(P[0] / P[2], P[1] / P[2], U, V);
  return true;
}

void TSimLens::Undistort(double U, double V, double& X, double& Y, bool Seeded) const {
  const double tx = (U - Cx) / Fx, ty = (V - Cy) / Fy;
  if (!Seeded) X = tx, Y = ty;
  for (int pass = 0; pass < (Seeded ? 4 : 20); ++pass) {
    const double r2 = X * X + Y * Y;
    const double radial = 1 + r2 * (K1 + r2 * (K2 + r2 * K3));
    const double slope = K1 + r2 * (2 * K2 + 3 * K3 * r2);  // d radial / d r2
    const double ex = X * radial + 2 * P1 * X * Y + P2 * (r2 + 2 * X * X) - tx;
    const double ey = Y * radial + P1 * (r2 + 2 * Y * Y) + 2 * P2 * X * Y - ty;
    const double a = radial + 2 * X * X * slope + 2 * P1 * Y + 6 * P2 * X;
    const double b = 2 * X * Y * slope + 2 * P1 * X + 2 * P2 * Y;
    const double d = radial + 2 * Y * Y * slope + 6 * P1 * Y + 2 * P2 * X;
    const double det = a * d - b * b;
    const double dx = (d * ex - b * ey) / det, dy = (a * ey - b * ex) / det;
    X -= dx;
    Y -= dy;
    if (std::abs(dx) + std::abs(dy) < 1e-13) break;
  }
}

TSimVec TSimLens::Ray(double U, double V) const {
  double x = 0, y = 0;
  Undistort(U, V, x, y);
  return {x, y, 1};
}

TSimVec TSimPose::Apply(const TSimVec& X) const {
  return Turn(X) + Translation;
}

TSimVec TSimPose::Turn(const TSimVec& D) const {
  const auto& r = Rotation;
  return {r[0] * D[0] + r[1] * D[1] + r[2] * D[2], r[3] * D[0] + r[4] * D[1] + r[5] * D[2],
          r[6] * D[0] + r[7] * D[1] + r[8] * D[2]};
}

TSimPose TSimPose::Inverse() const {
  TSimPose inverse;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) inverse.Rotation[i * 3 + j] = Rotation[j * 3 + i];
  inverse.Translation = -1.0 * inverse.Turn(Translation);
  return inverse;
}

std::array<double, 9> TSimPose::AxisAngle(const TSimVec& Axis, double Angle) {
  const double c = std::cos(Angle), s = std::sin(Angle), t = 1 - c;
  const double x = Axis[0], y = Axis[1], z = Axis[2];
  return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y, t * x * y + s * z, t * y * y + c,
          t * y * z - s * x, t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

std::array<double, 9> TSimPose::Compose(const std::array<double, 9>& A,
                                        const std::array<double, 9>& B) {
  std::array<double, 9> out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) out[i * 3 + j] += A[i * 3 + k] * B[k * 3 + j];
  return out;
}
