#pragma once

// Aiming's match of the points found in the all-points photo to the raster's rows
// and columns, by their places alone: the photos cannot tell one point from another.

#include <QPointF>
#include <vector>

#include "check/ScanCheck.h"

namespace scan_check {

// A found point's place in the lattice: its column and row counted from the point
// the lattice grew from, and the photo's steps to the next column and row there.
struct TLatticeNode {
  int Column = 0, Row = 0;
  QPointF StepX, StepY;
  bool Assigned = false;
};

struct TLatticeMatch {
  // The steps to the next column and row over the whole photo, in photo pixels;
  // NaN when no point has a neighbour.
  QPointF StepX, StepY;
  std::vector<TLatticeNode> Nodes;  // per found point, as Centres lists them
  // Whether the lattice was matched to the raster, and then the lattice column and
  // row of the raster's first point.
  bool Placed = false;
  int Column0 = 0, Row0 = 0;
  // Not placed: most points lie on no common lattice; or they do, but it fits the
  // raster neither way round or contradicts itself, so its rows and columns are unknown.
  bool NoLattice = false, Misfit = false;
  // The raster runs past the photo on both sides across (or down): where it begins
  // is then a guess from the middle.
  bool ColumnsGuessed = false, RowsGuessed = false;
};

// Matches Centres, the points found in a Width x Height photo, to Raster's rows and
// columns: upright or on its side (the raster's rows across or down the photo), not
// upside down.
TLatticeMatch MatchLattice(const std::vector<QPointF>& Centres, const TCheckRaster& Raster,
                           int Width, int Height);

}  // namespace scan_check
