#include "geometry/CloudPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Scalar Background(38, 38, 38), Ink(235, 235, 235);
constexpr int Margin = 24, Legend = 70;

double At(std::vector<double> Values, double Q) {
  if (Values.empty()) return 0;
  const auto at = Values.begin() + std::ptrdiff_t(Q * double(Values.size() - 1) + 0.5);
  std::nth_element(Values.begin(), at, Values.end());
  return *at;
}

// A length of 1, 2 or 5 times a power of ten near Target.
double RoundLength(double Target) {
  const double power = std::pow(10.0, std::floor(std::log10(Target)));
  for (double m : {5.0, 2.0, 1.0})
    if (m * power <= Target) return m * power;
  return power;
}

std::string Millimetres(double Value) {
  char text[32];
  std::snprintf(text, sizeof text,
                Value >= 10 || Value == std::floor(Value) ? "%.0f mm" : "%.1f mm", Value);
  return text;
}

void Text(cv::Mat& Picture, const std::string& Line, cv::Point At) {
  cv::putText(Picture, Line, At, cv::FONT_HERSHEY_SIMPLEX, 0.5, Ink, 1, cv::LINE_AA);
}

}  // namespace

cv::Mat DrawCloud(const std::vector<TCloudPoint>& Cloud, const TCloudView& View) {
  cv::Mat picture(View.Size, CV_8UC3, Background);
  if (Cloud.empty()) {
    Text(picture, "0 points", {Margin, View.Size.height / 2});
    return picture;
  }
  std::vector<double> xs, ys, zs;
  for (const TCloudPoint& p : Cloud) {
    xs.push_back(p.CameraMm.x);
    ys.push_back(p.CameraMm.y);
    zs.push_back(p.CameraMm.z);
  }
  const cv::Vec3d middle(At(xs, 0.5), At(ys, 0.5), At(zs, 0.5));
  const double near = At(zs, 0.01), far = At(zs, 0.99);
  const double aside = View.AsideDegrees * CV_PI / 180, above = View.AboveDegrees * CV_PI / 180;
  // The camera's y points down: tilting about x by +above looks down onto the points.
  const cv::Matx33d turn = cv::Matx33d(1, 0, 0, 0, std::cos(above), -std::sin(above), 0,
                                       std::sin(above), std::cos(above)) *
                           cv::Matx33d(std::cos(aside), 0, -std::sin(aside), 0, 1, 0,
                                       std::sin(aside), 0, std::cos(aside));
  const auto unmarked =
      std::count_if(Cloud.begin(), Cloud.end(), [](const TCloudPoint& p) { return !p.Marked; });
  std::vector<cv::Vec3d> seen(Cloud.size());
  cv::Vec2d low(INFINITY, INFINITY), high(-INFINITY, -INFINITY);
  for (std::size_t i = 0; i < Cloud.size(); ++i) {
    const cv::Point3f& p = Cloud[i].CameraMm;
    seen[i] = turn * (cv::Vec3d(p.x, p.y, p.z) - middle);
    // A marked point far off (a misread number) must not shrink the rest to a dot.
    if (Cloud[i].Marked && unmarked > 0) continue;
    for (int k = 0; k < 2; ++k) {
      low[k] = std::min(low[k], seen[i][k]);
      high[k] = std::max(high[k], seen[i][k]);
    }
  }
  const double width = View.Size.width - 2 * Margin,
               height = View.Size.height - 2 * Margin - Legend;
  const double scale = std::min(width / std::max(high[0] - low[0], 1e-6),
                                height / std::max(high[1] - low[1], 1e-6));  // px per mm
  const cv::Point2d origin(Margin + (width - scale * (high[0] - low[0])) / 2,
                           Margin + (height - scale * (high[1] - low[1])) / 2);
  // Far points first, so that near ones cover them.
  std::vector<std::size_t> order(Cloud.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](auto a, auto b) { return seen[a][2] > seen[b][2]; });
  const int radius =
      std::clamp(int(std::lround(0.45 * std::sqrt(width * height / double(Cloud.size())))), 1, 4);
  cv::Mat ramp(1, 256, CV_8UC1), colours;
  for (int i = 0; i < 256; ++i) ramp.at<std::uint8_t>(i) = std::uint8_t(i);
  cv::applyColorMap(ramp, colours, cv::COLORMAP_TURBO);
  const auto colourOf = [&](double Z) {
    const double share = far > near ? std::clamp((Z - near) / (far - near), 0.0, 1.0) : 0.5;
    const cv::Vec3b c = colours.at<cv::Vec3b>(int(std::lround(share * 255)));
    return cv::Scalar(c[0], c[1], c[2]);
  };
  for (std::size_t i : order) {
    const cv::Point at(int(std::lround(origin.x + scale * (seen[i][0] - low[0]))),
                       int(std::lround(origin.y + scale * (seen[i][1] - low[1]))));
    if (Cloud[i].Marked) {
      cv::drawMarker(picture, at, Ink, cv::MARKER_TILTED_CROSS, 2 * radius + 5, 1);
    } else {
      cv::circle(picture, at, radius, colourOf(Cloud[i].CameraMm.z), cv::FILLED);
    }
  }
  // The depth scale: near to far along the bottom left.
  const int barTop = View.Size.height - Margin - 30, barWidth = View.Size.width / 3;
  for (int x = 0; x < barWidth; ++x)
    cv::line(picture, {Margin + x, barTop}, {Margin + x, barTop + 12},
             colourOf(near + (far - near) * x / std::max(1, barWidth - 1)));
  Text(picture, "depth " + Millimetres(near), {Margin, barTop - 8});
  const std::string farText = Millimetres(far);
  Text(picture, farText, {Margin + barWidth - 8 * int(farText.size()), barTop - 8});
  // The length scale: a round length near a fifth of the picture, bottom right.
  const double length = RoundLength(View.Size.width / 5.0 / scale);
  const int right = View.Size.width - Margin, left = right - int(std::lround(length * scale));
  cv::line(picture, {left, barTop + 6}, {right, barTop + 6}, Ink, 2);
  cv::line(picture, {left, barTop}, {left, barTop + 12}, Ink, 1);
  cv::line(picture, {right, barTop}, {right, barTop + 12}, Ink, 1);
  Text(picture, Millimetres(length), {left, barTop - 8});
  Text(picture, std::to_string(Cloud.size()) + " points", {Margin, Margin});
  return picture;
}

bool WriteCloudPicture(const std::string& Path, const std::vector<TCloudPoint>& Cloud,
                       std::string* Error, const TCloudView& View) {
  const std::string temporary = Path + ".part.png";
  bool written = false;
  try {
    written = cv::imwrite(temporary, DrawCloud(Cloud, View));
  } catch (const cv::Exception& e) {
    if (Error) *Error = Path + ": cannot be written: " + e.what();
  }
  std::error_code error;
  if (written) std::filesystem::rename(temporary, Path, error);
  if (!written || error) {
    if (Error && (written || Error->empty()))
      *Error = Path + ": cannot be written" + (error ? ": " + error.message() : std::string());
    std::filesystem::remove(temporary, error);
    return false;
  }
  return true;
}
