#pragma once

// The simulated rig's optics as plain values: a pinhole with lens distortion
// (OpenCV's model: k1, k2, p1, p2, k3) and rigid motions between frames.
// Units are millimetres and pixels; pixel coordinates have their origin at the
// centre of the top-left pixel, x right, y down; a lens looks along +z.

#include <array>

using TSimVec = std::array<double, 3>;

inline TSimVec operator+(const TSimVec& A, const TSimVec& B) {
  return {A[0] + B[0], A[1] + B[1], A[2] + B[2]};
}
inline TSimVec operator-(const TSimVec& A, const TSimVec& B) {
  return {A[0] - B[0], A[1] - B[1], A[2] - B[2]};
}
inline TSimVec operator*(double S, const TSimVec& A) {
  return {S * A[0], S * A[1], S * A[2]};
}
inline double Dot(const TSimVec& A, const TSimVec& B) {
  return A[0] * B[0] + A[1] * B[1] + A[2] * B[2];
}
double Length(const TSimVec& A);
TSimVec Normalized(const TSimVec& A);

struct TSimLens {
  int Width = 0, Height = 0;  // image size in pixels
  double Fx = 1, Fy = 1;      // focal lengths, pixels
  double Cx = 0, Cy = 0;      // principal point, pixels
  double K1 = 0, K2 = 0, P1 = 0, P2 = 0, K3 = 0;

  // The pixel that shows normalized point (X, Y) = (x / z, y / z).
  void Distort(double X, double Y, double& U, double& V) const;
  // The pixel that shows point P of the lens's own frame; false behind the lens.
  bool Project(const TSimVec& P, double& U, double& V) const;
  // The normalized point that pixel (U, V) shows, to 1e-12, by Newton's method
  // from (X, Y) when Seeded (a neighbouring pixel's answer), else from scratch.
  void Undistort(double U, double V, double& X, double& Y, bool Seeded = false) const;
  // The ray through pixel (U, V): (x, y, 1) in the lens's frame.
  TSimVec Ray(double U, double V) const;
};

// A rigid motion that takes points of one frame into another: Rotation * X + Translation.
struct TSimPose {
  std::array<double, 9> Rotation{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
  TSimVec Translation{0, 0, 0};

  TSimVec Apply(const TSimVec& X) const;
  // The rotation alone, for directions.
  TSimVec Turn(const TSimVec& D) const;
  TSimPose Inverse() const;
  // Rotation by Angle (radians) about unit Axis.
  static std::array<double, 9> AxisAngle(const TSimVec& Axis, double Angle);
  // Rotations applied one after another, A after B.
  static std::array<double, 9> Compose(const std::array<double, 9>& A,
                                       const std::array<double, 9>& B);
};
