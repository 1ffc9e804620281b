#include "check/CheckCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include "check/ScanPoints3d.h"

int RunCheckCommand(const QStringList& Arguments, std::ostream& Out, std::ostream& Err,
                    const TCheckRaster& Raster) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Reads every point's number back from the photos of a scan and says whether all were read.");
  const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
  const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
  const QCommandLineOption raster(
      "raster", "The raster in force during the scan: LHX,LHY,ROWS,COLUMNS,SIZE,SPACING.",
      "values");
  const QCommandLineOption noReport(
      "no-report",
      "Do not write corvalet-check.txt, .png and corvalet-points.csv beside the index.");
  const QCommandLineOption calibration(
      "calibration",
      "Place the read points in space with this calibration and write corvalet-points.ply and "
      "corvalet-3d.png beside the index.",
      "file");
  parser.addOptions({help, version, raster, noReport, calibration});
  parser.addPositionalArgument("DIR", "The scan folder, holding corvalet.sbf and its photos.");
  const std::string program =
      Arguments.isEmpty() ? "corvalet-check" : QFileInfo(Arguments[0]).fileName().toStdString();

  if (!parser.parse(Arguments)) {
    Err << program << ": " << parser.errorText().toStdString() << "\n"
        << "Try '" << program << " --help'.\n";
    return 2;
  }
  if (parser.isSet(help)) {
    Out << parser.helpText().toStdString();
    return 0;
  }
  if (parser.isSet(version)) {
    const QString text = QCoreApplication::applicationVersion();
    Out << program << " " << (text.isEmpty() ? std::string("0.1") : text.toStdString()) << "\n";
    return 0;
  }
  const QStringList positional = parser.positionalArguments();
  if (positional.size() != 1) {
    Err << program << ": expected one scan folder, got " << positional.size() << "\n"
        << "Try '" << program << " --help'.\n";
    return 2;
  }
  const std::string dir = positional[0].toStdString();
  if (!QFileInfo(positional[0]).isDir()) {
    Err << program << ": " << dir << ": not a folder\n";
    return 2;
  }
  TCheckRaster used = Raster;
  if (parser.isSet(raster)) {
    const auto given = TCheckRaster::Parse(parser.value(raster).toStdString());
    if (!given) {
      Err << program << ": --raster " << parser.value(raster).toStdString()
          << ": expected six whole numbers LHX,LHY,ROWS,COLUMNS,SIZE,SPACING with at most 16384 "
             "points and a spacing of 1 or more\n";
      return 2;
    }
    used = *given;
  } else if (const auto recorded = RecordedRaster(dir)) {
    used = *recorded;
  }
  std::string error;
  // A calibration that cannot be read is refused before the photos are decoded.
  const std::string calibrationFile = parser.value(calibration).toStdString();
  std::optional<TCalibration> rig;
  if (parser.isSet(calibration) && !(rig = ReadCalibrationFile(calibrationFile, &error))) {
    Err << program << ": " << error << "\n";
    return 2;
  }
  auto result = CheckScanFolder(dir, used, &error);
  if (!result) {
    Err << program << ": " << error << "\n";
    return 2;
  }
  std::optional<std::vector<TCloudPoint>> cloud;
  if (rig) {
    cloud = PlaceScanPoints(*result, *rig, calibrationFile, &error);
    if (!cloud) {
      Err << program << ": " << error << "\n";
      return 2;
    }
    result->Points3d = Points3dText(*result, *cloud);
  }
  Out << result->Verdict() << "\n";
  if (cloud) Out << result->Points3d << "\n";
  if (!parser.isSet(noReport) &&
      (!WriteCheckReport(dir, *result, &error) ||
       (cloud && !WriteScanPoints3d(dir, *cloud, calibrationFile, &error)))) {
    Err << program << ": " << error << "\n";
    return 2;
  }
  return result->AllRead() ? 0 : 1;
}
