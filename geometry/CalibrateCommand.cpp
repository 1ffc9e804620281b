#include "geometry/CalibrateCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <cmath>
#include <cstdio>

#include "geometry/CalibrationRun.h"

namespace {

std::string Fixed(double Value, int Decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", Decimals, Value);
  return text;
}

}  // namespace

int RunCalibrateCommand(const QStringList& Arguments, std::ostream& Out, std::ostream& Err) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Calibrates the camera, the projector and the pair from scans of a printed checkerboard.");
  const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
  const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
  const QCommandLineOption board(
      "board", "The board: inner corners across and down, and a square's side in mm, e.g. 9x6:25.",
      "COLUMNSxROWS:SQUARE_MM");
  const QCommandLineOption out("out",
                               "The calibration file to write (default "
                               "corvalet-calibration.yml); the report and the pictures go "
                               "beside it.",
                               "FILE", "corvalet-calibration.yml");
  const QCommandLineOption projector(
      "projector", "The projection bitmap's size (default 1016x734, the station's).",
      "WIDTHxHEIGHT");
  const QCommandLineOption minPoints(
      "min-points", "Fewest read points about a corner for its projector place (default 12).", "N");
  const QCommandLineOption inliers(
      "inlier-share", "Least share of those points the corner's fit must agree with (default 0.8).",
      "SHARE");
  parser.addOptions({help, version, board, out, projector, minPoints, inliers});
  parser.addPositionalArgument("DIR", "Scan folders of the board, one per view.", "DIR...");
  const std::string program =
      Arguments.isEmpty() ? "corvalet-calibrate" : QFileInfo(Arguments[0]).fileName().toStdString();
  auto usage = [&](const std::string& Problem) {
    Err << program << ": " << Problem << "\n"
        << "Try '" << program << " --help'.\n";
    return 2;
  };

  if (!parser.parse(Arguments)) return usage(parser.errorText().toStdString());
  if (parser.isSet(help)) {
    Out << parser.helpText().toStdString();
    return 0;
  }
  if (parser.isSet(version)) {
    const QString text = QCoreApplication::applicationVersion();
    Out << program << " " << (text.isEmpty() ? std::string("0.1") : text.toStdString()) << "\n";
    return 0;
  }
  if (!parser.isSet(board)) return usage("--board COLUMNSxROWS:SQUARE_MM is needed");
  const auto given = TBoard::Parse(parser.value(board).toStdString());
  if (!given)
    return usage("--board " + parser.value(board).toStdString() +
                 ": expected COLUMNSxROWS:SQUARE_MM, inner corners (at least 3 x 2) and the "
                 "square's side in mm, e.g. 9x6:25");
  TCalibrationOptions options;
  options.ProjectorSize = StationProjectionSize;
  if (parser.isSet(projector)) {
    int width = 0, height = 0;
    char tail = 0;
    const std::string text = parser.value(projector).toStdString();
    if (std::sscanf(text.c_str(), "%dx%d%c", &width, &height, &tail) != 2 || width < 1 ||
        height < 1 || width > 16384 || height > 16384)
      return usage("--projector " + text + ": expected WIDTHxHEIGHT in pixels, e.g. 1016x734");
    options.ProjectorSize = {width, height};
  }
  if (parser.isSet(minPoints)) {
    bool ok = false;
    options.Homography.MinPoints = parser.value(minPoints).toInt(&ok);
    if (!ok || options.Homography.MinPoints < 4 || options.Homography.MinPoints > 10000)
      return usage("--min-points " + parser.value(minPoints).toStdString() +
                   ": expected a whole number from 4 to 10000");
  }
  if (parser.isSet(inliers)) {
    bool ok = false;
    options.Homography.MinInlierShare = parser.value(inliers).toDouble(&ok);
    if (!ok || !(options.Homography.MinInlierShare > 0 && options.Homography.MinInlierShare <= 1))
      return usage("--inlier-share " + parser.value(inliers).toStdString() +
                   ": expected a share above 0 and at most 1, e.g. 0.8");
  }
  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) return usage("expected the scan folders of the board's views");
  std::vector<std::string> dirs;
  for (const QString& dir : positional) {
    if (!QFileInfo(dir).isDir()) {
      Err << program << ": " << dir.toStdString() << ": not a folder\n";
      return 2;
    }
    dirs.push_back(dir.toStdString());
  }
  const std::string file = parser.value(out).toStdString();
  if (QFileInfo(parser.value(out)).isDir()) {
    Err << program << ": --out " << file << ": is a folder, expected a file name\n";
    return 2;
  }

  std::string error;
  const auto run = RunCalibration(
      dirs, *given, options, file, &error, [&](int View, const TCalibrationView& Read) {
        Out << "Pohled " << View + 1 << " (" << Read.Name << "): " << Read.Summary() << "\n"
            << std::flush;
      });
  if (!run) {
    Err << program << ": " << error << "\n";
    return 2;
  }
  for (const std::string& finding : run->Outcome.Findings) Out << "! " << finding << "\n";
  if (!run->Outcome.Calibration) {
    Out << "Kalibrace nevznikla; zpráva: " << CalibrationReportPath(file) << "\n";
    return 1;
  }
  const TCalibration& result = *run->Outcome.Calibration;
  Out << "Kalibrace: chyba kamery " << Fixed(result.CameraRms, 3) << " px, projektoru "
      << Fixed(result.ProjectorRms, 3) << " px, dvojice " << Fixed(result.StereoRms, 3)
      << " px, základna " << Fixed(result.Rig.BaselineMm(), 2) << " mm\n"
      << "Zapsáno: " << file << ", zpráva " << CalibrationReportPath(file) << "\n";
  return 0;
}
