#include <QImageReader>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <unordered_map>

#include "check/Aim.h"
#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// Blobs filed by the photo cell their centre lies in, for the nearest one to a place.
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

  // The blob nearest At within Reach, other than Except; -1 when none.
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

  // Every blob within Reach of blob B, but B.
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

std::string Decimal(double Value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", Value);
  std::string s = text;
  std::replace(s.begin(), s.end(), '.', ',');
  return s;
}

}  // namespace

TAimResult TScanDecoder::Aim() const {
  TAimResult result;
  result.Raster = Raster;
  result.PhotoWidth = FWidth;
  result.PhotoHeight = FHeight;
  result.Preview = Preview;
  result.PreviewScale = PreviewScale;
  // Aiming reads no codes: any raster the projector draws will do.
  const int n = Raster.Rows > 0 && Raster.Columns > 0 ? Raster.Count() : 0;
  const int columns = std::max(1, Raster.Columns);
  result.Expected = n;
  result.States.assign(std::size_t(n), TPointState::Unread);
  result.Positions.assign(std::size_t(n), QPointF(NaN, NaN));

  // The points that the check would read: whole, not specks, not merged.
  const double mergedArea = MergedArea();
  std::vector<QPointF> centre;
  std::vector<double> solidAreas, peaks;
  int merged = 0;
  for (const TBlob& blob : Blobs) {
    const TBlobKind kind = KindOf(blob, mergedArea);
    merged += kind == TBlobKind::Merged;
    if (kind != TBlobKind::Point) continue;
    centre.emplace_back(blob.X, blob.Y);
    solidAreas.push_back(blob.Area);
    peaks.push_back(blob.Peak);
  }
  const int solid = int(centre.size());
  result.PointSize = solid ? std::sqrt(Median(solidAreas)) : 0;
  const double pointLight = solid ? Median(peaks) : 0;
  if (n == 0) return result;
  if (solid == 0) {
    // Light from the points all over, yet no point stands apart: they merge.
    result.TooClose = LitPixels >= std::size_t(std::max(1, n));
    result.TooFaint = !result.TooClose;
    result.Missing = n;
    return result;
  }
  result.TooFaint = pointLight < 5 * Noise;
  result.TooClose = merged > std::max(1, solid / 20);

  // The steps to the next column and row: the median of the vectors to each
  // point's nearest neighbours, across and down.
  const double cell = std::max(4.0, 1.5 * std::sqrt(double(FWidth) * FHeight / solid));
  const TBlobGrid grid(centre, FWidth, FHeight, cell);
  std::vector<QPointF> across, down;
  for (int b = 0; b < solid; ++b) {
    const int nearest = grid.Nearest(centre[std::size_t(b)], cell, b);
    if (nearest < 0) continue;
    const double reach = 1.4 * Length(centre[std::size_t(nearest)] - centre[std::size_t(b)]);
    for (int other : grid.Around(b, reach)) {
      QPointF d = centre[std::size_t(other)] - centre[std::size_t(b)];
      if (std::abs(d.x()) >= std::abs(d.y()))
        across.push_back(d.x() < 0 ? -d : d);
      else
        down.push_back(d.y() < 0 ? -d : d);
    }
  }
  QPointF ex = MedianOf(across), ey = MedianOf(down);
  if (!Known(ex) && !Known(ey)) {
    result.Missing = n;
    return result;
  }
  // A single row or column: the other step turned by a right angle.
  if (!Known(ex)) ex = QPointF(ey.y(), -ey.x());
  if (!Known(ey)) ey = QPointF(-ex.y(), ex.x());
  result.Spacing = std::min(Length(ex), Length(ey));
  result.TooSmall = result.PointSize < std::sqrt(3.0) || result.Spacing < 4;

  // Rows and columns by growing from the middle point: each point's neighbours
  // lie a step away, the step as measured at the point; gaps of up to two
  // missing points are bridged.
  std::vector<QPointF> xs = centre;
  std::sort(xs.begin(), xs.end(), [](const QPointF& A, const QPointF& B) { return A.x() < B.x(); });
  const double middleX = xs[xs.size() / 2].x();
  std::sort(xs.begin(), xs.end(), [](const QPointF& A, const QPointF& B) { return A.y() < B.y(); });
  const int seed = grid.Nearest(QPointF(middleX, xs[xs.size() / 2].y()), 1e9);
  struct TNode {
    int Column = 0, Row = 0;
    QPointF StepX, StepY;
    bool Assigned = false;
  };
  std::vector<TNode> node(static_cast<std::size_t>(solid));
  std::unordered_map<long long, int> at;
  auto key = [](int Column, int Row) { return (long long)(Column) * 1000003LL + Row; };
  node[std::size_t(seed)] = {0, 0, ex, ey, true};
  at[key(0, 0)] = seed;
  std::deque<int> queue{seed};
  while (!queue.empty()) {
    const int b = queue.front();
    queue.pop_front();
    const TNode here = node[std::size_t(b)];
    const double tolerance = 0.3 * std::min(Length(here.StepX), Length(here.StepY));
    const struct {
      int Dc, Dr;
    } moves[4] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& move : moves) {
      const QPointF step = here.StepX * move.Dc + here.StepY * move.Dr;
      for (int k = 1; k <= 3; ++k) {
        const int next = grid.Nearest(centre[std::size_t(b)] + step * k, tolerance);
        if (next < 0) continue;
        const int column = here.Column + move.Dc * k, row = here.Row + move.Dr * k;
        TNode& there = node[std::size_t(next)];
        if (!there.Assigned && !at.count(key(column, row))) {
          const QPointF measured = (centre[std::size_t(next)] - centre[std::size_t(b)]) / k;
          there = {column, row, move.Dc ? measured * move.Dc : here.StepX,
                   move.Dr ? measured * move.Dr : here.StepY, true};
          at[key(column, row)] = next;
          queue.push_back(next);
        }
        break;
      }
    }
  }

  // Specks of noise or stray light form no lattice: with most of the points off
  // it, or hardly any, nothing is placed.
  const int assigned = int(std::count_if(node.begin(), node.end(), [](const TNode& P) { return P.Assigned; }));
  if (assigned < std::max(std::min(8, n), solid / 2)) {
    result.TooClose = result.TooClose || (LitPixels >= std::size_t(n) && merged > 0);
    // Fewer pixels lit well above the noise than the raster has points: the light is too weak.
    result.TooFaint = result.TooFaint || LitPixels < std::size_t(n);
    result.Missing = n;
    return result;
  }
  // A camera on its side: the lattice's rows are the raster's columns.
  {
    int c0 = 0, c1 = 0, r0 = 0, r1 = 0;
    for (const TNode& p : node)
      if (p.Assigned)
        c0 = std::min(c0, p.Column), c1 = std::max(c1, p.Column), r0 = std::min(r0, p.Row),
        r1 = std::max(r1, p.Row);
    const int across = c1 - c0 + 1, down = r1 - r0 + 1;
    if ((across > Raster.Columns || down > Raster.Rows) && across <= Raster.Rows &&
        down <= Raster.Columns) {
      at.clear();
      for (std::size_t b = 0; b < node.size(); ++b) {
        TNode& p = node[b];
        if (!p.Assigned) continue;
        std::swap(p.Column, p.Row);
        std::swap(p.StepX, p.StepY);
        at[key(p.Column, p.Row)] = int(b);
      }
    }
  }

  // Which lattice column is the raster's first: where points of the lattice's
  // outer line have no neighbour beyond them although that place lies in view
  // (half a step inside the photo, as a found point does), the raster ends; where
  // it would lie outside, it may go on.
  int cmin = 0, cmax = 0, rmin = 0, rmax = 0;
  for (const TNode& p : node)
    if (p.Assigned)
      cmin = std::min(cmin, p.Column), cmax = std::max(cmax, p.Column),
      rmin = std::min(rmin, p.Row), rmax = std::max(rmax, p.Row);
  auto ends = [&](bool Columns, int Line, int Direction) {
    int inside = 0, all = 0;
    for (std::size_t b = 0; b < node.size(); ++b) {
      const TNode& p = node[b];
      if (!p.Assigned || (Columns ? p.Column : p.Row) != Line) continue;
      const QPointF step = Columns ? p.StepX : p.StepY;
      const QPointF q = centre[b] + step * Direction;
      const double edge = Length(step) / 2;
      ++all;
      inside += q.x() >= edge && q.y() >= edge && q.x() < FWidth - edge && q.y() < FHeight - edge;
    }
    // A few points of the line are enough: a tilted raster may leave the photo along the rest.
    return inside >= std::min(3, (all + 1) / 2) ? inside : 0;
  };
  auto first = [](int Low, int High, int LowEnds, int HighEnds, int Count, bool& Guessed) {
    if (LowEnds && LowEnds >= HighEnds) return Low;
    if (HighEnds) return High - (Count - 1);
    Guessed = High - Low + 1 < Count;
    return Low - (Count - (High - Low + 1)) / 2;
  };
  const int column0 = first(cmin, cmax, ends(true, cmin, -1), ends(true, cmax, 1), Raster.Columns,
                            result.ColumnsGuessed);
  const int row0 = first(rmin, rmax, ends(false, rmin, -1), ends(false, rmax, 1), Raster.Rows,
                         result.RowsGuessed);
  result.Placed = true;

  // Found points where they lie, the others a step per row and column from the
  // nearest found one.
  std::vector<int> blobOf(std::size_t(n) + 1, -1);
  for (int i = 1; i <= n; ++i) {
    const auto found = at.find(key(column0 + (i - 1) % columns, row0 + (i - 1) / columns));
    if (found == at.end()) continue;
    blobOf[std::size_t(i)] = found->second;
    result.Positions[std::size_t(i - 1)] = centre[std::size_t(found->second)];
    result.States[std::size_t(i - 1)] = TPointState::Read;
    ++result.InView;
  }
  std::vector<char> found(std::size_t(n) + 1, 0);
  for (int i = 1; i <= n; ++i) found[std::size_t(i)] = blobOf[std::size_t(i)] >= 0;
  const std::vector<int> source = NearestKnown(columns, found);
  const double edge = std::max(1.0, result.Spacing / 2);
  for (int i = 1; i <= n; ++i) {
    const int s = source[std::size_t(i)];
    if (!s || blobOf[std::size_t(i)] >= 0) continue;
    const TNode& from = node[std::size_t(blobOf[std::size_t(s)])];
    const int dr = (i - 1) / columns - (s - 1) / columns, dc = (i - 1) % columns - (s - 1) % columns;
    const QPointF q = centre[std::size_t(blobOf[std::size_t(s)])] + from.StepX * dc + from.StepY * dr;
    result.Positions[std::size_t(i - 1)] = q;
    TPointState& state = result.States[std::size_t(i - 1)];
    if (q.x() < 0 || q.y() < 0 || q.x() >= FWidth || q.y() >= FHeight)
      state = TPointState::Outside, ++result.Outside;
    else if (q.x() < edge || q.y() < edge || q.x() >= FWidth - edge || q.y() >= FHeight - edge)
      state = TPointState::Cut, ++result.Cut;
    else
      ++result.Missing;
  }

  double left = 1e18, right = -1e18, top = 1e18, bottom = -1e18;
  for (const QPointF& q : result.Positions)
    if (Known(q))
      left = std::min(left, q.x()), right = std::max(right, q.x()), top = std::min(top, q.y()),
      bottom = std::max(bottom, q.y());
  result.MarginLeft = left;
  result.MarginRight = FWidth - right;
  result.MarginTop = top;
  result.MarginBottom = FHeight - bottom;

  // Neighbours whose light does not dip between them by three noise deviations
  // and a quarter of their light cannot be told apart.
  int pairs = 0, blurred = 0;
  for (int i = 1; i <= n; ++i) {
    const int b = blobOf[std::size_t(i)];
    if (b < 0) continue;
    const int row = (i - 1) / columns, column = (i - 1) % columns;
    for (const int j : {column + 1 < columns ? i + 1 : 0, row + 1 < Raster.Rows ? i + columns : 0}) {
      if (!j || blobOf[std::size_t(j)] < 0) continue;
      const QPointF a = centre[std::size_t(b)], c = centre[std::size_t(blobOf[std::size_t(j)])];
      const double peak = std::min(LightAt(a), LightAt(c)), between = LightAt((a + c) / 2);
      if (std::isnan(peak) || std::isnan(between)) continue;
      ++pairs;
      blurred += peak - between < std::max(3 * Noise, 0.25 * peak);
    }
  }
  result.TooClose = result.TooClose || blurred > std::max(1, pairs / 20);
  return result;
}

std::optional<TAimResult> AimAtRaster(const TCheckRaster& Raster, const QImage& Dark,
                                      const QImage& Points, std::string* Error) {
  TScanDecoder decoder(Raster);
  if (!decoder.SetDarkAndPoints(Dark, Points, Error)) return std::nullopt;
  return decoder.Aim();
}

std::optional<TAimResult> AimAtRasterFiles(const TCheckRaster& Raster, const std::string& DarkPath,
                                           const std::string& PointsPath, std::string* Error) {
  QImageReader::setAllocationLimit(MaxPhotoMegabytes);
  QImage photos[2];
  const std::string paths[2] = {DarkPath, PointsPath};
  for (int k = 0; k < 2; ++k) {
    QImageReader reader(QString::fromStdString(paths[k]));
    photos[k] = reader.read();
    if (photos[k].isNull()) {
      if (Error) *Error = paths[k] + ": cannot be read: " + reader.errorString().toStdString();
      return std::nullopt;
    }
  }
  std::string problem;
  auto result = AimAtRaster(Raster, photos[0], photos[1], &problem);
  if (!result && Error) *Error = PointsPath + ": " + problem;
  return result;
}

std::string TAimResult::Summary() const {
  std::string text =
      "Zaměření: " + std::to_string(InView) + "/" + std::to_string(Expected) + " bodů v záběru";
  if (Outside) text += ", " + std::to_string(Outside) + " mimo snímek";
  if (Cut) text += ", " + std::to_string(Cut) + " na okraji snímku";
  if (Placed && Missing) text += ", v záběru nenalezeno: " + std::to_string(Missing);
  if (Placed) {
    auto margin = [](double Value) { return std::to_string(int(std::lround(Value))); };
    text += "; okraje vlevo " + margin(MarginLeft) + ", vpravo " + margin(MarginRight) +
            ", nahoře " + margin(MarginTop) + ", dole " + margin(MarginBottom) + " px";
    if (ColumnsGuessed || RowsGuessed) text += " (rastr přesahuje snímek, poloha odhadnuta)";
    text += "; bod " + Decimal(PointSize) + " px, rozteč " + Decimal(Spacing) + " px";
  }
  std::vector<std::string> problems;
  if (TooSmall) problems.push_back("body příliš malé pro kontrolu");
  if (TooClose) problems.push_back("body příliš blízko pro kontrolu, jejich světlo splývá");
  if (TooFaint) problems.push_back("body příliš slabé proti šumu");
  if (problems.empty() && Placed) problems.push_back("velikost a rozteč bodů pro kontrolu stačí");
  if (problems.empty() && PointSize > 0) problems.push_back("nalezené body netvoří mřížku rastru");
  if (problems.empty()) problems.push_back("žádný bod nenalezen");
  text += ";";
  for (std::size_t k = 0; k < problems.size(); ++k) text += (k ? ", " : " ") + problems[k];
  return text;
}
