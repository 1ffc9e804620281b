#pragma once

// A scan's 3D points against the simulated rig's truth: every point's error
// against its true centre, and the fit of the surface the scene knows.

#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/PointCloud.h"

// One Markdown row's cells for Cloud against TruthCsv (the rig's per-scan file:
// number,row,column,x,y,X,Y,Z,view) and the rig.yml beside it: points placed,
// marked, and placed though the truth calls them in shadow or hidden; every
// point's error against its true centre, median and 95th percentile (mm); then,
// of the points neither marked nor in shadow or hidden, those whose true centre
// lies on the wall (RMS and mean offset from the true plane, mm) and on the
// sphere (the sphere fitted to them against the true one: radius and centre, mm).
std::string Points3dTruthRow(const std::vector<TCloudPoint>& Cloud, const std::string& TruthCsv);

// One point of the rig's per-scan truth file: its centre in the photo (origin at the
// top-left pixel's centre), in space (camera frame, mm) and its view (inside, edge, ...).
struct TPointTruth {
  cv::Point2d Photo;
  cv::Point3d CameraMm;
  std::string View;
};
// The points of TruthCsv by number, those with a place in space.
std::map<int, TPointTruth> ReadPointTruth(const std::string& TruthCsv);

// The header of those rows.
extern const char Points3dTruthHeader[];
