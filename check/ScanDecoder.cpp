#include "check/ScanCheck.h"

#include <QImage>
#include <algorithm>
#include <cmath>
#include <limits>

#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// The field's contrasts, 0 to 255, to the power 3/4 (see WindowSums).
const std::array<double, 256> ContrastWeight = [] {
  std::array<double, 256> weights{};
  for (int c = 0; c < 256; ++c) weights[std::size_t(c)] = std::pow(double(c), 0.75);
  return weights;
}();

// The mean of Photo over (2 Radius + 1)^2 pixels around each pixel, the edge
// repeated: running sums across each row, then down each column.
std::vector<float> LocalMean(const std::vector<std::uint8_t>& Photo, int Width, int Height,
                             int Radius) {
  const std::size_t pixels = std::size_t(Width) * Height;
  std::vector<std::uint16_t> across(pixels);
  for (int y = 0; y < Height; ++y) {
    const std::uint8_t* in = &Photo[std::size_t(y) * Width];
    std::uint16_t* out = &across[std::size_t(y) * Width];
    int sum = 0;
    for (int k = -Radius; k <= Radius; ++k) sum += in[std::clamp(k, 0, Width - 1)];
    for (int x = 0; x < Width; ++x) {
      out[x] = std::uint16_t(sum);
      sum += in[std::min(x + Radius + 1, Width - 1)] - in[std::max(x - Radius, 0)];
    }
  }
  std::vector<float> mean(pixels);
  const float area = float((2 * Radius + 1) * (2 * Radius + 1));
  std::vector<int> column(std::size_t(Width), 0);
  auto row = [&](int Y) { return &across[std::size_t(std::clamp(Y, 0, Height - 1)) * Width]; };
  for (int k = -Radius; k <= Radius; ++k) {
    const std::uint16_t* in = row(k);
    for (int x = 0; x < Width; ++x) column[std::size_t(x)] += in[x];
  }
  for (int y = 0; y < Height; ++y) {
    float* out = &mean[std::size_t(y) * Width];
    const std::uint16_t* enter = row(y + Radius + 1);
    const std::uint16_t* leave = row(y - Radius);
    for (int x = 0; x < Width; ++x) {
      out[x] = float(column[std::size_t(x)]) / area;
      column[std::size_t(x)] += enter[x] - leave[x];
    }
  }
  return mean;
}

}  // namespace

bool TScanDecoder::Extract(const QImage& Photo, std::vector<std::uint8_t>& Out,
                           std::string* Error) const {
  if (Photo.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (Photo.width() != FWidth || Photo.height() != FHeight) {
    if (Error)
      *Error = "the photo is " + SizeText(Photo.width(), Photo.height()) +
               ", the dark field's photo " + SizeText(FWidth, FHeight);
    return false;
  }
  Out.resize(std::size_t(FWidth) * FHeight);
  if (Photo.format() == QImage::Format_Grayscale8) {
    for (int y = 0; y < FHeight; ++y)
      std::copy_n(Photo.constScanLine(y), FWidth, &Out[std::size_t(y) * FWidth]);
    return true;
  }
  const QImage rgb =
      Photo.format() == QImage::Format_RGB32 || Photo.format() == QImage::Format_ARGB32
          ? Photo
          : Photo.convertToFormat(QImage::Format_RGB32);
  const int shift = 16 - 8 * Channel;
  for (int y = 0; y < FHeight; ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    std::uint8_t* out = &Out[std::size_t(y) * FWidth];
    for (int x = 0; x < FWidth; ++x) out[x] = std::uint8_t(in[x] >> shift);
  }
  return true;
}

bool TScanDecoder::SetDark(const QImage& DarkPhoto, const QImage& Bright,
                           std::vector<std::uint8_t>& BrightOut, std::string* Error) {
  if (DarkPhoto.isNull() || Bright.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (DarkPhoto.width() > MaxSide || DarkPhoto.height() > MaxSide) {
    if (Error)
      *Error = "the photo is " + SizeText(DarkPhoto.width(), DarkPhoto.height()) +
               ", more than 8192 pixels a side";
    return false;
  }
  FWidth = DarkPhoto.width();
  FHeight = DarkPhoto.height();
  if (Bright.size() != DarkPhoto.size()) {
    if (Error)
      *Error = "the photo is " + SizeText(Bright.width(), Bright.height()) +
               ", the dark field's photo " + SizeText(FWidth, FHeight);
    return false;
  }
  // The channel in which the bright photo stands out most from the dark one.
  const QImage dark = DarkPhoto.convertToFormat(QImage::Format_RGB32);
  const QImage bright = Bright.convertToFormat(QImage::Format_RGB32);
  std::array<double, 3> gain{};
  for (int y = 0; y < FHeight; y += 7)
    for (int x = 0; x < FWidth; x += 7) {
      const QRgb d = dark.pixel(x, y), l = bright.pixel(x, y);
      gain[0] += qRed(l) - qRed(d);
      gain[1] += qGreen(l) - qGreen(d);
      gain[2] += qBlue(l) - qBlue(d);
    }
  Channel = int(std::max_element(gain.begin(), gain.end()) - gain.begin());
  Extract(dark, Dark, nullptr);
  Extract(bright, BrightOut, nullptr);
  return true;
}

bool TScanDecoder::SetReferences(const QImage& DarkPhoto, const QImage& Lit,
                                 std::string* Error) {
  std::vector<std::uint8_t> lit;
  if (!SetDark(DarkPhoto, Lit, lit, Error)) return false;
  SetContrast(lit);
  return true;
}

bool TScanDecoder::SetDarkAndPoints(const QImage& DarkPhoto, const QImage& Points,
                                    std::string* Error) {
  std::vector<std::uint8_t> points;
  if (!SetDark(DarkPhoto, Points, points, Error)) return false;
  // The brightest light within a few pixels, across and then down: over a point's
  // pixels its own peak, between the points the nearest one's, far from them the noise.
  constexpr int reach = 4;
  std::vector<std::uint8_t> across(points.size()), field(points.size());
  for (int y = 0; y < FHeight; ++y) {
    const std::uint8_t* in = &points[std::size_t(y) * FWidth];
    std::uint8_t* out = &across[std::size_t(y) * FWidth];
    std::copy_n(in, FWidth, out);
    for (int k = 1; k <= reach && k < FWidth; ++k)
      for (int x = 0; x + k < FWidth; ++x) {
        out[x] = std::max(out[x], in[x + k]);
        out[x + k] = std::max(out[x + k], in[x]);
      }
  }
  for (int y = 0; y < FHeight; ++y) {
    std::uint8_t* out = &field[std::size_t(y) * FWidth];
    std::copy_n(&across[std::size_t(y) * FWidth], FWidth, out);
    for (int k = std::max(0, y - reach); k <= std::min(FHeight - 1, y + reach); ++k) {
      const std::uint8_t* in = &across[std::size_t(k) * FWidth];
      for (int x = 0; x < FWidth; ++x) out[x] = std::max(out[x], in[x]);
    }
  }
  SetContrast(field);
  return SetAllPoints(Points, Error);
}

void TScanDecoder::SetContrast(const std::vector<std::uint8_t>& Lit) {
  const std::vector<std::uint8_t>& l = Lit;
  const std::size_t pixels = Dark.size();
  Contrast.resize(pixels);
  double sumDark = 0, sumLit = 0;
  std::size_t valid = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    const int contrast = std::max(0, int(l[i]) - int(Dark[i]));
    Contrast[i] = std::uint8_t(contrast);
    sumDark += Dark[i];
    sumLit += l[i];
    valid += contrast >= MinContrast;
  }
  // The room's light under every point, with a seventh of the noise that every
  // photo's difference from the dark field would otherwise share.
  DarkMeanLevel = LocalMean(Dark, FWidth, FHeight, 3);
  DarkMean = sumDark / double(pixels);
  LitMean = sumLit / double(pixels);
  ValidShare = double(valid) / double(pixels);
  // The sensor's noise from neighbouring pixels' differences in the dark field (for
  // normal noise their mean magnitude is 2 / sqrt(pi) deviations); edges are left out.
  double steps = 0;
  std::size_t count = 0;
  for (int y = 0; y < FHeight; y += 5)
    for (int x = 1; x < FWidth; x += 3) {
      const std::size_t i = std::size_t(y) * FWidth + x;
      const int step = std::abs(int(Dark[i]) - int(Dark[i - 1]));
      if (step > 24) continue;
      steps += step;
      ++count;
    }
  Noise = std::max(0.5, count ? steps / double(count) * std::sqrt(M_PI) / 2 : 0.0);
}

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
  std::vector<std::uint8_t> points;
  if (!Extract(Points, points, Error)) return false;
  BoxSum(points, &Dark, Smooth);
  // The points' peaks: local maxima of the smoothed light, well above the noise,
  // as shares of the field's contrast, filed by tile.
  const double floor = std::max(4.0, 5 * Noise / 3) * 9;
  TileColumns = (FWidth + Tile - 1) / Tile;
  const int tileRows = (FHeight + Tile - 1) / Tile;
  std::vector<std::vector<double>> tilePeaks(std::size_t(TileColumns) * tileRows);
  std::vector<double> peaks;
  // Peaks whose light stands five noise deviations clear of the dark field.
  struct TPeak {
    int X, Y;
    double Share;
  };
  std::vector<TPeak> clear;
  LitPixels = 0;
  const std::size_t w = std::size_t(FWidth);
  for (int y = 1; y + 1 < FHeight; ++y)
    for (int x = 1; x + 1 < FWidth; ++x) {
      const std::size_t i = std::size_t(y) * FWidth + x;
      if (Contrast[i] < MinContrast) continue;
      const int v = Smooth[i];
      if (v < floor) continue;
      ++LitPixels;
      // The highest within two pixels; ties go to the later pixel, so a flat top gives one peak.
      bool peak = true;
      for (int dy = -2; dy <= 2 && peak; ++dy)
        for (int dx = -2; dx <= 2 && peak; ++dx) {
          const int px = x + dx, py = y + dy;
          if ((!dx && !dy) || px < 0 || py < 0 || px >= FWidth || py >= FHeight) continue;
          const int other = Smooth[std::size_t(py) * w + std::size_t(px)];
          peak = (dy < 0 || (dy == 0 && dx < 0)) ? v > other : v >= other;
        }
      if (peak) {
        peaks.push_back(v / (9.0 * Contrast[i]));
        tilePeaks[std::size_t(y / Tile) * TileColumns + x / Tile].push_back(peaks.back());
        if (v >= 5 * Noise * 9) clear.push_back({x, y, peaks.back()});
      }
    }
  const double typical = peaks.empty() ? 0 : Median(peaks);
  // The noise's own peaks, far below the points', say nothing of how sharp the points are.
  for (auto& list : tilePeaks)
    list.erase(std::remove_if(list.begin(), list.end(), [&](double P) { return P < 0.5 * typical; }),
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
  // peak, within less than half the way to the next peak; down to a third of the points'
  // median peak, far above the noise's own.
  PeakThreshold.assign(std::size_t(FWidth) * FHeight, std::numeric_limits<float>::infinity());
  clear.erase(std::remove_if(clear.begin(), clear.end(),
                             [&](const TPeak& P) { return 3 * P.Share < typical; }),
              clear.end());
  constexpr int cell = 16;
  const int cellColumns = FWidth / cell + 1, cellRows = FHeight / cell + 1;
  std::vector<std::vector<int>> cells(std::size_t(cellColumns) * cellRows);
  for (std::size_t k = 0; k < clear.size(); ++k)
    cells[std::size_t(clear[k].Y / cell) * cellColumns + clear[k].X / cell].push_back(int(k));
  for (const TPeak& p : clear) {
    double nearest = 2 * cell;
    for (int cy = std::max(0, p.Y / cell - 2); cy <= std::min(cellRows - 1, p.Y / cell + 2); ++cy)
      for (int cx = std::max(0, p.X / cell - 2); cx <= std::min(cellColumns - 1, p.X / cell + 2);
           ++cx)
        for (int k : cells[std::size_t(cy) * cellColumns + cx])
          if (clear[std::size_t(k)].X != p.X || clear[std::size_t(k)].Y != p.Y)
            nearest = std::min(
                nearest, std::hypot(clear[std::size_t(k)].X - p.X, clear[std::size_t(k)].Y - p.Y));
    const double reach = 0.45 * nearest;
    const float threshold = float(CoreShare * p.Share);
    for (int y = std::max(0, p.Y - int(reach)); y <= std::min(FHeight - 1, p.Y + int(reach)); ++y)
      for (int x = std::max(0, p.X - int(reach)); x <= std::min(FWidth - 1, p.X + int(reach));
           ++x) {
        float& at = PeakThreshold[std::size_t(y) * FWidth + x];
        if (std::hypot(x - p.X, y - p.Y) <= reach) at = std::min(at, threshold);
      }
  }
  FindBlobs(points, {});
  // Points that blur merged into one: cut them again higher, nearer their peaks.
  std::vector<double> areas;
  for (const TBlob& blob : Blobs)
    if (!blob.TouchesEdge && blob.Area >= 2) areas.push_back(blob.Area);
  const double merged = areas.empty() ? 0 : 2.5 * Median(areas);
  std::vector<std::uint8_t> raised;
  for (const TBlob& blob : Blobs) {
    if (blob.Area <= merged) continue;
    if (raised.empty()) raised.assign(points.size(), 0);
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      std::fill_n(&raised[std::size_t(run.Y) * FWidth + run.X0], run.X1 - run.X0 + 1, 1);
    }
  }
  if (!raised.empty()) FindBlobs(points, raised);
  const double scale = std::min(1.0, double(PreviewSide) / double(std::max(FWidth, FHeight)));
  PreviewScale = scale;
  Preview = Points.convertToFormat(QImage::Format_Grayscale8)
                .scaled(std::max(1, int(FWidth * scale)), std::max(1, int(FHeight * scale)),
                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
  return true;
}

void TScanDecoder::FindBlobs(const std::vector<std::uint8_t>& Points,
                             const std::vector<std::uint8_t>& Raised) {
  Runs.clear();
  Blobs.clear();
  Weights.clear();
  const double* tiles = nullptr;
  constexpr double raise = RaisedShare / CoreShare;
  auto inside = [&](std::size_t Row, int X) {
    const std::size_t i = Row + std::size_t(X);
    const double share = std::min(tiles[X / Tile], double(PeakThreshold[i])) *
                         (!Raised.empty() && Raised[i] ? raise : 1.0);
    return Contrast[i] >= MinContrast && Smooth[i] > share * 9.0 * Contrast[i];
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
  Near.assign(std::size_t(FWidth) * FHeight, 0);
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
      for (int y = std::max(0, run.Y - 1); y <= std::min(FHeight - 1, run.Y + 1); ++y)
        std::fill(&Near[std::size_t(y) * FWidth + std::max(0, run.X0 - 1)],
                  &Near[std::size_t(y) * FWidth + std::min(FWidth - 1, run.X1 + 1)] + 1, 1);
    }
    blob.X = sum > 0 ? sumX / sum : NaN;
    blob.Y = sum > 0 ? sumY / sum : NaN;
    if (!blob.TouchesEdge && sum > 0) Refine(blob, Points);
  }
}

// The centroid of Photo's light above the dark field under a Gaussian window of
// Sigma around (X, Y): sums of weight times x, times y, and of weight. Each pixel's
// light counts over the field's contrast there to the power 3/4. The print under a point
// (a board's grey and white squares, as the lit field shows them) pulls its centre
// towards the lighter colour; dividing by the whole contrast pulls it back too far, as
// the print dims the light before the camera's blur spreads it over both colours.
// Measured against the simulated rig, the power 3/4 leaves no pull (0.003 px on
// average for points across a grey/white edge, against 0.16 px undivided).
std::array<double, 3> TScanDecoder::WindowSums(const std::vector<std::uint8_t>& Photo, double X,
                                               double Y, double Sigma) const {
  const int half = int(std::ceil(2.5 * Sigma));
  const int x0 = int(std::floor(X - 0.5)), y0 = int(std::floor(Y - 0.5));
  const int left = std::max(0, x0 - half), right = std::min(FWidth - 1, x0 + half + 1);
  std::array<double, 64> across{};
  for (int x = left; x <= right && x - left < 64; ++x) {
    const double d = x + 0.5 - X;
    across[std::size_t(x - left)] = std::exp(-0.5 * d * d / (Sigma * Sigma));
  }
  std::array<double, 3> sums{};
  for (int y = std::max(0, y0 - half); y <= std::min(FHeight - 1, y0 + half + 1); ++y) {
    const double dy = y + 0.5 - Y;
    const double down = std::exp(-0.5 * dy * dy / (Sigma * Sigma));
    const std::size_t row = std::size_t(y) * FWidth;
    for (int x = left; x <= right && x - left < 64; ++x) {
      const double w = down * across[std::size_t(x - left)] *
                       (Photo[row + x] - DarkMeanLevel[row + x]) /
                       ContrastWeight[std::max<int>(Contrast[row + x], MinContrast)];
      sums[0] += w * (x + 0.5);
      sums[1] += w * (y + 0.5);
      sums[2] += w;
    }
  }
  return sums;
}

// The centre to a fraction of a pixel: the centroid of the light above the dark
// field under a Gaussian window the size of the point, moved onto its own result
// until it settles. For a point whose light is symmetric about its middle the
// window stays centred there, and the noise of its faint rim weighs little.
void TScanDecoder::Refine(TBlob& Blob, const std::vector<std::uint8_t>& Points) const {
  const double radius = std::sqrt(Blob.Area / M_PI);
  Blob.Sigma = std::clamp(1.1 * radius, 1.0, 12.0);
  double cx = Blob.X, cy = Blob.Y;
  for (int pass = 0; pass < 6; ++pass) {
    const auto sums = WindowSums(Points, cx, cy, Blob.Sigma);
    if (sums[2] <= 0) return;
    const double nx = sums[0] / sums[2], ny = sums[1] / sums[2];
    // A window that wanders off the point found another light: keep the plain centre.
    if (std::hypot(nx - Blob.X, ny - Blob.Y) > radius + 1) return;
    const bool settled = std::hypot(nx - cx, ny - cy) < 0.001;
    cx = nx, cy = ny;
    if (settled) break;
  }
  Blob.X = cx;
  Blob.Y = cy;
  Blob.Refined = true;
  const auto sums = WindowSums(Points, cx, cy, Blob.Sigma);
  Blob.Sums[0] = sums[0] - cx * sums[2];
  Blob.Sums[1] = sums[1] - cy * sums[2];
  Blob.Sums[2] = sums[2];
}

double TScanDecoder::LightAt(const QPointF& Q) const {
  const int x = int(std::floor(Q.x())), y = int(std::floor(Q.y()));
  if (Smooth.empty() || x < 0 || y < 0 || x >= FWidth || y >= FHeight) return NaN;
  return Smooth[std::size_t(y) * FWidth + x] / 9.0;
}

bool TScanDecoder::AddPlane(int K, const QImage& Plane, std::string* Error) {
  if (K < 1 || K > PlaneCount) {
    if (Error) *Error = "no bit-plane " + std::to_string(K);
    return false;
  }
  if (Near.empty()) {
    if (Error) *Error = "the all-points photo is missing";
    return false;
  }
  std::vector<std::uint8_t> plane;
  if (!Extract(Plane, plane, Error)) return false;
  TPlaneStats& stats = Planes[std::size_t(K)];
  stats.Share.assign(Blobs.size(), 0.0f);
  stats.Centre.assign(Blobs.size(), {0.0f, 0.0f, 0.0f});
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    const TBlob& blob = Blobs[b];
    double light = 0;
    const float* weight = &Weights[std::size_t(blob.FirstPixel)];
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        light += *weight++ * (double(plane[i]) - Dark[i]);
      }
    }
    stats.Share[b] = blob.Light > 0 ? float(light / blob.Light) : 0.0f;
    // Where the point lights this plane it shows its place once more, with noise of its own.
    if (blob.Refined && stats.Share[b] > 0.5f) {
      const auto sums = WindowSums(plane, blob.X, blob.Y, blob.Sigma);
      stats.Centre[b] = {float(sums[0] - blob.X * sums[2]), float(sums[1] - blob.Y * sums[2]),
                         float(sums[2])};
    }
  }
  // Light where no point of the all-points photo lies: the picture moved. Every
  // other pixel of every other row is enough for a share.
  std::size_t lit = 0, stray = 0;
  const std::size_t w = std::size_t(FWidth);
  for (int y = 1; y + 1 < FHeight; y += 2) {
    const double* tiles = &TileThreshold[std::size_t(y / Tile) * TileColumns];
    for (int x = 1; x + 1 < FWidth; x += 2) {
      const std::size_t i = std::size_t(y) * w + std::size_t(x);
      if (Contrast[i] < MinContrast) continue;
      int box = 0;
      for (const std::size_t row : {i - w, i, i + w})
        for (std::size_t j = row - 1; j <= row + 1; ++j) box += int(plane[j]) - int(Dark[j]);
      const bool on = box > tiles[x / Tile] * 9.0 * Contrast[i];
      lit += on;
      stray += on && !Near[i];
    }
  }
  stats.Stray = lit ? double(stray) / double(lit) : 0.0;
  stats.Done = true;
  return true;
}
