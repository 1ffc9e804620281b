#include "geometry/Triangulation.h"

#include <array>
#include <cmath>

namespace {

// OpenCV's terms k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4, missing ones zero.
using TTerms = std::array<double, 12>;

TTerms Terms(const TCameraModel& Model) {
  TTerms k{};
  for (std::size_t i = 0; i < Model.Distortion.size() && i < k.size(); ++i)
    k[i] = Model.Distortion[i];
  return k;
}

cv::Point2d Distort(const TTerms& k, const cv::Point2d& P) {
  const double x = P.x, y = P.y;
  const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
  const double radial =
      (1 + k[0] * r2 + k[1] * r4 + k[4] * r6) / (1 + k[5] * r2 + k[6] * r4 + k[7] * r6);
  return {x * radial + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x) + k[8] * r2 + k[9] * r4,
          y * radial + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y + k[10] * r2 + k[11] * r4};
}

cv::Point2d ToPixel(const cv::Matx33d& K, const cv::Point2d& P) {
  return {K(0, 0) * P.x + K(0, 1) * P.y + K(0, 2), K(1, 1) * P.y + K(1, 2)};
}

// Pixel to normalised coordinates of the distorted image (no distortion undone).
cv::Point2d FromPixel(const cv::Matx33d& K, const cv::Point2d& P) {
  const double y = (P.y - K(1, 2)) / K(1, 1);
  return {(P.x - K(0, 2) - K(0, 1) * y) / K(0, 0), y};
}

bool Undistort(const TTerms& k, const cv::Matx33d& K, const cv::Point2d& Pixel, cv::Point2d& Out) {
  const cv::Point2d target = FromPixel(K, Pixel);
  // Converged when the result maps back within 1e-9 pixels of the reading.
  const double tolerance = 1e-9 / std::max(K(0, 0), K(1, 1));
  cv::Point2d x = target;
  for (int i = 0; i < 30; ++i) {
    const cv::Point2d d = Distort(k, x);
    const cv::Point2d r = d - target;
    if (std::abs(r.x) < tolerance && std::abs(r.y) < tolerance) {
      Out = x;
      return std::isfinite(x.x) && std::isfinite(x.y);
    }
    // The Jacobian by forward differences: Newton still converges to the exact
    // root, as the residual itself is exact.
    constexpr double h = 1e-7;
    const cv::Point2d dx = (Distort(k, {x.x + h, x.y}) - d) / h;
    const cv::Point2d dy = (Distort(k, {x.x, x.y + h}) - d) / h;
    const double det = dx.x * dy.y - dy.x * dx.y;
    if (!(std::abs(det) > 1e-12)) return false;
    x.x -= (dy.y * r.x - dy.x * r.y) / det;
    x.y -= (-dx.y * r.x + dx.x * r.y) / det;
  }
  return false;
}

// The closest pass of ray A (through the origin along Da) and ray B (from Cb
// along Db): the parameters along each. False for parallel rays.
bool ClosestPass(const cv::Vec3d& Da, const cv::Vec3d& Cb, const cv::Vec3d& Db, double& S,
                 double& U) {
  const double a = Da.dot(Da), b = Da.dot(Db), c = Db.dot(Db);
  const double d = -Da.dot(Cb), e = -Db.dot(Cb);
  const double denominator = a * c - b * b;
  if (!(denominator > 1e-12 * a * c)) return false;
  S = (b * e - c * d) / denominator;
  U = (a * e - b * d) / denominator;
  return true;
}

}  // namespace

std::string DistortionProblem(const TCameraModel& Model) {
  const std::vector<double>& k = Model.Distortion;
  const std::size_t n = k.size();
  // 14 terms without the sensor's tilt are the 12-term model.
  const bool tilted = n == 14 && (k[12] != 0 || k[13] != 0);
  if ((n != 0 && n != 4 && n != 5 && n != 8 && n != 12 && n != 14) || tilted)
    return "zkreslení o " + std::to_string(n) + " členech" + (tilted ? " s náklonem snímače" : "") +
           " nelze obrátit";
  for (double term : k)
    if (!std::isfinite(term)) return "člen zkreslení není číslo";
  return {};
}

cv::Point2d DistortedPixel(const TCameraModel& Model, const cv::Point2d& Normalised) {
  return ToPixel(Model.Matrix, Distort(Terms(Model), Normalised));
}

bool UndistortPixel(const TCameraModel& Model, const cv::Point2d& Pixel, cv::Point2d& Normalised) {
  return Undistort(Terms(Model), Model.Matrix, Pixel, Normalised);
}

bool ProjectCameraPoint(const TRigGeometry& Rig, const cv::Point3d& CameraMm, cv::Point2d& CameraPx,
                        cv::Point2d& ProjectorPx) {
  const cv::Vec3d c(CameraMm.x, CameraMm.y, CameraMm.z);
  const cv::Vec3d p = Rig.ProjectorFromCamera * c + Rig.ProjectorFromCameraMm;
  if (!(c[2] > 0) || !(p[2] > 0)) return false;
  CameraPx = DistortedPixel(Rig.Camera, {c[0] / c[2], c[1] / c[2]});
  ProjectorPx = DistortedPixel(Rig.Projector, {p[0] / p[2], p[1] / p[2]});
  return true;
}

std::vector<TTriangulated> TriangulatePixels(const TRigGeometry& Rig,
                                             const std::vector<cv::Point2d>& CameraPx,
                                             const std::vector<cv::Point2d>& ProjectorPx,
                                             TTriangulation Method) {
  const std::size_t count = std::min(CameraPx.size(), ProjectorPx.size());
  std::vector<TTriangulated> out(count);
  if (!DistortionProblem(Rig.Camera).empty() || !DistortionProblem(Rig.Projector).empty())
    return out;
  const TTerms cameraTerms = Terms(Rig.Camera), projectorTerms = Terms(Rig.Projector);
  const cv::Matx33d toCamera = Rig.ProjectorFromCamera.t();
  // The projector's centre and its rays in camera coordinates.
  const cv::Vec3d projectorCentre = -(toCamera * Rig.ProjectorFromCameraMm);
  const cv::Matx33d& K = Rig.Camera.Matrix;
  for (std::size_t i = 0; i < count; ++i) {
    TTriangulated& result = out[i];
    cv::Point2d c, p;
    if (!Undistort(cameraTerms, K, CameraPx[i], c) ||
        !Undistort(projectorTerms, Rig.Projector.Matrix, ProjectorPx[i], p))
      continue;
    cv::Vec3d cameraRay(c.x, c.y, 1);
    const cv::Vec3d projectorRay = toCamera * cv::Vec3d(p.x, p.y, 1);
    double s = 0, u = 0;
    if (!ClosestPass(cameraRay, projectorCentre, projectorRay, s, u)) continue;
    result.RayGapMm = cv::norm(s * cameraRay - (projectorCentre + u * projectorRay));
    cv::Vec3d point = 0.5 * (s * cameraRay + projectorCentre + u * projectorRay);
    if (Method == TTriangulation::ProjectorRay) {
      // The plane through both centres and the projector's ray meets the camera's
      // image in the epipolar line; the reading moves to the line's nearest point
      // in undistorted pixels, whose ray meets the projector's ray exactly.
      const cv::Vec3d n = projectorCentre.cross(projectorRay);
      // n . (x, y, 1) = 0 in pixels u = fx x + skew y + cx, v = fy y + cy.
      const double fx = K(0, 0), fy = K(1, 1), skew = K(0, 1), cx = K(0, 2), cy = K(1, 2);
      const double a = n[0] / fx, b = (n[1] - n[0] * skew / fx) / fy;
      const double cc = n[2] - a * cx - b * cy;
      const cv::Point2d ideal = ToPixel(K, c);
      const double t = (a * ideal.x + b * ideal.y + cc) / (a * a + b * b);
      const cv::Point2d onLine = FromPixel(K, {ideal.x - t * a, ideal.y - t * b});
      cameraRay = cv::Vec3d(onLine.x, onLine.y, 1);
      if (!ClosestPass(cameraRay, projectorCentre, projectorRay, s, u)) continue;
      point = projectorCentre + u * projectorRay;
    }
    if (!(s > 0) || !(u > 0)) continue;
    result.CameraMm = cv::Point3d(point[0], point[1], point[2]);
    cv::Point2d backCamera, backProjector;
    if (!ProjectCameraPoint(Rig, result.CameraMm, backCamera, backProjector)) continue;
    result.CameraErrorPx = cv::norm(backCamera - CameraPx[i]);
    result.ProjectorErrorPx = cv::norm(backProjector - ProjectorPx[i]);
    result.Placed = true;
  }
  return out;
}
