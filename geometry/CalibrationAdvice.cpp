// What the operator should know of a calibration's views, in the operator's words.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>

#include "geometry/Calibrate.h"

namespace {

std::string Fixed(double Value, int Decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", Decimals, Value);
  return text;
}

// "f/8" from a settings line such as "Kamera: manuál, 1/30 s, f/8, ISO 100"; empty when none.
std::string ApertureOf(const std::string& Settings) {
  static const std::regex aperture(R"(f/[0-9]+(?:[.,][0-9]+)?)");
  std::smatch match;
  return std::regex_search(Settings, match, aperture) ? match.str() : std::string();
}

// The largest angle between the board's normals in two views, degrees.
double TiltSpread(const std::vector<cv::Vec3d>& Rotations, const std::vector<int>& Used) {
  std::vector<cv::Vec3d> normals;
  for (int v : Used) {
    cv::Matx33d rotation;
    cv::Rodrigues(Rotations[std::size_t(v)], rotation);
    normals.push_back(rotation * cv::Vec3d(0, 0, 1));
  }
  double widest = 0;
  for (std::size_t a = 0; a < normals.size(); ++a)
    for (std::size_t b = a + 1; b < normals.size(); ++b)
      widest = std::max(widest, std::acos(std::clamp(normals[a].dot(normals[b]), -1.0, 1.0)));
  return widest * 180 / CV_PI;
}

// The board's outline in a view: its outer inner corners, in order around.
std::vector<cv::Point> Outline(const std::vector<cv::Point2f>& Corners, const TBoard& Board) {
  const int c = Board.Columns - 1, r = Board.Rows - 1;
  std::vector<cv::Point> outline;
  for (int i : {0, c, r * Board.Columns + c, r * Board.Columns})
    outline.emplace_back(
        cv::Point(cvRound(Corners[std::size_t(i)].x), cvRound(Corners[std::size_t(i)].y)));
  return outline;
}

// The focal length (fy, pixels) that view's corners alone call for, with the
// calibration's principal point, aspect and distortion: from the homography of
// the board, whose two axes must come out square and of one length. NaN when
// the board faces the camera too squarely for it to tell.
double ViewFocal(const std::vector<cv::Point2f>& Corners, const TBoard& Board,
                 const TCameraModel& Camera) {
  std::vector<cv::Point2f> undistorted, plane;
  cv::undistortPoints(Corners, undistorted, Camera.Matrix, Camera.Distortion, cv::noArray(),
                      Camera.Matrix);
  for (const cv::Point3f& p : Board.Points()) plane.emplace_back(p.x, p.y);
  const cv::Mat found = cv::findHomography(plane, undistorted, 0);
  if (found.empty()) return NAN;
  const cv::Matx33d& k = Camera.Matrix;
  const double aspect = k(0, 0) / k(1, 1);
  const cv::Matx33d centred(1 / aspect, 0, -k(0, 2) / aspect, 0, 1, -k(1, 2), 0, 0, 1);
  const cv::Matx33d h = centred * cv::Matx33d(found);
  const cv::Vec3d a(h(0, 0), h(1, 0), h(2, 0)), b(h(0, 1), h(1, 1), h(2, 1));
  // Per constraint: P / f^2 + Q = 0.
  const double p[2] = {a[0] * b[0] + a[1] * b[1],
                       a[0] * a[0] + a[1] * a[1] - b[0] * b[0] - b[1] * b[1]};
  const double q[2] = {a[2] * b[2], a[2] * a[2] - b[2] * b[2]};
  // Scale-free: q against the in-plane terms, so that a square-on board is told apart.
  const double scale = (a[0] * a[0] + a[1] * a[1]) / (k(1, 1) * k(1, 1));
  if (std::hypot(q[0], q[1]) < 0.02 * scale) return NAN;
  const double inverse = -(p[0] * q[0] + p[1] * q[1]) / (p[0] * p[0] + p[1] * p[1]);
  return inverse > 0 ? 1 / std::sqrt(inverse) : NAN;
}

}  // namespace

void JudgeCalibration(const std::vector<TCalibrationView>& Views, const TBoard& Board,
                      const TCalibrationOptions& Options, TCalibrationOutcome& Outcome) {
  if (!Outcome.Calibration) return;
  const TCalibration& calibration = *Outcome.Calibration;
  auto note = [&](std::string Text) { Outcome.Findings.push_back(std::move(Text)); };
  const std::vector<int>& used = Outcome.CameraViews;

  const double spread = TiltSpread(Outcome.CameraRotations, used);
  if (spread < Options.MinTiltDegrees)
    note("Deska je ve všech pohledech natočena skoro stejně (nejvíc " + Fixed(spread, 1) +
         "° od sebe): ohniska a střed obrazu nejsou určena; nakloňte desku mezi pohledy o 20 "
         "až 30° na různé strany");

  // Little of the photo: each view's share, and what all views together cover of a 8 x 8 grid.
  const cv::Size photo = calibration.Rig.Camera.Size;
  cv::Mat covered = cv::Mat::zeros(photo, CV_8U);
  double shareSum = 0;
  for (int v : used) {
    const std::vector<cv::Point> outline = Outline(Views[std::size_t(v)].Corners, Board);
    shareSum += cv::contourArea(outline) / double(photo.area());
    cv::fillConvexPoly(covered, outline, cv::Scalar(255));
  }
  const double meanShare = shareSum / double(std::max<std::size_t>(1, used.size()));
  int cells = 0;
  for (int gy = 0; gy < 8; ++gy)
    for (int gx = 0; gx < 8; ++gx) {
      const cv::Rect cell(gx * photo.width / 8, gy * photo.height / 8, photo.width / 8,
                          photo.height / 8);
      if (cv::countNonZero(covered(cell)) > cell.area() / 2) ++cells;
    }
  if (meanShare < 0.1)
    note("Deska zabírá v průměru jen " + Fixed(100 * meanShare, 0) +
         " % snímku: přibližte ji ke kameře, ať zabírá aspoň čtvrtinu snímku");
  if (cells < 32)
    note("Pohledy dohromady pokrývají jen " + Fixed(100.0 * cells / 64, 0) +
         " % snímku: zkreslení objektivu u okrajů není určeno; dejte desku i do rohů snímku");

  // The lens: a changed aperture recorded with the scans, a change during a scan, or a view
  // that fits the others far worse than they fit each other.
  std::string first, firstView;
  for (int v : used) {
    const TCalibrationView& view = Views[std::size_t(v)];
    const std::string aperture = ApertureOf(view.Settings);
    if (aperture.empty()) continue;
    if (first.empty()) {
      first = aperture, firstView = view.Name;
    } else if (aperture != first) {
      note("Clona se mezi pohledy změnila (" + firstView + ": " + first + ", " + view.Name + ": " +
           aperture +
           "): kalibrace platí jen pro jednu clonu, zaostření a zoom; "
           "nasnímejte všechny pohledy znovu se stejným nastavením");
      break;
    }
  }
  for (int v : used)
    for (const std::string& change : Views[std::size_t(v)].SettingChanges)
      if (change.find("clona") != std::string::npos ||
          change.find("ostření") != std::string::npos || change.find("zoom") != std::string::npos)
        note("Během pohledu " + Views[std::size_t(v)].Name + " se změnilo nastavení objektivu (" +
             change + "): kalibrace s ním neplatí");
  // A view whose own focal length stands apart from the others' was taken through another lens.
  std::vector<double> focal;
  for (int v : used)
    focal.push_back(ViewFocal(Views[std::size_t(v)].Corners, Board, calibration.Rig.Camera));
  std::vector<double> measured;
  for (double f : focal)
    if (std::isfinite(f)) measured.push_back(f);
  if (measured.size() >= 3) {
    std::sort(measured.begin(), measured.end());
    const double typical = measured[measured.size() / 2];
    std::vector<double> spread;
    for (double f : measured) spread.push_back(std::abs(f / typical - 1));
    std::sort(spread.begin(), spread.end());
    // Three standard deviations of the views' scatter (from its median), and at least 0.8 %.
    const double allowed = std::max(0.008, 3 * 1.4826 * spread[spread.size() / 2]);
    for (std::size_t k = 0; k < focal.size(); ++k)
      if (std::isfinite(focal[k]) && std::abs(focal[k] / typical - 1) > allowed)
        note("Pohled " + calibration.Views[k] + " ukazuje jiné ohnisko (" + Fixed(focal[k], 0) +
             " px, ostatní " + Fixed(typical, 0) +
             " px): nejspíš se mezi pohledy změnilo zaostření nebo zoom; kalibrace platí jen "
             "pro jedno; nasnímejte pohledy znovu bez otáčení objektivem");
  }
  std::vector<double> errors = calibration.CameraViewErrors;
  std::vector<double> sorted = errors;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
  for (std::size_t k = 0; k < errors.size(); ++k)
    if (errors[k] > 0.3 && errors[k] > 4 * median)
      note("Pohled " + calibration.Views[k] + " nesedí k ostatním (chyba " + Fixed(errors[k], 2) +
           " px, u ostatních medián " + Fixed(median, 2) +
           " px): deska se během skenu pohnula, není rovná, nebo se změnilo zaostření");

  if (calibration.ProjectorRms > 0.3 && calibration.ProjectorRms > 3 * calibration.CameraRms)
    note("Chyba projektoru (" + Fixed(calibration.ProjectorRms, 2) +
         " px) je mnohem vyšší než kamery (" + Fixed(calibration.CameraRms, 2) +
         " px): obvykle je krátké čekání na ustálení projektoru nebo expozice nesladěná s "
         "obnovou projektoru; prodlužte čekání nebo čas závěrky");
}
