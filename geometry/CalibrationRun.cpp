#include "geometry/CalibrationRun.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/CalibrationReport.h"

namespace {

// The read points of a check, each with its place in the photo and in the projector's bitmap.
std::vector<TDecodedPoint> ReadPoints(const TCheckResult& Check) {
  std::vector<TDecodedPoint> points;
  for (const TRasterPoint& point : ReadRasterPoints(Check))
    points.push_back({cv::Point2f(point.CameraPx), cv::Point2f(point.ProjectorPx)});
  return points;
}

// The camera's settings line and the changes during the scan, from the check's report in Dir.
void ReadSettings(const std::string& Dir, TCalibrationView& View) {
  std::ifstream report(Dir + "/corvalet-check.txt");
  std::string line;
  while (std::getline(report, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Kamera: ", 0) == 0)
      View.Settings = line;
    else if (line.rfind("Nastavení kamery změněno", 0) == 0)
      View.SettingChanges.push_back(line);
  }
}

// The printed squares' outline in the photo: the inner corners' grid carried a square out on
// every side by the perspective the corners show. Every point inside lies on the board.
// Empty when the corners fit no perspective.
std::vector<cv::Point2f> PrintedOutline(const std::vector<cv::Point2f>& Corners,
                                        const TBoard& Board) {
  std::vector<cv::Point2f> grid;
  for (int r = 0; r < Board.Rows; ++r)
    for (int c = 0; c < Board.Columns; ++c) grid.emplace_back(float(c), float(r));
  const cv::Mat toPhoto = cv::findHomography(grid, Corners, 0);
  std::vector<cv::Point2f> outline;
  const float right = float(Board.Columns), bottom = float(Board.Rows);
  if (!toPhoto.empty())
    cv::perspectiveTransform(
        std::vector<cv::Point2f>{{-1, -1}, {right, -1}, {right, bottom}, {-1, bottom}}, outline,
        toPhoto);
  return outline;
}

std::string LitPhotoPath(const std::string& Dir, std::string* Error) {
  const auto names = ReadScanIndex(Dir, Error);
  return names ? Dir + "/" + (*names)[1] : std::string();
}

}  // namespace

cv::Mat ReadLitGray(const std::string& Path) {
  const cv::Mat colour = cv::imread(Path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (colour.empty()) return {};
  std::vector<cv::Mat> channels;
  cv::split(colour, channels);
  return cv::max(cv::max(channels[0], channels[1]), channels[2]);
}

TCalibrationView CalibrationViewOf(const std::string& Dir, const TCheckResult& Check,
                                   const TBoard& Board, const THomographyOptions& Options) {
  TCalibrationView view;
  view.Name = Dir;
  ReadSettings(Dir, view);
  std::string error;
  view.LitPhoto = LitPhotoPath(Dir, &error);
  if (view.LitPhoto.empty()) {
    view.Problem = error;
    return view;
  }
  const cv::Mat photo = ReadLitGray(view.LitPhoto);
  if (photo.empty()) {
    view.Problem = "osvětlený snímek " + view.LitPhoto + " nelze přečíst";
    return view;
  }
  view.PhotoSize = photo.size();
  if (photo.cols != Check.PhotoWidth || photo.rows != Check.PhotoHeight) {
    view.Problem = "osvětlený snímek má jiný rozměr než ostatní snímky skenu";
    return view;
  }
  TBoardCorners corners = FindBoardCorners(photo, Board);
  if (corners.Missing != TBoardMissing::None) {
    view.Missing = corners.Missing;
    view.Problem = BoardMissingText(corners.Missing) +
                   (corners.Figure.empty() ? std::string() : " (" + corners.Figure + ")");
    return view;
  }
  view.Corners = std::move(corners.Corners);
  const std::vector<TDecodedPoint> points = ReadPoints(Check);
  const std::vector<cv::Point2f> outline = PrintedOutline(view.Corners, Board);
  for (const TDecodedPoint& point : points)
    if (!outline.empty() && cv::pointPolygonTest(outline, point.Camera, false) >= 0)
      view.OnBoard.push_back(point);
  view.BoardPoints = int(view.OnBoard.size());
  view.ProjectorCorners = ProjectorCorners(view.Corners, Board, points, Options);
  if (view.ProjectorCornerCount() == 0)
    view.Problem = "deska nalezena, ale žádný její roh nemá kolem sebe dost přečtených bodů (" +
                   std::to_string(view.BoardPoints) +
                   " bodů na desce): deska není osvětlena rastrem nebo body nejsou čitelné";
  return view;
}

std::optional<TCalibrationView> ReadCalibrationView(const std::string& Dir, const TBoard& Board,
                                                    const THomographyOptions& Options,
                                                    std::string* Error) {
  const TCheckRaster raster = RecordedRaster(Dir).value_or(TCheckRaster{});
  const auto check = CheckScanFolder(Dir, raster, Error);
  if (!check) return std::nullopt;
  return CalibrationViewOf(Dir, *check, Board, Options);
}

TCalibrationOutcome CalibrateFromPhotos(std::vector<TCalibrationView>& Views, const TBoard& Board,
                                        const TCalibrationOptions& Options) {
  TCalibrationOutcome first = Calibrate(Views, Board, Options);
  if (!first.Calibration) return first;
  std::vector<TCalibrationView> before = Views;
  // Once is enough: a second round moves no figure of the calibration in its fourth digit.
  const TCameraModel& lens = first.Calibration->Rig.Camera;
  for (TCalibrationView& view : Views) {
    if (!view.Problem.empty() || view.LitPhoto.empty()) continue;
    const cv::Mat photo = ReadLitGray(view.LitPhoto);
    if (photo.size() != view.PhotoSize || photo.size() != lens.Size) continue;
    RefitBoardCorners(photo, Board, lens, view.Corners);
    // Each corner's projector place from the points about its new place; the points on the
    // printed squares reach past every corner's window.
    view.ProjectorCorners = ProjectorCorners(view.Corners, Board, view.OnBoard, Options.Homography);
  }
  TCalibrationOutcome second = Calibrate(Views, Board, Options);
  if (second.Calibration) return second;
  // The views as the calibration that stands saw them.
  Views = std::move(before);
  return first;
}

std::string CalibrationReportPath(const std::string& File) {
  const std::size_t dot = File.rfind('.');
  const std::size_t slash = File.rfind('/');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (extension ? File.substr(0, dot) : File) + ".txt";
}

std::string CalibrationPicturePath(const std::string& File, int View) {
  const std::string report = CalibrationReportPath(File);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-view%02d.png", View + 1);
  return report.substr(0, report.size() - 4) + suffix;
}

std::optional<TCalibrationRun> RunCalibration(
    const std::vector<std::string>& Dirs, const TBoard& Board, const TCalibrationOptions& Options,
    const std::string& File, std::string* Error,
    const std::function<void(int View, const TCalibrationView&)>& Progress) {
  TCalibrationRun run;
  for (const std::string& dir : Dirs) {
    auto view = ReadCalibrationView(dir, Board, Options.Homography, Error);
    if (!view) return std::nullopt;
    run.Views.push_back(std::move(*view));
    if (Progress) Progress(int(run.Views.size()) - 1, run.Views.back());
  }
  run.Outcome = CalibrateFromPhotos(run.Views, Board, Options);
  if (run.Outcome.Calibration) {
    if (!WriteCalibrationFile(File, *run.Outcome.Calibration, Error)) return std::nullopt;
    run.Written.push_back(File);
  }
  const std::string report = CalibrationReportPath(File);
  {
    std::ofstream out(report, std::ios::binary | std::ios::trunc);
    out << CalibrationReportText(File, run.Views, Board, run.Outcome);
    if (!out.flush()) {
      if (Error) *Error = report + ": cannot be written";
      return std::nullopt;
    }
  }
  run.Written.push_back(report);
  for (std::size_t v = 0; v < run.Views.size(); ++v) {
    const TCalibrationView& view = run.Views[v];
    if (view.LitPhoto.empty()) continue;
    const cv::Mat photo =
        cv::imread(view.LitPhoto, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    if (photo.empty()) continue;
    const std::string path = CalibrationPicturePath(File, int(v));
    bool written = false;
    try {
      written = cv::imwrite(path, ViewPicture(photo, run.Views, int(v), Board, run.Outcome));
    } catch (const cv::Exception&) {
    }
    if (!written) {
      if (Error) *Error = path + ": cannot be written";
      return std::nullopt;
    }
    run.Written.push_back(path);
  }
  return run;
}
