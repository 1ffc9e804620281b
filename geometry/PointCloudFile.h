#pragma once

// The scan's points as a PLY file that common point-cloud viewers open as it
// is: binary little-endian, the unit, frame and calibration in its comments.

#include <string>
#include <vector>

#include "geometry/PointCloud.h"

// Per vertex: float x y z (mm, camera coordinates), int number row column,
// float residual (the rays' gap, mm), float reprojection (px), uchar
// brightness (0-255), uchar marked (1 when marked). Written under a temporary
// name and renamed, so Path is never left half written. False with Error
// naming the file and the reason.
bool WritePointCloudPly(const std::string& Path, const std::vector<TCloudPoint>& Cloud,
                        const std::string& CalibrationFile, std::string* Error);
