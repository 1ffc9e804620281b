#pragma once

// A picture of a scan's points: seen from a little above and to the side,
// coloured by depth, with the depth's scale and a length scale in millimetres.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/PointCloud.h"

struct TCloudView {
  cv::Size Size{1024, 768};
  // Turned about the vertical and the horizontal axis through the points' middle, degrees.
  double AsideDegrees = 25, AboveDegrees = 20;
};

// 8-bit BGR; orthographic, so the length scale holds across the picture. Marked
// points are white crosses. An empty cloud gives a picture that says so.
cv::Mat DrawCloud(const std::vector<TCloudPoint>& Cloud, const TCloudView& View = {});

// Writes DrawCloud's picture as PNG to Path (under a temporary name, then
// renamed). False with Error naming the file.
bool WriteCloudPicture(const std::string& Path, const std::vector<TCloudPoint>& Cloud,
                       std::string* Error, const TCloudView& View = {});
