#include "check/CheckGeometry.h"

#include <bit>
#include <cstdio>
#include <deque>
#include <map>
#include <numeric>

namespace scan_check {

namespace {

// Points of a block within this many raster steps of the main body, and how many of
// them it takes to tell a surface of its own from a plane's fault.
constexpr int Beside = 3;
constexpr int MinBeside = 4;

}  // namespace

double Median(std::vector<double>& Values) {
  if (Values.empty()) return NaN;
  auto middle = Values.begin() + std::ptrdiff_t(Values.size() / 2);
  std::nth_element(Values.begin(), middle, Values.end());
  return *middle;
}

int FindRoot(std::vector<int>& Parent, int X) {
  while (Parent[std::size_t(X)] != X) {
    Parent[std::size_t(X)] = Parent[std::size_t(Parent[std::size_t(X)])];
    X = Parent[std::size_t(X)];
  }
  return X;
}

std::string SizeText(int Width, int Height) {
  return std::to_string(Width) + " x " + std::to_string(Height) + " pixels";
}

TPointGrid::TPointGrid(int Width, int Height, double Cell)
    : Cell(Cell),
      Columns(int(Width / Cell) + 1),
      Rows(int(Height / Cell) + 1),
      Cells(std::size_t(Columns) * Rows) {}

void TPointGrid::Add(int Index, const QPointF& At) {
  Cells[std::size_t(std::clamp(int(At.y() / Cell), 0, Rows - 1)) * Columns +
        std::clamp(int(At.x() / Cell), 0, Columns - 1)]
      .push_back({Index, At});
}

int TPointGrid::Nearest(const QPointF& At, int Ring, bool Within, double& Best,
                        const std::function<bool(int Index)>& Counts) const {
  const int gx = int(At.x() / Cell), gy = int(At.y() / Cell);
  int nearest = 0;
  for (int y = std::max(0, gy - Ring); y <= std::min(Rows - 1, gy + Ring); ++y)
    for (int x = std::max(0, gx - Ring); x <= std::min(Columns - 1, gx + Ring); ++x) {
      if (!Within && std::max(std::abs(x - gx), std::abs(y - gy)) != Ring) continue;
      for (const auto& [index, point] : Cells[std::size_t(y) * Columns + x]) {
        const QPointF d = point - At;
        const double distance = std::hypot(d.x(), d.y());
        if (distance < Best && (!Counts || Counts(index))) Best = distance, nearest = index;
      }
    }
  return nearest;
}

std::vector<int> NearestKnown(int Columns, const std::vector<char>& Known) {
  const int n = Known.empty() ? 0 : int(Known.size()) - 1;
  const int rows = (n + Columns - 1) / Columns;
  std::vector<int> source(std::size_t(n) + 1, 0);
  std::deque<int> queue;
  for (int i = 1; i <= n; ++i)
    if (Known[std::size_t(i)]) source[std::size_t(i)] = i, queue.push_back(i);
  while (!queue.empty()) {
    const int i = queue.front();
    queue.pop_front();
    const int row = (i - 1) / Columns, column = (i - 1) % Columns;
    const int steps[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    for (const auto& step : steps) {
      const int r = row + step[0], c = column + step[1];
      const int j = r * Columns + c + 1;
      if (r < 0 || c < 0 || r >= rows || c >= Columns || j > n) continue;
      if (source[std::size_t(j)]) continue;
      source[std::size_t(j)] = source[std::size_t(i)];
      queue.push_back(j);
    }
  }
  return source;
}

bool RasterOffset(const QPointF& D, const QPointF& Ex, const QPointF& Ey, double& Column,
                  double& Row) {
  const double det = Ex.x() * Ey.y() - Ex.y() * Ey.x();
  if (std::abs(det) < 1e-9) return false;
  Column = (D.x() * Ey.y() - D.y() * Ey.x()) / det;
  Row = (Ex.x() * D.y() - Ex.y() * D.x()) / det;
  return true;
}

// A whole block of points can be self-consistent and still lie where other numbers
// belong, as when two bit-planes trade places. Blocks of raster neighbours that
// agree with one another are joined; a block other than the largest is kept when
// the largest one's points beside it in the photo imply the same numbers, or when
// it lies on another surface: an object before the wall shifts the numbers beside
// it by its depth, so they differ from the implied ones by varying bits.
void RejectForeignBlocks(const TCheckRaster& Raster, int Width, int Height,
                         std::vector<int>& Accepted, std::vector<char>& Good,
                         const std::vector<QPointF>& Centre, const std::vector<QPointF>& StepX,
                         const std::vector<QPointF>& StepY) {
  const int n = int(Accepted.size()) - 1, columns = std::max(1, Raster.Columns);
  if (n <= 0) return;
  std::vector<int> parent(std::size_t(n) + 1);
  std::iota(parent.begin(), parent.end(), 0);
  auto fits = [&](int I, int J, const QPointF& Step) {
    const QPointF miss = Centre[std::size_t(Accepted[std::size_t(J)])] -
                         Centre[std::size_t(Accepted[std::size_t(I)])] - Step;
    return Known(Step) && std::hypot(miss.x(), miss.y()) <= 0.35 * std::hypot(Step.x(), Step.y());
  };
  for (int i = 1; i <= n; ++i) {
    if (Accepted[std::size_t(i)] < 0) continue;
    const int column = (i - 1) % columns;
    const int right = i + 1, below = i + columns;
    if (column + 1 < columns && Accepted[std::size_t(right)] >= 0 &&
        fits(i, right, StepX[std::size_t(i)]))
      parent[std::size_t(FindRoot(parent, right))] = FindRoot(parent, i);
    if (below <= n && Accepted[std::size_t(below)] >= 0 && fits(i, below, StepY[std::size_t(i)]))
      parent[std::size_t(FindRoot(parent, below))] = FindRoot(parent, i);
  }
  std::vector<std::vector<int>> blocks(std::size_t(n) + 1);
  for (int i = 1; i <= n; ++i)
    if (Accepted[std::size_t(i)] >= 0) blocks[std::size_t(FindRoot(parent, i))].push_back(i);
  std::vector<int> order;
  for (int i = 1; i <= n; ++i)
    if (!blocks[std::size_t(i)].empty()) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](int A, int B) {
    return blocks[std::size_t(A)].size() > blocks[std::size_t(B)].size();
  });
  if (order.size() < 2) return;
  // The main body, by photo cell, to find the points beside a block.
  const QPointF step = StepX[std::size_t(blocks[std::size_t(order[0])][0])];
  const double cell = std::max(2.0, std::hypot(step.x(), step.y()));
  TPointGrid grid(Width, Height, cell);
  auto add = [&](int I) { grid.Add(I, Centre[std::size_t(Accepted[std::size_t(I)])]); };
  for (int i : blocks[std::size_t(order[0])]) add(i);
  for (std::size_t k = 1; k < order.size(); ++k) {
    const std::vector<int>& block = blocks[std::size_t(order[k])];
    int agree = 0, asked = 0;
    // Next to the main body: by how many bits each number differs from the one implied there.
    std::map<int, int> flips;
    int beside = 0;
    const std::size_t every = std::max<std::size_t>(1, block.size() / 24);
    for (std::size_t at = 0; at < block.size(); ++at) {
      const int i = block[at];
      const QPointF q = Centre[std::size_t(Accepted[std::size_t(i)])];
      int nearest = 0;
      double best = std::numeric_limits<double>::max();
      // Rings of cells outwards until one holds a point of the main body; for all but
      // the sampled points only the nearest rings.
      const bool sampled = at % every == 0;
      for (int ring = 0; ring <= (sampled ? grid.Span() : Beside) && !nearest; ++ring)
        nearest = grid.Nearest(q, ring, false, best);
      if (!nearest) continue;
      const QPointF ex = StepX[std::size_t(nearest)], ey = StepY[std::size_t(nearest)];
      const QPointF d = q - Centre[std::size_t(Accepted[std::size_t(nearest)])];
      double dc = 0, dr = 0;
      if (!Known(ex) || !Known(ey) || !RasterOffset(d, ex, ey, dc, dr)) continue;
      const int row = (nearest - 1) / columns + int(std::lround(dr)),
                column = (nearest - 1) % columns + int(std::lround(dc));
      if (std::hypot(dr, dc) <= Beside && row >= 0 && column >= 0 && column < columns &&
          row * columns + column < n) {
        ++beside;
        ++flips[CheckCodeOf(i) ^ CheckCodeOf(row * columns + column + 1)];
      }
      if (!sampled) continue;
      // Far from the main body the local steps extrapolate less well.
      const double miss = std::hypot((nearest - 1) / columns + dr - (i - 1) / columns,
                                     (nearest - 1) % columns + dc - (i - 1) % columns);
      ++asked;
      agree += miss <= 0.5 + 0.1 * std::hypot(dr, dc);
    }
    // Numbers that differ from the main body's by one or two bits throughout are a
    // plane's fault; numbers shifted by an object's depth differ by varying bits.
    int common = 0, bits = 0;
    for (const auto& [flip, count] : flips)
      if (count > common) common = count, bits = std::popcount(unsigned(flip));
    const bool planeFault = bits <= 2 && 4 * common >= 3 * beside;
    const bool anotherSurface = beside >= MinBeside && !planeFault;
    if (asked == 0 || 2 * agree > asked || anotherSurface) {
      for (int i : block) add(i);
      continue;
    }
    for (int i : block) {
      Good[std::size_t(Accepted[std::size_t(i)])] = 0;
      Accepted[std::size_t(i)] = -1;
    }
  }
}

TPlacement PlaceByNeighbours(const TCheckRaster& Raster, int Width, int Height,
                             const std::vector<std::vector<int>>& Candidates,
                             const std::vector<QPointF>& Centre) {
  const int n = int(Candidates.size()) - 1, columns = std::max(1, Raster.Columns);
  const std::size_t blobs = Centre.size();
  const QPointF unknown(NaN, NaN);
  // A raster without points, or one that cannot be checked, has no indices to walk.
  if (n <= 0) return {{-1}, std::vector<char>(blobs, 0), {unknown}, {unknown}, unknown, unknown};
  std::vector<int> accepted(std::size_t(n) + 1, -1);
  for (int i = 1; i <= n; ++i)
    if (Candidates[std::size_t(i)].size() == 1)
      accepted[std::size_t(i)] = Candidates[std::size_t(i)][0];
  auto pitch = [&](int Row, int Column, int Radius, bool Across) {
    std::vector<double> dx, dy;
    for (int r = std::max(0, Row - Radius); r <= std::min(Raster.Rows - 1, Row + Radius); ++r)
      for (int c = std::max(0, Column - Radius); c <= std::min(columns - 1, Column + Radius); ++c) {
        const int r2 = Across ? r : r + 1, c2 = Across ? c + 1 : c;
        if (r < 0 || c < 0 || r2 >= Raster.Rows || c2 >= Raster.Columns) continue;
        const int a = accepted[std::size_t(r * columns + c + 1)];
        const int b = accepted[std::size_t(r2 * columns + c2 + 1)];
        if (a < 0 || b < 0) continue;
        dx.push_back(Centre[std::size_t(b)].x() - Centre[std::size_t(a)].x());
        dy.push_back(Centre[std::size_t(b)].y() - Centre[std::size_t(a)].y());
      }
    return QPointF(Median(dx), Median(dy));
  };
  const int wholeRaster = std::max(Raster.Rows, Raster.Columns);
  QPointF globalX = pitch(0, 0, wholeRaster, true), globalY = pitch(0, 0, wholeRaster, false);
  std::vector<QPointF> stepX(std::size_t(n) + 1, QPointF(NaN, NaN)), stepY = stepX;
  // How firmly Blob's neighbours put it where it lies for number Index: Lines plus how
  // many neighbours do, or only how many lines of them run on to it; 0 for neither.
  constexpr int Lines = 8;
  auto agreement = [&](int Blob, int Index) {
    const int row = (Index - 1) / columns, column = (Index - 1) % columns;
    QPointF ex = pitch(row, column, 2, true), ey = pitch(row, column, 2, false);
    if (!Known(ex)) ex = globalX;
    if (!Known(ey)) ey = globalY;
    if (!Known(ex) || !Known(ey)) return 0;
    stepX[std::size_t(Index)] = ex;
    stepY[std::size_t(Index)] = ey;
    const double tolerance =
        std::max(1.5, 0.35 * std::min(std::hypot(ex.x(), ex.y()), std::hypot(ey.x(), ey.y())));
    // Two neighbours that put it where it lies vouch for it: those on its own surface
    // do, while those beyond a depth edge (an object before the wall) lie elsewhere.
    for (int radius : {2, 5}) {
      int neighbours = 0, agreeing = 0;
      for (int r = std::max(0, row - radius); r <= std::min(Raster.Rows - 1, row + radius); ++r)
        for (int c = std::max(0, column - radius); c <= std::min(columns - 1, column + radius);
             ++c) {
          const int j = accepted[std::size_t(r * columns + c + 1)];
          if (j < 0 || j == Blob) continue;
          const QPointF predicted = Centre[std::size_t(j)] + ex * (column - c) + ey * (row - r);
          const QPointF miss = Centre[std::size_t(Blob)] - predicted;
          ++neighbours;
          agreeing += std::hypot(miss.x(), miss.y()) <= tolerance;
        }
      if (neighbours >= 2) {
        if (agreeing >= 2) return Lines + agreeing;
        break;
      }
    }
    // Where a surface turns away at its rim, the raster's step there grows or shrinks
    // from point to point and no one step fits the neighbourhood. Two lines of neighbours
    // on its own surface still run on to it: two steps along a line, the second about
    // as long as the first. (A sliver of a point's light that a rim puts on the surface
    // behind may lie where that surface's lines run on to, as its neighbours there place
    // it too: the shadow beside it keeps it out of space.)
    int lines = 0;
    for (int dr = -1; dr <= 1; ++dr)
      for (int dc = -1; dc <= 1; ++dc) {
        const int r1 = row - dr, c1 = column - dc, r2 = row - 2 * dr, c2 = column - 2 * dc;
        if ((!dr && !dc) || r2 < 0 || c2 < 0 || r2 >= Raster.Rows || c2 >= columns) continue;
        const int near = accepted[std::size_t(r1 * columns + c1 + 1)];
        const int far = accepted[std::size_t(r2 * columns + c2 + 1)];
        if (near < 0 || far < 0 || near == Blob || far == Blob) continue;
        const QPointF step = Centre[std::size_t(near)] - Centre[std::size_t(far)];
        const QPointF miss = Centre[std::size_t(Blob)] - Centre[std::size_t(near)] - step;
        lines +=
            std::hypot(miss.x(), miss.y()) <= std::max(1.5, 0.35 * std::hypot(step.x(), step.y()));
      }
    return lines >= 2 ? lines : 0;
  };
  std::vector<char> good(blobs, 0);
  std::vector<int> votes(blobs, 0);
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 1; i <= n; ++i)
      for (int b : Candidates[std::size_t(i)]) votes[std::size_t(b)] = agreement(b, i);
    for (std::size_t b = 0; b < blobs; ++b) good[b] = votes[b] > 0;
    // The second pass leans only on neighbours that passed the first. Of two spots that
    // spell one number on two surfaces (a sliver of a point's light past a rim), the one
    // more of its neighbours vouch for stands for it; lines alone vouch less than they.
    for (int i = 1; i <= n; ++i) {
      int best = -1, most = 0, tied = 0;
      for (int b : Candidates[std::size_t(i)]) {
        const int v = votes[std::size_t(b)];
        if (v > most)
          best = b, most = v, tied = 0;
        else if (v > 0 && v == most)
          ++tied;
      }
      accepted[std::size_t(i)] = most > 0 && !tied ? best : -1;
    }
    globalX = pitch(0, 0, wholeRaster, true);
    globalY = pitch(0, 0, wholeRaster, false);
  }
  RejectForeignBlocks(Raster, Width, Height, accepted, good, Centre, stepX, stepY);
  return {std::move(accepted), std::move(good), std::move(stepX),
          std::move(stepY),    globalX,         globalY};
}

}  // namespace scan_check
