#include "check/ScanPoints3d.h"

#include <cmath>
#include <filesystem>

#include "geometry/Calibrate.h"
#include "geometry/CloudPicture.h"
#include "geometry/PointCloudFile.h"

cv::Point2d RasterPointCentre(const TCheckRaster& Raster, int Row, int Column) {
  const double half = (Raster.Size - 1) / 2.0;
  return {Raster.OffsetX + Column * double(Raster.Spacing) + half,
          Raster.OffsetY + Row * double(Raster.Spacing) + half};
}

std::vector<TRasterPoint> ReadRasterPoints(const TCheckResult& Result) {
  std::vector<TRasterPoint> points;
  const int columns = std::max(1, Result.Raster.Columns);
  for (std::size_t i = 0; i < Result.States.size() && i < Result.Positions.size(); ++i) {
    const QPointF at = Result.Positions[i];
    if (Result.States[i] != TPointState::Read || !std::isfinite(at.x()) || !std::isfinite(at.y()))
      continue;
    if (i < Result.PartlyLit.size() && Result.PartlyLit[i]) continue;
    TRasterPoint point;
    point.Number = int(i) + 1;
    point.Row = int(i) / columns;
    point.Column = int(i) % columns;
    // The check counts pixel (c, r) as [c, c+1); here its centre is c.
    point.CameraPx = {at.x() - 0.5, at.y() - 0.5};
    point.ProjectorPx = RasterPointCentre(Result.Raster, point.Row, point.Column);
    if (i < Result.Peaks.size()) point.Brightness = Result.Peaks[i];
    points.push_back(point);
  }
  return points;
}

std::optional<std::vector<TCloudPoint>> PlaceScanPoints(const TCheckResult& Result,
                                                        const TCalibration& Calibration,
                                                        const std::string& CalibrationFile,
                                                        std::string* Error, cv::Size Projection) {
  const TRigGeometry& rig = Calibration.Rig;
  std::string mismatch =
      CalibrationMismatch(rig, cv::Size(Result.PhotoWidth, Result.PhotoHeight), Projection);
  for (const auto* side : {&rig.Camera, &rig.Projector})
    if (mismatch.empty()) mismatch = DistortionProblem(*side);
  if (!mismatch.empty()) {
    if (Error) *Error = CalibrationFile + ": kalibrace k tomuto skenu nepatří: " + mismatch;
    return std::nullopt;
  }
  return PlaceRasterPoints(rig, ReadRasterPoints(Result));
}

bool WriteScanPoints3d(const std::string& Dir, const std::vector<TCloudPoint>& Cloud,
                       const std::string& CalibrationFile, std::string* Error) {
  return WritePointCloudPly(Dir + "/corvalet-points.ply", Cloud, CalibrationFile, Error) &&
         WriteCloudPicture(Dir + "/corvalet-3d.png", Cloud, Error);
}

std::string Points3dText(const TCheckResult& Result, const std::vector<TCloudPoint>& Cloud) {
  TCloudSummary summary = SummariseCloud(Cloud);
  for (std::size_t i = 0; i < Result.States.size() && i < Result.PartlyLit.size(); ++i)
    summary.PartlyLit += Result.States[i] == TPointState::Read && Result.PartlyLit[i];
  return summary.Text();
}

void RemoveScanPoints3d(const std::string& Dir) {
  std::error_code ignored;
  std::filesystem::remove(Dir + "/corvalet-points.ply", ignored);
  std::filesystem::remove(Dir + "/corvalet-3d.png", ignored);
}
