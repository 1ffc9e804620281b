#include "geometry/PointCloud.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/DecimalText.h"

namespace {

// Value at share Q (0..1) of Values, reordering them; 0 when there are none.
double Quantile(std::vector<double>& Values, double Q) {
  if (Values.empty()) return 0;
  const auto at = Values.begin() + std::ptrdiff_t(Q * double(Values.size() - 1) + 0.5);
  std::nth_element(Values.begin(), at, Values.end());
  return *at;
}

// Raster cells to cloud indexes.
class TCells {
 public:
  explicit TCells(const std::vector<TCloudPoint>& Cloud) {
    for (const TCloudPoint& p : Cloud) {
      Rows = std::max(Rows, p.Row + 1);
      Columns = std::max(Columns, p.Column + 1);
    }
    Index.assign(std::size_t(Rows) * std::size_t(Columns), -1);
    for (std::size_t i = 0; i < Cloud.size(); ++i)
      if (Cloud[i].Row >= 0 && Cloud[i].Column >= 0)
        Index[std::size_t(Cloud[i].Row) * std::size_t(Columns) + std::size_t(Cloud[i].Column)] =
            int(i);
  }
  int At(int Row, int Column) const {
    if (Row < 0 || Column < 0 || Row >= Rows || Column >= Columns) return -1;
    return Index[std::size_t(Row) * std::size_t(Columns) + std::size_t(Column)];
  }

 private:
  int Rows = 0, Columns = 0;
  std::vector<int> Index;
};

// The eigenvalues of symmetric C, largest first, and the eigenvector of the
// smallest: the normal of the plane that points of covariance C lie about.
void SmallestEigenvector(const cv::Matx33d& C, cv::Vec3d& Values, cv::Vec3d& Normal) {
  const double q = (C(0, 0) + C(1, 1) + C(2, 2)) / 3;
  const double p1 = C(0, 1) * C(0, 1) + C(0, 2) * C(0, 2) + C(1, 2) * C(1, 2);
  const double p2 = (C(0, 0) - q) * (C(0, 0) - q) + (C(1, 1) - q) * (C(1, 1) - q) +
                    (C(2, 2) - q) * (C(2, 2) - q) + 2 * p1;
  const double p = std::sqrt(p2 / 6);
  if (!(p > 0)) {
    Values = {q, q, q};
    Normal = {0, 0, 1};
    return;
  }
  const cv::Matx33d B = (C - q * cv::Matx33d::eye()) * (1 / p);
  const double r = std::clamp(cv::determinant(B) / 2, -1.0, 1.0);
  const double phi = std::acos(r) / 3;
  const double largest = q + 2 * p * std::cos(phi);
  const double smallest = q + 2 * p * std::cos(phi + 2 * CV_PI / 3);
  Values = {largest, 3 * q - largest - smallest, smallest};
  // The normal is orthogonal to the rows of C - smallest I: the longest cross product of two.
  const cv::Matx33d M = C - smallest * cv::Matx33d::eye();
  const cv::Vec3d r0(M(0, 0), M(0, 1), M(0, 2)), r1(M(1, 0), M(1, 1), M(1, 2)),
      r2(M(2, 0), M(2, 1), M(2, 2));
  Normal = r0.cross(r1);
  for (const cv::Vec3d& candidate : {r0.cross(r2), r1.cross(r2)})
    if (candidate.dot(candidate) > Normal.dot(Normal)) Normal = candidate;
  const double length = cv::norm(Normal);
  Normal = length > 0 ? Normal * (1 / length) : cv::Vec3d(0, 0, 1);
}

double Distance(const TCloudPoint& A, const TCloudPoint& B) {
  return cv::norm(cv::Point3d(A.CameraMm) - cv::Point3d(B.CameraMm));
}

}  // namespace

std::vector<TCloudPoint> PlaceRasterPoints(const TRigGeometry& Rig,
                                           const std::vector<TRasterPoint>& Points,
                                           const TCloudOptions& Options) {
  std::vector<cv::Point2d> camera, projector;
  camera.reserve(Points.size());
  projector.reserve(Points.size());
  for (const TRasterPoint& p : Points) {
    camera.push_back(p.CameraPx);
    projector.push_back(p.ProjectorPx);
  }
  const std::vector<TTriangulated> rays = TriangulatePixels(Rig, camera, projector, Options.Method);
  std::vector<TCloudPoint> cloud;
  cloud.reserve(Points.size());
  for (std::size_t i = 0; i < rays.size(); ++i) {
    if (!rays[i].Placed) continue;
    const TRasterPoint& p = Points[i];
    TCloudPoint point;
    point.Number = p.Number;
    point.Row = p.Row;
    point.Column = p.Column;
    point.CameraMm = cv::Point3f(rays[i].CameraMm);
    point.RayGapMm = float(rays[i].RayGapMm);
    point.ReprojectionPx = float(std::max(rays[i].CameraErrorPx, rays[i].ProjectorErrorPx));
    point.Brightness = p.Brightness;
    point.Marked = point.ReprojectionPx > Options.MaxReprojectionPx;
    cloud.push_back(point);
  }
  MarkOffSurface(cloud, Options);
  return cloud;
}

void MarkOffSurface(std::vector<TCloudPoint>& Cloud, const TCloudOptions& Options) {
  const TCells cells(Cloud);
  const int reach = std::max(1, Options.NeighbourReach);
  // Those that fit badly describe no surface.
  std::vector<char> support(Cloud.size());
  for (std::size_t i = 0; i < Cloud.size(); ++i) support[i] = !Cloud[i].Marked;
  // Per point: the median distance to its next neighbours, per raster step.
  std::vector<double> step(Cloud.size(), NAN), near;
  for (std::size_t i = 0; i < Cloud.size(); ++i) {
    near.clear();
    for (int dr = -1; dr <= 1; ++dr)
      for (int dc = -1; dc <= 1; ++dc) {
        const int j = cells.At(Cloud[i].Row + dr, Cloud[i].Column + dc);
        if (j < 0 || std::size_t(j) == i || !support[std::size_t(j)]) continue;
        near.push_back(Distance(Cloud[i], Cloud[std::size_t(j)]) / std::hypot(dr, dc));
      }
    if (!near.empty()) step[i] = Quantile(near, 0.5);
  }
  std::vector<int> neighbours;
  std::vector<double> steps;
  for (std::size_t i = 0; i < Cloud.size(); ++i) {
    if (Cloud[i].Marked) continue;
    // The local step from the neighbours' own steps, so that a point off the
    // surface does not stretch the step it is judged by.
    neighbours.clear();
    steps.clear();
    for (int dr = -reach; dr <= reach; ++dr)
      for (int dc = -reach; dc <= reach; ++dc) {
        const int j = cells.At(Cloud[i].Row + dr, Cloud[i].Column + dc);
        if (j < 0 || std::size_t(j) == i || !support[std::size_t(j)]) continue;
        neighbours.push_back(j);
        if (std::isfinite(step[std::size_t(j)])) steps.push_back(step[std::size_t(j)]);
      }
    const double local = Quantile(steps, 0.5);
    // Neighbours on the same surface lie within a few steps; across a depth edge they do not.
    cv::Matx33d covariance = cv::Matx33d::zeros();
    cv::Vec3d centre(0, 0, 0);
    std::vector<cv::Vec3d> same;
    for (int j : neighbours) {
      const TCloudPoint& n = Cloud[std::size_t(j)];
      const double raster = std::hypot(n.Row - Cloud[i].Row, n.Column - Cloud[i].Column);
      if (Distance(n, Cloud[i]) > 2.5 * local * raster) continue;
      same.emplace_back(n.CameraMm.x, n.CameraMm.y, n.CameraMm.z);
      centre += same.back();
    }
    // Fewer than four neighbours on its surface: alone, nothing vouches for it.
    if (same.size() < 4 || !(local > 0)) {
      Cloud[i].Marked = true;
      continue;
    }
    centre *= 1.0 / double(same.size());
    for (const cv::Vec3d& p : same) covariance += (p - centre) * (p - centre).t();
    cv::Vec3d values, normal;
    SmallestEigenvector(covariance, values, normal);
    const cv::Vec3d point(Cloud[i].CameraMm.x, Cloud[i].CameraMm.y, Cloud[i].CameraMm.z);
    // Neighbours along a line leave the plane's normal undetermined: then only their nearness
    // counts.
    const bool flat = values[1] > 0.05 * values[0];
    if (flat && std::abs(normal.dot(point - centre)) > Options.OffSurfaceShare * local)
      Cloud[i].Marked = true;
  }
}

TCloudSummary SummariseCloud(const std::vector<TCloudPoint>& Cloud) {
  TCloudSummary summary;
  std::vector<double> gaps, errors;
  summary.NearestMm = INFINITY;
  summary.FarthestMm = -INFINITY;
  for (const TCloudPoint& p : Cloud) {
    ++summary.Placed;
    summary.Marked += p.Marked ? 1 : 0;
    summary.NearestMm = std::min(summary.NearestMm, double(p.CameraMm.z));
    summary.FarthestMm = std::max(summary.FarthestMm, double(p.CameraMm.z));
    gaps.push_back(p.RayGapMm);
    errors.push_back(p.ReprojectionPx);
  }
  if (Cloud.empty()) summary.NearestMm = summary.FarthestMm = 0;
  summary.MedianGapMm = Quantile(gaps, 0.5);
  summary.Percentile95GapMm = Quantile(gaps, 0.95);
  summary.MedianReprojectionPx = Quantile(errors, 0.5);
  summary.Percentile95ReprojectionPx = Quantile(errors, 0.95);
  return summary;
}

std::string TCloudSummary::Text() const {
  const std::string leftOut =
      PartlyLit ? ", " + std::to_string(PartlyLit) + " vynechaných u hrany stínu" : "";
  if (Placed == 0) return "3D: žádný bod" + leftOut;
  return "3D: " + std::to_string(Placed) + " bodů, hloubka " + DecimalText(NearestMm, 1) + "–" +
         DecimalText(FarthestMm, 1) + " mm, mezera paprsků medián " + DecimalText(MedianGapMm, 3) +
         " mm, 95 % " + DecimalText(Percentile95GapMm, 3) + " mm, chyba zpětné projekce medián " +
         DecimalText(MedianReprojectionPx, 2) + " px, 95 % " +
         DecimalText(Percentile95ReprojectionPx, 2) + " px, " + std::to_string(Marked) +
         " označených" + leftOut;
}
