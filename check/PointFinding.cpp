#include "check/ScanCheck.h"

#include <QImage>
#include <algorithm>
#include <cmath>
#include <limits>

#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// A peak of the all-points photo: its pixel and its light as a share of the field's contrast.
struct TPeak {
  int X, Y;
  double Share;
};

// Per pixel of a Width x Height photo, the share at which the peak nearby is cut: Share
// times each peak's own share, within less than half the way to the next peak of Clear;
// infinity elsewhere. Peaks below a quarter of Typical are left out, far above the noise's own;
// a point on a surface seen at a grazing angle, squeezed into a sliver that blur dims, comes
// to under a third.
std::vector<float> OwnPeakThresholds(std::vector<TPeak> Clear, double Typical, double Share,
                                     int Width, int Height) {
  std::vector<float> out(std::size_t(Width) * Height, std::numeric_limits<float>::infinity());
  Clear.erase(std::remove_if(Clear.begin(), Clear.end(),
                             [&](const TPeak& P) { return 4 * P.Share < Typical; }),
              Clear.end());
  constexpr int cell = 16;
  const int cellColumns = Width / cell + 1, cellRows = Height / cell + 1;
  std::vector<std::vector<int>> cells(std::size_t(cellColumns) * cellRows);
  for (std::size_t k = 0; k < Clear.size(); ++k)
    cells[std::size_t(Clear[k].Y / cell) * cellColumns + Clear[k].X / cell].push_back(int(k));
  for (const TPeak& p : Clear) {
    double nearest = 2 * cell;
    for (int cy = std::max(0, p.Y / cell - 2); cy <= std::min(cellRows - 1, p.Y / cell + 2); ++cy)
      for (int cx = std::max(0, p.X / cell - 2); cx <= std::min(cellColumns - 1, p.X / cell + 2);
           ++cx)
        for (int k : cells[std::size_t(cy) * cellColumns + cx])
          if (Clear[std::size_t(k)].X != p.X || Clear[std::size_t(k)].Y != p.Y)
            nearest = std::min(
                nearest, std::hypot(Clear[std::size_t(k)].X - p.X, Clear[std::size_t(k)].Y - p.Y));
    const double reach = 0.45 * nearest;
    const float threshold = float(Share * p.Share);
    for (int y = std::max(0, p.Y - int(reach)); y <= std::min(Height - 1, p.Y + int(reach)); ++y)
      for (int x = std::max(0, p.X - int(reach)); x <= std::min(Width - 1, p.X + int(reach)); ++x) {
        float& at = out[std::size_t(y) * Width + x];
        if (std::hypot(x - p.X, y - p.Y) <= reach) at = std::min(at, threshold);
      }
  }
  return out;
}

}  // namespace

void TScanDecoder::BoxSum(const std::vector<std::uint8_t>& Photo,
                          const std::vector<std::uint8_t>* Minus,
                          std::vector<std::int16_t>& Out) const {
  Out.assign(Photo.size(), 0);
  const int w = FWidth;
  // Per row: the difference, then its sums over three columns (the edge repeated).
  std::vector<int> rows(std::size_t(w) * 3), line(std::size_t(w) + 2);
  auto rowSum = [&](int Y, int* Into) {
    const std::size_t row = std::size_t(std::clamp(Y, 0, FHeight - 1)) * w;
    const std::uint8_t* p = &Photo[row];
    const std::uint8_t* m = Minus ? &(*Minus)[row] : nullptr;
    for (int x = 0; x < w; ++x) line[std::size_t(x) + 1] = int(p[x]) - (m ? int(m[x]) : 0);
    line[0] = line[1];
    line[std::size_t(w) + 1] = line[std::size_t(w)];
    for (int x = 0; x < w; ++x)
      Into[x] = line[std::size_t(x)] + line[std::size_t(x) + 1] + line[std::size_t(x) + 2];
  };
  rowSum(-1, &rows[0]);
  rowSum(0, &rows[std::size_t(w)]);
  for (int y = 0; y < FHeight; ++y) {
    rowSum(y + 1, &rows[std::size_t((y + 2) % 3) * w]);
    const int* a = &rows[0];
    const int* b = &rows[std::size_t(w)];
    const int* c = &rows[std::size_t(2) * w];
    std::int16_t* out = &Out[std::size_t(y) * w];
    for (int x = 0; x < w; ++x) out[x] = std::int16_t(a[x] + b[x] + c[x]);
  }
}

bool TScanDecoder::SetAllPoints(const QImage& Points, std::string* Error) {
  if (Dark.empty()) {
    if (Error) *Error = "the dark and lit fields are missing";
    return false;
  }
  std::vector<std::uint8_t> points, measure;
  if (!Extract(Points, points, Error, &measure)) return false;
  BoxSum(points, &Dark, Smooth);
  // The points' peaks: local maxima of the smoothed light, well above the noise,
  // as shares of the field's contrast, filed by tile.
  const double floor = std::max(4.0, 5 * Noise / 3) * 9;
  TileColumns = (FWidth + Tile - 1) / Tile;
  const int tileRows = (FHeight + Tile - 1) / Tile;
  std::vector<std::vector<double>> tilePeaks(std::size_t(TileColumns) * tileRows);
  std::vector<double> peaks;
  // Peaks whose light stands five noise deviations clear of the dark field.
  std::vector<TPeak> clear;
  PeakPixels.clear();
  LitPixels = 0;
  const std::size_t w = std::size_t(FWidth);
  for (int y = 1; y + 1 < FHeight; ++y)
    for (int x = 1; x + 1 < FWidth; ++x) {
      const std::size_t i = std::size_t(y) * FWidth + x;
      if (Contrast[i] < MinContrast) continue;
      const int v = Smooth[i];
      if (v < floor) continue;
      ++LitPixels;
      // The highest within two pixels; ties go to the earlier pixel (above, or left in the
      // same row), so a flat top gives one peak.
      bool peak = true;
      for (int dy = -2; dy <= 2 && peak; ++dy)
        for (int dx = -2; dx <= 2 && peak; ++dx) {
          const int px = x + dx, py = y + dy;
          if ((!dx && !dy) || dx * dx + dy * dy > 5 || px < 0 || py < 0 || px >= FWidth ||
              py >= FHeight)
            continue;
          const int other = Smooth[std::size_t(py) * w + std::size_t(px)];
          peak = (dy < 0 || (dy == 0 && dx < 0)) ? v > other : v >= other;
        }
      if (peak) {
        PeakPixels.push_back(i);
        peaks.push_back(v / (9.0 * Contrast[i]));
        tilePeaks[std::size_t(y / Tile) * TileColumns + x / Tile].push_back(peaks.back());
        if (v >= 5 * Noise * 9) clear.push_back({x, y, peaks.back()});
      }
    }
  const double typical = peaks.empty() ? 0 : Median(peaks);
  // The noise's own peaks, far below the points', say nothing of how sharp the points are.
  for (auto& list : tilePeaks)
    list.erase(
        std::remove_if(list.begin(), list.end(), [&](double P) { return P < 0.5 * typical; }),
        list.end());
  // Each tile's threshold from the peaks around it, so that points that are sharper
  // or softer in one part of the photo (focus, depth of field) are cut alike.
  const double global = peaks.empty() ? 2.0 : CoreShare * typical;
  TileThreshold.assign(tilePeaks.size(), global);
  for (int ty = 0; ty < tileRows; ++ty)
    for (int tx = 0; tx < TileColumns; ++tx) {
      std::vector<double> around;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int x = tx + dx, y = ty + dy;
          if (x < 0 || y < 0 || x >= TileColumns || y >= tileRows) continue;
          const auto& list = tilePeaks[std::size_t(y) * TileColumns + x];
          around.insert(around.end(), list.begin(), list.end());
        }
      // Where no points lie, the noise's own peaks must not lower the threshold far.
      if (around.size() >= 5)
        TileThreshold[std::size_t(ty) * TileColumns + tx] =
            std::clamp(CoreShare * Median(around), 0.6 * global, 1.5 * global);
    }
  // A point dimmer or softer than those around it (a surface seen at a grazing angle, a
  // point beside a brighter one across a depth edge) is cut at the same share of its own
  // peak.
  PeakThreshold = OwnPeakThresholds(std::move(clear), typical, CoreShare, FWidth, FHeight);
  FindBlobs(points, {}, MeasureOf(points, measure));
  // Points that blur merged, or whose light two peaks show joined: cut them again higher. Where
  // a few joined (a depth edge), each pixel against the field's contrast at the nearest peak:
  // light that blur carries over a step of the field counts against the field it came from.
  const double merged = MergedArea();
  std::vector<std::uint8_t> raised;
  std::vector<std::size_t> tops;
  for (const TBlob& blob : Blobs) {
    if (blob.Area <= merged && blob.Peaks < 2) continue;
    if (raised.empty()) raised.assign(points.size(), 0);
    BlobTops(blob, tops);
    if (tops.size() > 4) tops.clear();  // blur merged many: each pixel against its own field
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        std::size_t top = i;
        double nearest = std::numeric_limits<double>::infinity();
        for (std::size_t t : tops) {
          const double d = std::hypot(int(t % FWidth) - x, int(t / FWidth) - run.Y);
          if (d < nearest) nearest = d, top = t;
        }
        raised[i] = std::max<std::uint8_t>(1, Contrast[top]);
      }
    }
  }
  if (!raised.empty()) FindBlobs(points, raised, MeasureOf(points, measure));
  const double scale = std::min(1.0, double(PreviewSide) / double(std::max(FWidth, FHeight)));
  PreviewScale = scale;
  Preview = Points.convertToFormat(QImage::Format_Grayscale8)
                .scaled(std::max(1, int(FWidth * scale)), std::max(1, int(FHeight * scale)),
                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
  return true;
}

void TScanDecoder::FindBlobs(const std::vector<std::uint8_t>& Points,
                             const std::vector<std::uint8_t>& Raised,
                             const std::vector<std::uint8_t>& Measure) {
  Runs.clear();
  Blobs.clear();
  Weights.clear();
  const double* tiles = nullptr;
  constexpr double raise = RaisedShare / CoreShare;
  auto inside = [&](std::size_t Row, int X) {
    const std::size_t i = Row + std::size_t(X);
    const bool raised = !Raised.empty() && Raised[i];
    const double share =
        std::min(tiles[X / Tile], double(PeakThreshold[i])) * (raised ? raise : 1.0);
    return Contrast[i] >= MinContrast &&
           Smooth[i] > share * 9.0 * (raised ? Raised[i] : Contrast[i]);
  };
  std::vector<int> parent;
  std::size_t previousFirst = 0, previousEnd = 0;
  for (int y = 0; y < FHeight; ++y) {
    const std::size_t row = std::size_t(y) * FWidth;
    const std::size_t first = Runs.size();
    tiles = &TileThreshold[std::size_t(y / Tile) * TileColumns];
    for (int x = 0; x < FWidth;) {
      if (!inside(row, x)) {
        ++x;
        continue;
      }
      const int x0 = x;
      while (x < FWidth && inside(row, x)) ++x;
      Runs.push_back({y, x0, x - 1});
      parent.push_back(int(Runs.size()) - 1);
    }
    // Runs of this row that share a column with runs of the row above join them.
    std::size_t above = previousFirst;
    for (std::size_t r = first; r < Runs.size(); ++r) {
      while (above < previousEnd && Runs[above].X1 < Runs[r].X0) ++above;
      for (std::size_t a = above; a < previousEnd && Runs[a].X0 <= Runs[r].X1; ++a) {
        const int ra = FindRoot(parent, int(a)), rr = FindRoot(parent, int(r));
        if (ra != rr) parent[std::size_t(std::max(ra, rr))] = std::min(ra, rr);
      }
    }
    previousFirst = first;
    previousEnd = Runs.size();
  }
  // Regroup the runs blob by blob.
  std::vector<int> root(Runs.size()), blobOf(Runs.size(), -1);
  std::vector<int> count;
  for (std::size_t r = 0; r < Runs.size(); ++r) {
    root[r] = FindRoot(parent, int(r));
    if (blobOf[std::size_t(root[r])] < 0) {
      blobOf[std::size_t(root[r])] = int(count.size());
      count.push_back(0);
    }
    ++count[std::size_t(blobOf[std::size_t(root[r])])];
  }
  Blobs.resize(count.size());
  int start = 0;
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    Blobs[b].FirstRun = start;
    start += count[b];
  }
  std::vector<TRun> ordered(Runs.size());
  std::vector<int> fill(Blobs.size(), 0);
  for (std::size_t r = 0; r < Runs.size(); ++r) {
    const auto b = std::size_t(blobOf[std::size_t(root[r])]);
    ordered[std::size_t(Blobs[b].FirstRun + fill[b]++)] = Runs[r];
  }
  Runs.swap(ordered);
  // Near is the first cut's: it holds the light between points that blur merged, which
  // every bit-plane lighting both shows as well; the second cut leaves that light out.
  const bool firstCut = Raised.empty();
  if (firstCut) Near.assign(std::size_t(FWidth) * FHeight, 0);
  std::vector<std::size_t> tops;
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    TBlob& blob = Blobs[b];
    blob.RunCount = count[b];
    blob.FirstPixel = int(Weights.size());
    double sumX = 0, sumY = 0, sum = 0;
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      blob.TouchesEdge |= run.Y == 0 || run.Y == FHeight - 1 || run.X0 == 0 || run.X1 == FWidth - 1;
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        // The smoothed light weighs each pixel as the point's own profile does.
        const float weight = float(Smooth[i]) / 9.0f;
        const double light = double(Points[i]) - Dark[i];
        Weights.push_back(weight);
        blob.Light += weight * light;
        blob.Peak = std::max(blob.Peak, weight);
        sumX += (x + 0.5) * weight;
        sumY += (run.Y + 0.5) * weight;
        sum += weight;
        ++blob.Area;
      }
      for (int y = std::max(0, run.Y - 1); firstCut && y <= std::min(FHeight - 1, run.Y + 1); ++y)
        std::fill(&Near[std::size_t(y) * FWidth + std::max(0, run.X0 - 1)],
                  &Near[std::size_t(y) * FWidth + std::min(FWidth - 1, run.X1 + 1)] + 1, 1);
    }
    blob.X = sum > 0 ? sumX / sum : NaN;
    blob.Y = sum > 0 ? sumY / sum : NaN;
    BlobTops(blob, tops);
    blob.Peaks = int(tops.size());
    blob.ApartPeaks = blob.Peaks > 1 && blob.Peaks <= 4 ? ApartPeaks(tops) : blob.Peaks;
  }
  RefineAll(Measure);
}

void TScanDecoder::BlobTops(const TBlob& Blob, std::vector<std::size_t>& Tops) const {
  Tops.clear();
  for (int k = 0; k < Blob.RunCount; ++k) {
    const TRun& run = Runs[std::size_t(Blob.FirstRun + k)];
    const std::size_t row = std::size_t(run.Y) * FWidth;
    Tops.insert(Tops.end(), std::lower_bound(PeakPixels.begin(), PeakPixels.end(), row + run.X0),
                std::upper_bound(PeakPixels.begin(), PeakPixels.end(), row + run.X1));
  }
}

// A surface seen at a grazing angle stretches a point's light into a long flat top, on
// which the noise alone makes more than one peak; points that blur joined dip between
// their peaks. The dip is taken along the straight line, which runs no higher than the
// pass between them: a doubt counts as a dip.
int TScanDecoder::ApartPeaks(std::vector<std::size_t> Tops) const {
  // Of equal peaks the first in raster order goes first.
  std::stable_sort(Tops.begin(), Tops.end(),
                   [&](std::size_t A, std::size_t B) { return Smooth[A] > Smooth[B]; });
  const double dip = 2 * Noise * 9;  // Smooth sums 3 x 3 pixels
  std::vector<std::size_t> apart;
  for (std::size_t top : Tops) {
    const int x = int(top % FWidth), y = int(top / FWidth);
    bool alone = true;
    for (std::size_t higher : apart) {
      const int dx = int(higher % FWidth) - x, dy = int(higher / FWidth) - y;
      const int steps = std::max(std::abs(dx), std::abs(dy));
      int lowest = Smooth[top];
      for (int k = 1; k < steps; ++k) {
        const long px = x + std::lround(double(dx) * k / steps);
        const long py = y + std::lround(double(dy) * k / steps);
        lowest = std::min<int>(lowest, Smooth[std::size_t(py) * FWidth + std::size_t(px)]);
      }
      alone &= Smooth[top] - lowest >= dip;
    }
    if (alone) apart.push_back(top);
  }
  return int(apart.size());
}

double TScanDecoder::MergedArea() const {
  std::vector<double> areas;
  for (const TBlob& blob : Blobs)
    if (!blob.TouchesEdge && blob.Area >= 2) areas.push_back(blob.Area);
  return areas.empty() ? 0 : 2.5 * Median(areas);
}

TScanDecoder::TBlobKind TScanDecoder::KindOf(const TBlob& Blob, double Merged) const {
  if (Blob.TouchesEdge) return TBlobKind::Cut;
  // Light that crosses the cut without a peak of its own lies between points (a saddle
  // of their blurred light, where aiming's local contrast lifts it) and is none.
  if (Blob.Area < 2 || Blob.Peak < 2 * Noise || Blob.Peaks == 0) return TBlobKind::Speck;
  // One peak however large is one point, as are peaks that no dip beyond the noise parts:
  // a surface at a grazing angle stretches its light.
  return Blob.Area > Merged && Blob.ApartPeaks > 1 ? TBlobKind::Merged : TBlobKind::Point;
}

double TScanDecoder::LightAt(const QPointF& Q) const {
  const int x = int(std::floor(Q.x())), y = int(std::floor(Q.y()));
  if (Smooth.empty() || x < 0 || y < 0 || x >= FWidth || y >= FHeight) return NaN;
  return Smooth[std::size_t(y) * FWidth + x] / 9.0;
}
