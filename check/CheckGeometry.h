#pragma once

// What the scan check's decoding, judging and reporting share.

#include <QPointF>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "check/ScanCheck.h"
#include "platform/DecimalText.h"

namespace scan_check {

constexpr int PlaneCount = 14;
constexpr int PhotoCount = 17;
constexpr int MaxSide = 8192;
constexpr int PreviewSide = 2048;
inline const double NaN = std::numeric_limits<double>::quiet_NaN();

// The median, reordering Values; NaN when there are none.
double Median(std::vector<double>& Values);
// Union-find root with path halving.
int FindRoot(std::vector<int>& Parent, int X);
// "6000 x 4000 pixels"
std::string SizeText(int Width, int Height);

inline bool Known(const QPointF& Point) {
  return !std::isnan(Point.x());
}

// Raster indices filed by the photo cell their point lies in, so that the point
// nearest a place is found without measuring to every point.
class TPointGrid {
 public:
  TPointGrid(int Width, int Height, double Cell);
  void Add(int Index, const QPointF& At);
  // The index nearer At than Best among the cells exactly Ring cells away from
  // At's cell (all cells up to Ring when Within), of those Counts takes (all
  // without it); Best becomes its distance. 0 when there is none.
  int Nearest(const QPointF& At, int Ring, bool Within, double& Best,
              const std::function<bool(int Index)>& Counts = {}) const;
  int Span() const { return std::max(Columns, Rows); }

 private:
  double Cell;
  int Columns, Rows;
  std::vector<std::vector<std::pair<int, QPointF>>> Cells;
};

// D in raster steps: Column along Ex, Row along Ey. False when the steps are
// (nearly) parallel.
bool RasterOffset(const QPointF& D, const QPointF& Ex, const QPointF& Ey, double& Column,
                  double& Row);

// Drops blocks of accepted points (Accepted: raster index -> blob, -1 for none)
// whose numbers do not fit where the largest block lies; marks their blobs not Good.
void RejectForeignBlocks(const TCheckRaster& Raster, int Width, int Height,
                         std::vector<int>& Accepted, std::vector<char>& Good,
                         const std::vector<QPointF>& Centre, const std::vector<QPointF>& StepX,
                         const std::vector<QPointF>& StepY);

// Per raster index 1..n of a raster Columns wide (Known holds n + 1 entries, the
// first unused), the nearest index in steps along rows and columns for which
// Known holds; 0 where there is none.
std::vector<int> NearestKnown(int Columns, const std::vector<char>& Known);

// Which blob stands for each raster point, once its neighbours agree on where it lies.
struct TPlacement {
  std::vector<int> Accepted;  // per raster index 1..n: its blob, -1 for none
  std::vector<char> Good;     // per blob: lies where its neighbours put it
  // Per raster index: the photo's step to the next column and to the next row.
  std::vector<QPointF> StepX, StepY;
  QPointF GlobalX, GlobalY;  // the same steps over the whole raster
};
// Candidates: per raster index 1..n the blobs that spelled it; Centre: per blob.
TPlacement PlaceByNeighbours(const TCheckRaster& Raster, int Width, int Height,
                             const std::vector<std::vector<int>>& Candidates,
                             const std::vector<QPointF>& Centre);

}  // namespace scan_check
