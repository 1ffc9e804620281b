#pragma once

// The fit of a board's inner corners to the photo about each, by least squares on a
// model of the print's edges, blur and light.

#include <opencv2/core.hpp>
#include <vector>

#include "geometry/CameraModel.h"

// Each corner of the grid in Corners fitted where the photo shows it. The search now
// and then puts a corner pixels astray: a corner whose fit fails from there is fitted
// again from where its fitted neighbours place it. A corner that cannot be fitted
// keeps the search's place, and no other corner moves for it. With Lens (the camera's,
// once calibrated), each edge is bent as the lens bends a straight edge there.
void FitCorners(const cv::Mat& Gray, const TBoard& Board, std::vector<cv::Point2f>& Corners,
                const TCameraModel* Lens);
