#pragma once

// A scan's read points placed in space, each with how well it fits: the rays'
// gap, the reprojection error, and a mark when it lies off its neighbours'
// surface or fits badly. Marked points are kept, never dropped.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/Triangulation.h"

// A raster point read in a scan: its number, row and column in the raster,
// where it lies in the photo and where its centre lies in the projector's
// bitmap (pixels, origin at the centre of the top-left pixel), and its grey
// level in the photo (0-255).
struct TRasterPoint {
  int Number = 0, Row = 0, Column = 0;
  cv::Point2d CameraPx, ProjectorPx;
  float Brightness = 0;
};

struct TCloudPoint {
  int Number = 0, Row = 0, Column = 0;
  cv::Point3f CameraMm;  // camera coordinates
  float RayGapMm = 0;
  // The larger of the camera's and the projector's reprojection errors.
  float ReprojectionPx = 0;
  float Brightness = 0;
  bool Marked = false;
};

struct TCloudOptions {
  TTriangulation Method = TTriangulation::ProjectorRay;
  // A point whose reprojection error exceeds this is marked, pixels.
  double MaxReprojectionPx = 1.0;
  // A point farther than this share of the local raster step from the plane of
  // its neighbours on the same surface is marked.
  double OffSurfaceShare = 0.3;
  // Neighbours up to this many rows and columns away describe a point's surface.
  int NeighbourReach = 2;
};

// Every point of Points that the rays place (in front of both), in Points' order.
std::vector<TCloudPoint> PlaceRasterPoints(const TRigGeometry& Rig,
                                           const std::vector<TRasterPoint>& Points,
                                           const TCloudOptions& Options = {});

// Marks the points that lie off their neighbours' surface. Neighbours are found
// by row and column; only those on the point's own surface (near it in space,
// judged by the local raster step) count, so a depth edge marks nothing.
void MarkOffSurface(std::vector<TCloudPoint>& Cloud, const TCloudOptions& Options = {});

// What the operator reads of a cloud.
struct TCloudSummary {
  int Placed = 0, Marked = 0;
  // Read points left out: a shadow's edge cuts their light (set by the caller).
  int PartlyLit = 0;
  double NearestMm = 0, FarthestMm = 0;           // depth (z) range
  double MedianGapMm = 0, Percentile95GapMm = 0;  // the rays' gap
  double MedianReprojectionPx = 0, Percentile95ReprojectionPx = 0;

  // "3D: 9512 bodů, hloubka 612,3–705,8 mm, mezera paprsků medián 0,004 mm,
  // 95 % 0,011 mm, 3 označených", then ", 2 vynechaných u hrany stínu" when some were left out
  std::string Text() const;
};
TCloudSummary SummariseCloud(const std::vector<TCloudPoint>& Cloud);
