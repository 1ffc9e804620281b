#pragma once

// A checked scan's read points in space: with a calibration in force they are
// placed and written beside the index as "corvalet-points.ply" and
// "corvalet-3d.png", and summed up in one line for the report and the log.

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "check/ScanCheck.h"
#include "geometry/CalibrationFile.h"
#include "geometry/PointCloud.h"

// The station's projection bitmap (the projection window's client area), pixels.
inline const cv::Size StationProjectionSize{1016, 734};

// Where the centre of the raster point in Row and Column lies in the projector's
// bitmap: its square covers Size pixels from its offset. Pixels, origin at the
// centre of the top-left pixel.
cv::Point2d RasterPointCentre(const TCheckRaster& Raster, int Row, int Column);

// Every read point of Result but those whose light a shadow's edge cuts (their
// place in the photo is not their centre's): its place in the photo and in the
// projector's bitmap, and its grey level in the all-points photo.
std::vector<TRasterPoint> ReadRasterPoints(const TCheckResult& Result);

// Result's read points placed by Calibration (read from CalibrationFile), or
// nullopt with Error naming the file when its photo or projection size differs
// from Result's photos or Projection (both sizes named).
std::optional<std::vector<TCloudPoint>> PlaceScanPoints(
    const TCheckResult& Result, const TCalibration& Calibration, const std::string& CalibrationFile,
    std::string* Error, cv::Size Projection = StationProjectionSize);

// Writes Cloud into Dir as "corvalet-points.ply" and "corvalet-3d.png". False
// with Error naming the file.
bool WriteScanPoints3d(const std::string& Dir, const std::vector<TCloudPoint>& Cloud,
                       const std::string& CalibrationFile, std::string* Error);

// The "3D: ..." line for Cloud, placed from Result's points, with the count of read
// points left out beside a shadow.
std::string Points3dText(const TCheckResult& Result, const std::vector<TCloudPoint>& Cloud);

// Removes Dir's PLY file and picture.
void RemoveScanPoints3d(const std::string& Dir);
