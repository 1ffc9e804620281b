#include "check/AimLattice.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <unordered_map>

#include "check/CheckGeometry.h"

namespace scan_check {

namespace {

// Points filed by the photo cell their centre lies in, for the nearest one to a place.
class TBlobGrid {
 public:
  TBlobGrid(const std::vector<QPointF>& Centres, int Width, int Height, double Cell)
      : Centres(Centres),
        Cell(Cell),
        Columns(int(Width / Cell) + 1),
        Rows(int(Height / Cell) + 1),
        Cells(std::size_t(Columns) * Rows) {
    for (std::size_t b = 0; b < Centres.size(); ++b) Cells[CellOf(Centres[b])].push_back(int(b));
  }

  // The point nearest At within Reach, other than Except; -1 when none.
  int Nearest(const QPointF& At, double Reach, int Except = -1) const {
    const int gx = int(std::floor(At.x() / Cell)), gy = int(std::floor(At.y() / Cell));
    const int ring = int(std::ceil(Reach / Cell));
    int nearest = -1;
    double best = Reach;
    for (int y = std::max(0, gy - ring); y <= std::min(Rows - 1, gy + ring); ++y)
      for (int x = std::max(0, gx - ring); x <= std::min(Columns - 1, gx + ring); ++x)
        for (int b : Cells[std::size_t(y) * Columns + x]) {
          if (b == Except) continue;
          const QPointF d = Centres[std::size_t(b)] - At;
          const double distance = std::hypot(d.x(), d.y());
          if (distance < best) best = distance, nearest = b;
        }
    return nearest;
  }

  // Every point within Reach of point B, but B.
  std::vector<int> Around(int B, double Reach) const {
    const QPointF at = Centres[std::size_t(B)];
    const int gx = int(at.x() / Cell), gy = int(at.y() / Cell), ring = int(std::ceil(Reach / Cell));
    std::vector<int> found;
    for (int y = std::max(0, gy - ring); y <= std::min(Rows - 1, gy + ring); ++y)
      for (int x = std::max(0, gx - ring); x <= std::min(Columns - 1, gx + ring); ++x)
        for (int b : Cells[std::size_t(y) * Columns + x]) {
          const QPointF d = Centres[std::size_t(b)] - at;
          if (b != B && std::hypot(d.x(), d.y()) <= Reach) found.push_back(b);
        }
    return found;
  }

 private:
  std::size_t CellOf(const QPointF& At) const {
    return std::size_t(std::clamp(int(At.y() / Cell), 0, Rows - 1)) * Columns +
           std::size_t(std::clamp(int(At.x() / Cell), 0, Columns - 1));
  }

  const std::vector<QPointF>& Centres;
  double Cell;
  int Columns, Rows;
  std::vector<std::vector<int>> Cells;
};

double Length(const QPointF& V) {
  return std::hypot(V.x(), V.y());
}

// The median of each coordinate; NaN when there are none.
QPointF MedianOf(const std::vector<QPointF>& Vectors) {
  std::vector<double> xs, ys;
  for (const QPointF& v : Vectors) xs.push_back(v.x()), ys.push_back(v.y());
  return {Median(xs), Median(ys)};
}

long long Key(int Column, int Row) {
  return (long long)(Column)*1000003LL + Row;
}

// The lowest and highest lattice column and row of the nodes assigned.
struct TExtent {
  int Column0 = 0, Column1 = 0, Row0 = 0, Row1 = 0;
  int Across() const { return Column1 - Column0 + 1; }
  int Down() const { return Row1 - Row0 + 1; }
};

TExtent ExtentOf(const std::vector<TLatticeNode>& Nodes) {
  TExtent extent;
  for (const TLatticeNode& p : Nodes)
    if (p.Assigned)
      extent.Column0 = std::min(extent.Column0, p.Column),
      extent.Column1 = std::max(extent.Column1, p.Column),
      extent.Row0 = std::min(extent.Row0, p.Row), extent.Row1 = std::max(extent.Row1, p.Row);
  return extent;
}

}  // namespace

TLatticeMatch MatchLattice(const std::vector<QPointF>& Centres, const TCheckRaster& Raster,
                           int Width, int Height) {
  TLatticeMatch match;
  match.StepX = match.StepY = QPointF(NaN, NaN);
  const int solid = int(Centres.size()), n = Raster.Count();
  match.NoLattice = true;
  if (solid == 0 || n <= 0) return match;

  // The steps to the next column and row: the median of the vectors to each
  // point's nearest neighbours, across and down.
  const double cell = std::max(4.0, 1.5 * std::sqrt(double(Width) * Height / solid));
  const TBlobGrid grid(Centres, Width, Height, cell);
  std::vector<QPointF> across, down;
  for (int b = 0; b < solid; ++b) {
    const int nearest = grid.Nearest(Centres[std::size_t(b)], cell, b);
    if (nearest < 0) continue;
    const double reach = 1.4 * Length(Centres[std::size_t(nearest)] - Centres[std::size_t(b)]);
    for (int other : grid.Around(b, reach)) {
      QPointF d = Centres[std::size_t(other)] - Centres[std::size_t(b)];
      if (std::abs(d.x()) >= std::abs(d.y()))
        across.push_back(d.x() < 0 ? -d : d);
      else
        down.push_back(d.y() < 0 ? -d : d);
    }
  }
  QPointF ex = MedianOf(across), ey = MedianOf(down);
  if (!Known(ex) && !Known(ey)) return match;
  // A single row or column: the other step turned by a right angle.
  if (!Known(ex)) ex = QPointF(ey.y(), -ey.x());
  if (!Known(ey)) ey = QPointF(-ex.y(), ex.x());
  match.StepX = ex;
  match.StepY = ey;

  // Rows and columns by growing from the middle point: each point's neighbours
  // lie a step away, the step as measured at the point; gaps of up to two
  // missing points are bridged.
  std::vector<QPointF> xs = Centres;
  std::sort(xs.begin(), xs.end(), [](const QPointF& A, const QPointF& B) { return A.x() < B.x(); });
  const double middleX = xs[xs.size() / 2].x();
  std::sort(xs.begin(), xs.end(), [](const QPointF& A, const QPointF& B) { return A.y() < B.y(); });
  const int seed = grid.Nearest(QPointF(middleX, xs[xs.size() / 2].y()), 1e9);
  std::vector<TLatticeNode>& node = match.Nodes;
  node.assign(std::size_t(solid), {});
  std::unordered_map<long long, int> at;
  node[std::size_t(seed)] = {0, 0, ex, ey, true};
  at[Key(0, 0)] = seed;
  std::deque<int> queue{seed};
  while (!queue.empty()) {
    const int b = queue.front();
    queue.pop_front();
    const TLatticeNode here = node[std::size_t(b)];
    const double tolerance = 0.3 * std::min(Length(here.StepX), Length(here.StepY));
    const int moves[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& move : moves) {
      const QPointF step = here.StepX * move[0] + here.StepY * move[1];
      for (int k = 1; k <= 3; ++k) {
        const int next = grid.Nearest(Centres[std::size_t(b)] + step * k, tolerance);
        if (next < 0) continue;
        const int column = here.Column + move[0] * k, row = here.Row + move[1] * k;
        TLatticeNode& there = node[std::size_t(next)];
        if (!there.Assigned && !at.count(Key(column, row))) {
          const QPointF measured = (Centres[std::size_t(next)] - Centres[std::size_t(b)]) / k;
          there = {column, row, move[0] ? measured * move[0] : here.StepX,
                   move[1] ? measured * move[1] : here.StepY, true};
          at[Key(column, row)] = next;
          queue.push_back(next);
        }
        break;
      }
    }
  }

  // Specks of noise or stray light form no lattice: with most of the points off
  // it, or hardly any, nothing is placed.
  const int assigned = int(
      std::count_if(node.begin(), node.end(), [](const TLatticeNode& P) { return P.Assigned; }));
  if (assigned < std::max(std::min(8, n), solid / 2)) return match;
  match.NoLattice = false;
  match.Misfit = true;

  // Points grown along different paths must agree: a lattice whose neighbours in
  // rows and columns lie elsewhere than a step apart has torn, and its numbering with it.
  int pairs = 0, torn = 0;
  for (std::size_t b = 0; b < node.size(); ++b) {
    const TLatticeNode& p = node[b];
    if (!p.Assigned) continue;
    for (const bool alongRow : {true, false}) {
      const auto next = at.find(alongRow ? Key(p.Column + 1, p.Row) : Key(p.Column, p.Row + 1));
      if (next == at.end()) continue;
      const QPointF step = alongRow ? p.StepX : p.StepY;
      ++pairs;
      torn += Length(Centres[std::size_t(next->second)] - Centres[b] - step) > 0.35 * Length(step);
    }
  }
  if (torn > std::max(2, pairs / 200)) return match;

  // Where points of the lattice's outer line have no neighbour beyond them
  // although that place lies in view (half a step inside the photo, as a found
  // point does), the raster ends; where it would lie outside, it may go on.
  auto ends = [&](bool Columns, int Line, int Direction) {
    int inside = 0, all = 0;
    for (std::size_t b = 0; b < node.size(); ++b) {
      const TLatticeNode& p = node[b];
      if (!p.Assigned || (Columns ? p.Column : p.Row) != Line) continue;
      const QPointF step = Columns ? p.StepX : p.StepY;
      const QPointF q = Centres[b] + step * Direction;
      const double edge = Length(step) / 2;
      ++all;
      inside += q.x() >= edge && q.y() >= edge && q.x() < Width - edge && q.y() < Height - edge;
    }
    // A few points of the line are enough: a tilted raster may leave the photo along the rest.
    return inside >= std::min(3, (all + 1) / 2) ? inside : 0;
  };

  // Which way round: the lattice's lines across are the raster's rows (upright) or
  // its columns (a camera on its side). Neither way may the lattice hold more lines
  // than the raster has; where both its ends lie in view it holds as many.
  TExtent extent = ExtentOf(node);
  const bool wholeAcross = ends(true, extent.Column0, -1) && ends(true, extent.Column1, 1);
  const bool wholeDown = ends(false, extent.Row0, -1) && ends(false, extent.Row1, 1);
  auto misfit = [&](int Columns, int Rows) {
    if (extent.Across() > Columns || extent.Down() > Rows) return INT_MAX;
    return (wholeAcross ? Columns - extent.Across() : 0) + (wholeDown ? Rows - extent.Down() : 0);
  };
  const int upright = misfit(Raster.Columns, Raster.Rows);
  const int side = misfit(Raster.Rows, Raster.Columns);
  if (upright == INT_MAX && side == INT_MAX) return match;
  if (side < upright) {
    for (std::size_t b = 0; b < node.size(); ++b) {
      TLatticeNode& p = node[b];
      if (!p.Assigned) continue;
      std::swap(p.Column, p.Row);
      std::swap(p.StepX, p.StepY);
    }
    extent = ExtentOf(node);
  }

  // Which lattice column is the raster's first: the one at an end in view. With
  // neither end in view, or both but fewer lines found than the raster has, it is
  // a guess, centred on what is seen.
  auto first = [](int Low, int High, int LowEnds, int HighEnds, int Count, bool& Guessed) {
    const int found = High - Low + 1;
    Guessed = found < Count && (LowEnds > 0) == (HighEnds > 0);
    if (LowEnds && !HighEnds) return Low;
    if (HighEnds && !LowEnds) return High - (Count - 1);
    return Low - (Count - found) / 2;
  };
  match.Column0 = first(extent.Column0, extent.Column1, ends(true, extent.Column0, -1),
                        ends(true, extent.Column1, 1), Raster.Columns, match.ColumnsGuessed);
  match.Row0 = first(extent.Row0, extent.Row1, ends(false, extent.Row0, -1),
                     ends(false, extent.Row1, 1), Raster.Rows, match.RowsGuessed);
  match.Misfit = false;
  match.Placed = true;
  return match;
}

}  // namespace scan_check
