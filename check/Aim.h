#pragma once

// Aiming before a scan: from a photo of the dark field and one of all points,
// which of the raster's points the camera sees, where the rest would lie, and
// whether the points are large and far enough apart for the scan check.

#include <QImage>
#include <QPointF>
#include <QSize>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "check/ScanCheck.h"

struct TAimResult {
  TCheckRaster Raster;
  int PhotoWidth = 0, PhotoHeight = 0;
  // Points of the raster; found wholly in view; cut by the photo's edge; outside it;
  // in view but not found (too dark there, or hidden).
  int Expected = 0, InView = 0, Cut = 0, Outside = 0, Missing = 0;
  // Per point, Index - 1: Read (found), Cut, Outside or Unread, and where it lies
  // or would lie in the photo (NaN when unknown; pixel (c, r) covers [c, c+1) x [r, r+1)).
  std::vector<TPointState> States;
  std::vector<QPointF> Positions;
  // Whether the found points could be matched to the raster's rows and columns.
  bool Placed = false;
  // They lie on a lattice, but one that fits the raster neither way round or
  // contradicts itself: no place is given rather than a wrong one.
  bool Unmatched = false;
  // Where the raster begins across (or down) is a guess from the middle: it runs past
  // the photo on both sides, or fewer of its lines were found than it has.
  bool ColumnsGuessed = false, RowsGuessed = false;
  // From the raster's outer points to the photo's edges, pixels; negative past them.
  double MarginLeft = 0, MarginRight = 0, MarginTop = 0, MarginBottom = 0;
  // Medians over the points found: the side of a point as the check cuts it, and
  // the step to the next point, in photo pixels (0 when none was found).
  double PointSize = 0, Spacing = 0;
  // What keeps the check from reading points: too small to measure, so close
  // or blurred that their light merges, too faint above the sensor's noise.
  bool TooSmall = false, TooClose = false, TooFaint = false;
  // The all-points photo in grey, at most 2048 pixels a side, and its scale.
  QImage Preview;
  double PreviewScale = 1.0;

  // "Zaměření: 9600/9600 bodů v záběru, ..." for the log and the aim window.
  std::string Summary() const;
  // For a placed raster that runs past the photo: what to do, in the operator's words.
  std::string FramingAdvice() const;
};

// Finds the raster's points in the two photos with the scan check's reading;
// nullopt with Error when the photos cannot be used (empty, unequal sizes). Cancel,
// when given, is looked at between the steps: once it is set, the rest is left
// undone and the result is nullopt with Error "cancelled".
std::optional<TAimResult> AimAtRaster(const TCheckRaster& Raster, const QImage& Dark,
                                      const QImage& Points, std::string* Error,
                                      const std::atomic<bool>* Cancel = nullptr);

// The same from the two photos on disk; Error names the file that cannot be read.
std::optional<TAimResult> AimAtRasterFiles(const TCheckRaster& Raster, const std::string& DarkPath,
                                           const std::string& PointsPath, std::string* Error,
                                           const std::atomic<bool>* Cancel = nullptr);

// The all-points photo scaled to fit Fit, widened to show points outside it,
// with the raster's outline and its points: found in green, cut or outside in red,
// in view but not found in yellow.
QImage AimPicture(const TAimResult& Result, QSize Fit);
