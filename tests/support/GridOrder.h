#pragma once

// A board's grid may be found from either end: a turn by half a circle gives the same
// picture of a board whose counts are both even or both odd.

#include <algorithm>
#include <opencv2/core.hpp>
#include <vector>

// Truth (a board's corners, its own order) in the order of Found, the same corners as found.
inline std::vector<cv::Point2f> InFoundOrder(std::vector<cv::Point2f> Truth,
                                             const std::vector<cv::Point2f>& Found) {
  if (!Found.empty() && !Truth.empty() &&
      cv::norm(Found[0] - Truth.back()) < cv::norm(Found[0] - Truth[0]))
    std::reverse(Truth.begin(), Truth.end());
  return Truth;
}
