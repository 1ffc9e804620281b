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

// A view's own focal length against the others': fy (pixels) and its standard
// deviation from that view alone, with the principal point, aspect and lens of
// a calibration from the other views, and fy and its deviation from those. A
// view taken after the focus or zoom was turned stands apart; one view cannot
// pull the others' principal point towards itself. NaN where OpenCV gives up.
struct TFocalApart {
  double Focal = NAN, Deviation = NAN, Others = NAN, OthersDeviation = NAN;
};

TFocalApart FocalApart(const std::vector<TCalibrationView>& Views, const std::vector<int>& Used,
                       std::size_t K, const TBoard& Board, const TCameraModel& Camera, int Flags) {
  TFocalApart apart;
  std::vector<std::vector<cv::Point3f>> board;
  std::vector<std::vector<cv::Point2f>> image;
  for (std::size_t i = 0; i < Used.size(); ++i)
    if (i != K) {
      board.push_back(Board.Points());
      image.push_back(Views[std::size_t(Used[i])].Corners);
    }
  const cv::TermCriteria enough(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12);
  cv::Mat matrix(cv::Matx33d(Camera.Matrix)), distortion(Camera.Distortion, true), deviations;
  cv::Mat extrinsic, errors;
  std::vector<cv::Mat> rotations, translations;
  try {
    cv::calibrateCamera(board, image, Camera.Size, matrix, distortion, rotations, translations,
                        deviations, extrinsic, errors, Flags | cv::CALIB_USE_INTRINSIC_GUESS,
                        enough);
    apart.Others = matrix.at<double>(1, 1);
    apart.OthersDeviation = deviations.at<double>(1);
    const int focalOnly = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_PRINCIPAL_POINT |
                          cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 |
                          cv::CALIB_FIX_K3 | cv::CALIB_FIX_TANGENT_DIST;
    cv::calibrateCamera(std::vector<std::vector<cv::Point3f>>{Board.Points()},
                        std::vector<std::vector<cv::Point2f>>{Views[std::size_t(Used[K])].Corners},
                        Camera.Size, matrix, distortion, rotations, translations, deviations,
                        extrinsic, errors, focalOnly, enough);
    apart.Focal = matrix.at<double>(1, 1);
    apart.Deviation = deviations.at<double>(1);
  } catch (const cv::Exception&) {
  }
  return apart;
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
  // A view whose own focal length stands apart from the others' was taken through another
  // lens setting: farther than 0.8 % and four standard deviations of the two. The farthest
  // such view is named and left out of the others' for the next, so that it cannot make
  // the views beside it look apart.
  std::vector<int> steady = used;
  std::vector<std::string> names = calibration.Views;
  while (steady.size() >= 4) {
    double farthest = 0;
    std::size_t apart = 0;
    TFocalApart focal;
    for (std::size_t k = 0; k < steady.size(); ++k) {
      const TFocalApart f =
          FocalApart(Views, steady, k, Board, calibration.Rig.Camera, Options.CameraFlags);
      const double gap = std::abs(f.Focal - f.Others),
                   deviations = gap / std::hypot(f.Deviation, f.OthersDeviation);
      if (gap > 0.008 * f.Others && deviations > 4 && deviations > farthest)
        farthest = deviations, apart = k, focal = f;
    }
    if (farthest == 0) break;
    note("Pohled " + names[apart] + " ukazuje jiné ohnisko (" + Fixed(focal.Focal, 0) +
         " px, ostatní " + Fixed(focal.Others, 0) +
         " px): nejspíš se mezi pohledy změnilo zaostření nebo zoom; kalibrace platí jen "
         "pro jedno; nasnímejte pohledy znovu bez otáčení objektivem");
    steady.erase(steady.begin() + std::ptrdiff_t(apart));
    names.erase(names.begin() + std::ptrdiff_t(apart));
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
