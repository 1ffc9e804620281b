#include "geometry/CalibrationReport.h"

#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

namespace {

std::string Fixed(double Value, int Decimals) {
  if (!std::isfinite(Value)) return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", Decimals, Value);
  return text;
}

std::string ModelText(const TCameraModel& Model, double Rms) {
  const cv::Matx33d& k = Model.Matrix;
  std::string text = std::to_string(Model.Size.width) + " x " + std::to_string(Model.Size.height) +
                     " px; ohniska " + Fixed(k(0, 0), 2) + ", " + Fixed(k(1, 1), 2) +
                     " px; střed " + Fixed(k(0, 2), 2) + ", " + Fixed(k(1, 2), 2) +
                     " px; zkreslení";
  for (double term : Model.Distortion) text += " " + Fixed(term, 5);
  return text + "; chyba " + Fixed(Rms, 3) + " px";
}

int Index(const std::vector<int>& Used, int V) {
  for (std::size_t k = 0; k < Used.size(); ++k)
    if (Used[k] == V) return int(k);
  return -1;
}

// Found minus reprojected, per corner of the side's view; empty when the view was not used.
std::vector<cv::Point2f> Residuals(const std::vector<cv::Point2f>& Found, const TBoard& Board,
                                   const cv::Vec3d& Rotation, const cv::Vec3d& Translation,
                                   const TCameraModel& Model) {
  std::vector<cv::Point2f> projected, residuals(Found.size(), {NAN, NAN});
  cv::projectPoints(Board.Points(), Rotation, Translation, Model.Matrix, Model.Distortion,
                    projected);
  for (std::size_t i = 0; i < Found.size() && i < projected.size(); ++i)
    if (Known(Found[i])) residuals[i] = Found[i] - projected[i];
  return residuals;
}

}  // namespace

std::string CalibrationReportText(const std::string& File,
                                  const std::vector<TCalibrationView>& Views, const TBoard& Board,
                                  const TCalibrationOutcome& Outcome) {
  std::ostringstream out;
  if (Outcome.Calibration) {
    const TCalibration& result = *Outcome.Calibration;
    const TRigGeometry& rig = result.Rig;
    const cv::Vec3d& t = rig.ProjectorFromCameraMm;
    cv::Vec3d rotation;
    cv::Rodrigues(rig.ProjectorFromCamera, rotation);
    out << "Kalibrace: " << File << "\n"
        << "Deska: " << Board.Columns << " x " << Board.Rows << " vnitřních rohů, pole "
        << Fixed(Board.SquareMm, 2) << " mm\n"
        << "Pohledy: " << Outcome.CameraViews.size() << " z " << Views.size() << " pro kameru, "
        << Outcome.ProjectorViews.size() << " pro projektor\n"
        << "Kamera: " << ModelText(rig.Camera, result.CameraRms) << "\n"
        << "Projektor: " << ModelText(rig.Projector, result.ProjectorRms) << "\n"
        << "Projektor od kamery: posun " << Fixed(t[0], 2) << ", " << Fixed(t[1], 2) << ", "
        << Fixed(t[2], 2) << " mm (základna " << Fixed(rig.BaselineMm(), 2) << " mm), natočení "
        << Fixed(cv::norm(rotation) * 180 / CV_PI, 3) << "°; chyba dvojice "
        << Fixed(result.StereoRms, 3) << " px\n"
        << "Zpřesněno body rastru na desce: "
        << (result.RefinedPoints > 0
                ? std::to_string(result.RefinedPoints) + " bodů, chyba v kameře " +
                      Fixed(result.PointRms, 3) + " px"
                : std::string("ne"))
        << "\n"
        << "Souřadnice kamery: x vpravo, y dolů, z dopředu; pixely od středu levého horního; "
           "chyby jsou kvadratické průměry v pixelech\n";
  } else {
    out << "Kalibrace nevznikla\n";
  }
  out << "Zjištění:\n";
  if (Outcome.Findings.empty()) out << "- nic k vytknutí\n";
  for (const std::string& finding : Outcome.Findings) out << "- " << finding << "\n";
  out << "Pohledy:\n";
  for (std::size_t v = 0; v < Views.size(); ++v) {
    const TCalibrationView& view = Views[v];
    out << v + 1 << ". " << view.Name << ": " << view.Summary();
    const int k = Index(Outcome.CameraViews, int(v));
    if (Outcome.Calibration && k >= 0) {
      const TCalibration& result = *Outcome.Calibration;
      out << "; chyba kamery " << Fixed(result.CameraViewErrors[std::size_t(k)], 3)
          << " px, projektoru " << Fixed(result.ProjectorViewErrors[std::size_t(k)], 3)
          << " px, dvojice " << Fixed(result.StereoViewErrors[std::size_t(k)], 3) << " px";
    } else if (view.Problem.empty()) {
      out << "; nepoužit";
    }
    if (!view.Settings.empty()) out << "; " << view.Settings;
    out << "\n";
  }
  return out.str();
}

cv::Mat ViewPicture(const cv::Mat& Photo, const std::vector<TCalibrationView>& Views, int V,
                    const TBoard& Board, const TCalibrationOutcome& Outcome) {
  cv::Mat picture;
  if (Photo.channels() == 1)
    cv::cvtColor(Photo, picture, cv::COLOR_GRAY2BGR);
  else
    picture = Photo.clone();
  const TCalibrationView& view = Views[std::size_t(V)];
  const int thick = std::max(1, picture.cols / 1000);
  const double scale = std::max(0.6, picture.cols / 1600.0);
  std::vector<cv::Point2f> camera, projector;
  if (Outcome.Calibration && Index(Outcome.CameraViews, V) >= 0) {
    camera = Residuals(view.Corners, Board, Outcome.CameraRotations[std::size_t(V)],
                       Outcome.CameraTranslations[std::size_t(V)], Outcome.Calibration->Rig.Camera);
    if (Index(Outcome.ProjectorViews, V) >= 0)
      projector = Residuals(
          view.ProjectorCorners, Board, Outcome.ProjectorRotations[std::size_t(V)],
          Outcome.ProjectorTranslations[std::size_t(V)], Outcome.Calibration->Rig.Projector);
  }
  for (std::size_t i = 0; i < view.Corners.size(); ++i) {
    const cv::Point2f at = view.Corners[i];
    const bool paired = i < view.ProjectorCorners.size() && Known(view.ProjectorCorners[i]);
    cv::circle(picture, at, 6 * thick, paired ? cv::Scalar(0, 200, 0) : cv::Scalar(0, 200, 255),
               thick, cv::LINE_AA);
    if (i < camera.size() && Known(camera[i]))
      cv::line(picture, at, at + camera[i] * ResidualMagnification, cv::Scalar(0, 0, 255),
               thick + 1, cv::LINE_AA);
    if (i < projector.size() && Known(projector[i]))
      cv::line(picture, at, at + projector[i] * ResidualMagnification, cv::Scalar(255, 80, 0),
               thick + 1, cv::LINE_AA);
  }
  // OpenCV's font has no accents: the legend is plain.
  const std::string legend = view.Problem.empty()
                                 ? "rohy: zelene s projektorem, oranzove bez; odchylky " +
                                       std::to_string(int(ResidualMagnification)) +
                                       "x: cervene kamera, modre projektor"
                                 : "nepouzitelny pohled";
  cv::putText(picture, legend, {20, int(40 * scale)}, cv::FONT_HERSHEY_SIMPLEX, scale,
              cv::Scalar(0, 0, 0), 4 * thick, cv::LINE_AA);
  cv::putText(picture, legend, {20, int(40 * scale)}, cv::FONT_HERSHEY_SIMPLEX, scale,
              cv::Scalar(255, 255, 255), thick, cv::LINE_AA);
  return picture;
}
