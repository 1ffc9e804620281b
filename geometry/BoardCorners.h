#pragma once

// The board's inner corners in the lit-field photo, and each corner's place in
// the projector's bitmap from the coded points decoded about it.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/CameraModel.h"

// Why a photo shows no board.
enum class TBoardMissing {
  None,       // found
  TooDark,    // the photo is too dark to show the squares
  CutByEdge,  // part of the board lies beyond the photo's edge
  OtherSize,  // a board is there, but with other counts of inner corners than given
  NotInView,  // no board in the photo
};
// In the operator's words, e.g. "deska není v záběru".
std::string BoardMissingText(TBoardMissing Missing);

struct TBoardCorners {
  // Per board corner (Board.Points()'s order), camera pixels; empty when not found.
  std::vector<cv::Point2f> Corners;
  TBoardMissing Missing = TBoardMissing::None;
  // The measured figure behind Missing, e.g. "nejjasnější místa 23 úrovní z 255".
  std::string Figure;
};

// Finds Board's inner corners in Gray (8-bit, one channel), at sub-pixel
// accuracy; when it cannot, says why.
TBoardCorners FindBoardCorners(const cv::Mat& Gray, const TBoard& Board);

// Corners found in Gray fitted again, each edge bent as Lens (the camera's, once
// calibrated) bends a straight edge there: a straight edge fitted to a bent one takes
// the corner inwards, the board's grid looking smaller than it is. A corner whose fit
// fails keeps its place.
void RefitBoardCorners(const cv::Mat& Gray, const TBoard& Board, const TCameraModel& Lens,
                       std::vector<cv::Point2f>& Corners);

// A coded point read in a scan: where it lies in the photo and where its
// centre lies in the projector's bitmap, both in pixels.
struct TDecodedPoint {
  cv::Point2f Camera, Projector;
};

// How a corner's projector place is fitted from the points about it.
struct THomographyOptions {
  // Points within this share of the distance to the nearest neighbouring corner count.
  double WindowShare = 0.9;
  // Fewest points in the window, and the least share of them the fit must agree with.
  int MinPoints = 12;
  double MinInlierShare = 0.8;
  // A point agrees with the fit when it lands this close to its place, projector pixels.
  double InlierPx = 0.6;
  // Empty when the values can be used, else what is wrong with them.
  std::string Problem() const;
};

// Per corner of Corners (Board's order): its place in the projector's bitmap
// from a homography fitted robustly to the points within its window, or NaN
// where too few points are there or too few agree. A corner that fails leaves
// every other corner's place as it is.
std::vector<cv::Point2f> ProjectorCorners(const std::vector<cv::Point2f>& Corners,
                                          const TBoard& Board,
                                          const std::vector<TDecodedPoint>& Points,
                                          const THomographyOptions& Options);

// False for a corner marked not found (NaN).
inline bool Known(const cv::Point2f& Point) {
  return Point.x == Point.x && Point.y == Point.y;
}
