#include "bench/Points3dTruth.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <sstream>

const char Points3dTruthHeader[] =
    "| placed | marked | in shadow or hidden | error median / 95 % (mm) | wall points | wall "
    "RMS / mean offset (mm) | sphere points | radius error (mm) | centre error (mm) |";

namespace {

std::string Format(const char* Format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, Format);
  std::vsnprintf(text, sizeof text, Format, arguments);
  va_end(arguments);
  return text;
}

double Quantile(std::vector<double> Values, double Q) {
  if (Values.empty()) return NAN;
  std::sort(Values.begin(), Values.end());
  return Values[std::size_t(Q * double(Values.size() - 1) + 0.5)];
}

// Sphere |x - c| = r through Points: linear least squares on x.x = 2 c.x + (r^2 - c.c).
void FitSphere(const std::vector<cv::Point3d>& Points, cv::Point3d& Centre, double& Radius) {
  cv::Mat A(int(Points.size()), 4, CV_64F), b(int(Points.size()), 1, CV_64F), x;
  for (int i = 0; i < int(Points.size()); ++i) {
    const cv::Point3d& p = Points[std::size_t(i)];
    A.at<double>(i, 0) = 2 * p.x;
    A.at<double>(i, 1) = 2 * p.y;
    A.at<double>(i, 2) = 2 * p.z;
    A.at<double>(i, 3) = 1;
    b.at<double>(i) = p.dot(p);
  }
  cv::solve(A, b, x, cv::DECOMP_SVD);
  Centre = {x.at<double>(0), x.at<double>(1), x.at<double>(2)};
  Radius = std::sqrt(x.at<double>(3) + Centre.dot(Centre));
}

}  // namespace

std::map<int, TPointTruth> ReadPointTruth(const std::string& TruthCsv) {
  std::map<int, TPointTruth> truth;
  std::ifstream in(TruthCsv);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    if (f.size() < 9 || f[5].empty()) continue;
    truth[std::stoi(f[0])] = {{std::stod(f[3]), std::stod(f[4])},
                              {std::stod(f[5]), std::stod(f[6]), std::stod(f[7])},
                              f[8]};
  }
  return truth;
}

std::string Points3dTruthRow(const std::vector<TCloudPoint>& Cloud, const std::string& TruthCsv) {
  std::string row;
  const auto truth = ReadPointTruth(TruthCsv);
  // The scene's surfaces as the rig placed them (rig.yml beside the CSV).
  cv::FileStorage rig((std::filesystem::path(TruthCsv).parent_path() / "rig.yml").string(),
                      cv::FileStorage::READ);
  cv::Mat wallNormal, sphereCentre;
  double wallDistance = NAN, sphereRadius = NAN;
  if (rig.isOpened()) {
    rig["wall_normal"] >> wallNormal;
    rig["wall_distance"] >> wallDistance;
    rig["sphere_centre"] >> sphereCentre;
    rig["sphere_radius"] >> sphereRadius;
  }
  const cv::Vec3d normal = wallNormal.total() == 3 ? cv::Vec3d(wallNormal) : cv::Vec3d(0, 0, 0);
  const cv::Vec3d ball =
      sphereCentre.total() == 3 ? cv::Vec3d(sphereCentre) : cv::Vec3d(NAN, NAN, NAN);
  std::vector<double> errors, offsets;
  std::vector<cv::Point3d> onSphere;
  int marked = 0, unseen = 0;
  for (const TCloudPoint& p : Cloud) {
    marked += p.Marked;
    const auto found = truth.find(p.Number);
    if (found == truth.end()) continue;
    const bool cut = found->second.View == "shadow" || found->second.View == "hidden";
    unseen += cut;
    const cv::Point3d placed(p.CameraMm), real = found->second.CameraMm;
    errors.push_back(cv::norm(placed - real));
    // The surfaces are judged by the points an operator keeps: neither marked nor cut.
    if (p.Marked || cut) continue;
    const cv::Vec3d x(real.x, real.y, real.z), at(placed.x, placed.y, placed.z);
    if (std::abs(normal.dot(x) - wallDistance) < 1e-3)
      offsets.push_back(normal.dot(at) - wallDistance);
    else if (std::abs(cv::norm(x - ball) - sphereRadius) < 1e-3)
      onSphere.push_back(placed);
  }
  double rms = 0, mean = 0;
  for (double o : offsets) rms += o * o, mean += o;
  rms = std::sqrt(rms / double(std::max<std::size_t>(1, offsets.size())));
  mean /= double(std::max<std::size_t>(1, offsets.size()));
  row += Format("| %zu | %d | %d | %.4f / %.4f | %zu | %.4f / %+.4f |", Cloud.size(), marked,
                unseen, Quantile(errors, 0.5), Quantile(errors, 0.95), offsets.size(), rms, mean);
  if (onSphere.size() >= 10) {
    cv::Point3d centre;
    double radius = 0;
    FitSphere(onSphere, centre, radius);
    row += Format(" %zu | %+.4f | %.4f |", onSphere.size(), radius - sphereRadius,
                  cv::norm(cv::Vec3d(centre.x, centre.y, centre.z) - ball));
  } else {
    row += Format(" – | – | – |");
  }
  return row;
}
