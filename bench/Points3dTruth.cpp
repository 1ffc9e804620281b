#include "bench/Points3dTruth.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
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

struct TTruth {
  cv::Point3d CameraMm;
  std::string View;
};

std::map<int, TTruth> ReadTruth(const std::string& Path) {
  std::map<int, TTruth> truth;
  std::ifstream in(Path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    if (f.size() < 9 || f[5].empty()) continue;
    truth[std::stoi(f[0])] = {{std::stod(f[5]), std::stod(f[6]), std::stod(f[7])}, f[8]};
  }
  return truth;
}

double Quantile(std::vector<double> Values, double Q) {
  if (Values.empty()) return NAN;
  std::sort(Values.begin(), Values.end());
  return Values[std::size_t(Q * double(Values.size() - 1) + 0.5)];
}

// Plane n . x = d through Points (least squares), n of unit length.
void FitPlane(const std::vector<cv::Point3d>& Points, cv::Vec3d& Normal, double& D) {
  cv::Vec3d centre(0, 0, 0);
  for (const auto& p : Points) centre += cv::Vec3d(p.x, p.y, p.z);
  centre *= 1.0 / double(Points.size());
  cv::Matx33d covariance = cv::Matx33d::zeros();
  for (const auto& p : Points) {
    const cv::Vec3d d = cv::Vec3d(p.x, p.y, p.z) - centre;
    covariance += d * d.t();
  }
  cv::Matx31d values;
  cv::Matx33d vectors;
  cv::eigen(covariance, values, vectors);
  Normal = cv::Vec3d(vectors(2, 0), vectors(2, 1), vectors(2, 2));
  if (Normal[2] < 0) Normal = -Normal;
  D = Normal.dot(centre);
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

std::string Points3dTruthRow(const std::vector<TCloudPoint>& Cloud, const std::string& TruthCsv) {
  std::string row;
  const auto truth = ReadTruth(TruthCsv);
  // The wall: the plane of the true centres, refitted without those off it.
  std::vector<cv::Point3d> all;
  for (const auto& [number, t] : truth) all.push_back(t.CameraMm);
  cv::Vec3d normal;
  double d = 0;
  std::vector<cv::Point3d> wall = all;
  for (int round = 0; round < 3 && wall.size() >= 3; ++round) {
    FitPlane(wall, normal, d);
    wall.clear();
    for (const auto& p : all)
      if (std::abs(normal.dot(cv::Vec3d(p.x, p.y, p.z)) - d) < 1.0) wall.push_back(p);
  }
  std::vector<double> errors, offsets;
  std::vector<cv::Point3d> before, beforeTrue;
  int marked = 0, unseen = 0;
  for (const TCloudPoint& p : Cloud) {
    marked += p.Marked;
    const auto found = truth.find(p.Number);
    if (found == truth.end()) continue;
    unseen += found->second.View == "shadow" || found->second.View == "hidden";
    const cv::Point3d placed(p.CameraMm), real = found->second.CameraMm;
    errors.push_back(cv::norm(placed - real));
    if (std::abs(normal.dot(cv::Vec3d(real.x, real.y, real.z)) - d) < 1e-3) {
      offsets.push_back(normal.dot(cv::Vec3d(placed.x, placed.y, placed.z)) - d);
    } else {
      before.push_back(placed);
      beforeTrue.push_back(real);
    }
  }
  double rms = 0, mean = 0;
  for (double o : offsets) rms += o * o, mean += o;
  rms = std::sqrt(rms / double(std::max<std::size_t>(1, offsets.size())));
  mean /= double(std::max<std::size_t>(1, offsets.size()));
  row += Format("| %zu | %d | %d | %.4f / %.4f | %zu | %.4f / %+.4f |", Cloud.size(), marked,
                unseen, Quantile(errors, 0.5), Quantile(errors, 0.95), offsets.size(), rms, mean);
  if (before.size() >= 10) {
    cv::Point3d centre, trueCentre;
    double radius = 0, trueRadius = 0;
    FitSphere(before, centre, radius);
    FitSphere(beforeTrue, trueCentre, trueRadius);
    row += Format(" %zu | %.4f | %.4f |", before.size(), radius - trueRadius,
                  cv::norm(centre - trueCentre));
  } else {
    row += Format(" – | – | – |");
  }
  return row;
}
