#include "check/ScanCheck.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// Share of a plane's lit pixels that may fall beside every point before the
// picture counts as moved.
constexpr double MaxStray = 0.2;
// Share of a plane's readings that may contradict the neighbours' numbers
// before the plane counts as misplaced.
constexpr double MaxDisagreement = 0.25;
// A shadow's edge cuts a point's light when, within the point's own reach, the lit
// field falls under this share of its level at the point. A darker print keeps well
// above it; only where the projector's light cannot reach does it fall so far.
constexpr double ShadowShare = 0.1;

}  // namespace

TCheckResult TScanDecoder::Finish() {
  TCheckResult result;
  result.Raster = Raster;
  result.PhotoWidth = FWidth;
  result.PhotoHeight = FHeight;
  result.Preview = Preview;
  result.PreviewScale = PreviewScale;
  const int n = Raster.Problem().empty() ? Raster.Count() : 0;
  const int columns = std::max(1, Raster.Columns);
  result.Expected = n;
  result.Blobs = int(Blobs.size());
  result.States.assign(std::size_t(n), TPointState::Unread);
  result.Positions.assign(std::size_t(n), QPointF(NaN, NaN));
  result.Margins.assign(std::size_t(n), 0.0f);
  result.Found.assign(std::size_t(n), 0);
  result.Peaks.assign(std::size_t(n), 0);

  // The number each code spells in this raster; 0 where it spells none.
  std::vector<int> numberOfCode(16384, 0);
  for (int index = 1; index <= n; ++index) numberOfCode[std::size_t(CheckCodeOf(index))] = index;

  // Specks of noise that cross the threshold are no points, nor are points merged into one.
  const double mergedArea = MergedArea();
  auto solid = [&](const TBlob& Blob) { return KindOf(Blob, mergedArea) == TBlobKind::Point; };
  auto lights = [](const TPlaneStats& Plane, std::size_t B) { return Plane.Share[B] > 0.5f; };
  const std::size_t blobs = Blobs.size();
  std::vector<int> number(blobs, 0);
  std::vector<float> margin(blobs, 0.0f);
  std::vector<QPointF> centre(blobs);
  std::vector<std::vector<int>> candidates(std::size_t(n) + 1);
  // A plane whose points lie, on the whole, elsewhere than in the all-points photo
  // was taken after the camera moved: it says nothing of their places.
  std::array<bool, 15> steady{};
  for (int k = 1; k <= PlaneCount; ++k) {
    const TPlaneStats& plane = Planes[std::size_t(k)];
    if (!plane.Done) continue;
    double sx = 0, sy = 0, sum = 0;
    for (const auto& sums : plane.Centre) sx += sums[0], sy += sums[1], sum += sums[2];
    steady[std::size_t(k)] = sum > 0 && std::hypot(sx / sum, sy / sum) < 0.2;
  }
  for (std::size_t b = 0; b < blobs; ++b) {
    const TBlob& blob = Blobs[b];
    centre[b] = QPointF(blob.X, blob.Y);
    if (blob.Refined) {
      // The all-points photo and every plane that lights the point, each with its own noise.
      double sx = blob.Sums[0], sy = blob.Sums[1], sum = blob.Sums[2];
      for (int k = 1; k <= PlaneCount; ++k) {
        const TPlaneStats& plane = Planes[std::size_t(k)];
        if (!steady[std::size_t(k)]) continue;
        sx += plane.Centre[b][0], sy += plane.Centre[b][1], sum += plane.Centre[b][2];
      }
      if (sum > 0) centre[b] += QPointF(sx / sum, sy / sum);
    }
    if (blob.TouchesEdge) {
      ++result.Cut;
      continue;
    }
    if (!solid(blob)) continue;
    int code = 0;
    float least = 1.0f;
    // A plane that never came reads as dark; the order check names it.
    for (int k = 1; k <= PlaneCount; ++k) {
      const TPlaneStats& plane = Planes[std::size_t(k)];
      code = code * 2 + (plane.Done && lights(plane, b) ? 1 : 0);
      if (plane.Done) least = std::min(least, std::abs(plane.Share[b] - 0.5f) * 2);
    }
    margin[b] = least;
    number[b] = numberOfCode[std::size_t(code)];
    if (number[b] == 0)
      ++result.OutOfRaster;
    else
      candidates[std::size_t(number[b])].push_back(int(b));
  }
  // A rim can split one point's light and put a sliver of it on the surface behind,
  // where it spells the point's number again, and noise can cut a speck off a point's
  // rim. With under half the point's share of the field's light there, or within the
  // point's own reach, the sliver or the speck does not stand for it.
  auto strength = [&](int B) {
    const TBlob& blob = Blobs[std::size_t(B)];
    const std::size_t at = std::size_t(int(blob.Y)) * FWidth + std::size_t(int(blob.X));
    return double(blob.Peak) / std::max<int>(Contrast[at], MinContrast);
  };
  for (auto& list : candidates) {
    if (list.size() < 2) continue;
    int strongest = list[0];
    for (int b : list)
      if (strength(b) > strength(strongest)) strongest = b;
    const TBlob& point = Blobs[std::size_t(strongest)];
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](int B) {
                                const TBlob& other = Blobs[std::size_t(B)];
                                return B != strongest &&
                                       (strength(B) < 0.5 * strength(strongest) ||
                                        std::hypot(other.X - point.X, other.Y - point.Y) <
                                            std::sqrt(point.Area / M_PI) + 2);
                              }),
               list.end());
  }
  for (int i = 1; i <= n; ++i) result.Duplicates += candidates[std::size_t(i)].size() > 1;
  std::vector<double> peaks;
  for (const TBlob& blob : Blobs)
    if (solid(blob)) peaks.push_back(blob.Peak);
  result.Noise = Noise;
  result.PointLight = peaks.empty() ? 0 : Median(peaks);

  // Geometry: where the neighbours in the raster lie in the photo.
  const TPlacement placement = PlaceByNeighbours(Raster, FWidth, FHeight, candidates, centre);
  const std::vector<int>& accepted = placement.Accepted;
  const std::vector<char>& good = placement.Good;
  const std::vector<QPointF>& stepX = placement.StepX;
  const std::vector<QPointF>& stepY = placement.StepY;
  const QPointF globalX = placement.GlobalX, globalY = placement.GlobalY;
  for (int i = 1; i <= n; ++i) {
    const auto& list = candidates[std::size_t(i)];
    for (int b : list) result.Inconsistent += !good[std::size_t(b)];
    const int b = accepted[std::size_t(i)];
    if (b < 0) {
      if (!list.empty()) result.States[std::size_t(i - 1)] = TPointState::Inconsistent;
      continue;
    }
    result.Positions[std::size_t(i - 1)] = centre[std::size_t(b)];
    result.Found[std::size_t(i - 1)] = 1;
    result.Margins[std::size_t(i - 1)] = margin[std::size_t(b)];
    result.Peaks[std::size_t(i - 1)] =
        std::uint8_t(std::clamp(std::lround(Blobs[std::size_t(b)].Peak), 0L, 255L));
    if (margin[std::size_t(b)] >= MinMargin) {
      result.States[std::size_t(i - 1)] = TPointState::Read;
      ++result.Read;
    } else {
      result.States[std::size_t(i - 1)] = TPointState::Weak;
      ++result.Weak;
    }
  }

  // Points beside a shadow: part of their light may have fallen where the camera does
  // not see it lit, so the part it sees lies off their centre, by a whole point where
  // a sliver falls past a rim onto the surface behind.
  result.PartlyLit.assign(std::size_t(n), 0);
  if (Contrast.size() == std::size_t(FWidth) * std::size_t(FHeight)) {
    // The lit field over the dark, averaged over the 3 x 3 pixels about (X, Y).
    auto litAt = [&](int X, int Y) {
      int sum = 0, count = 0;
      for (int y = std::max(0, Y - 1); y <= std::min(FHeight - 1, Y + 1); ++y)
        for (int x = std::max(0, X - 1); x <= std::min(FWidth - 1, X + 1); ++x)
          sum += Contrast[std::size_t(y) * FWidth + x], ++count;
      return double(sum) / std::max(1, count);
    };
    for (int i = 1; i <= n; ++i) {
      const int b = accepted[std::size_t(i)];
      if (b < 0) continue;
      const int x = int(std::floor(centre[std::size_t(b)].x()));
      const int y = int(std::floor(centre[std::size_t(b)].y()));
      if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) continue;
      const int reach = int(std::ceil(std::sqrt(Blobs[std::size_t(b)].Area / M_PI))) + 1;
      // Against the surface's full level within the reach: a sliver past a rim lies on the
      // shadow's own blurred edge, where the level at its middle has already fallen.
      double least = litAt(x, y), most = least;
      for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx)
          if (dx * dx + dy * dy <= reach * reach && x + dx >= 0 && y + dy >= 0 && x + dx < FWidth &&
              y + dy < FHeight) {
            const double level = litAt(x + dx, y + dy);
            least = std::min(least, level);
            most = std::max(most, level);
          }
      result.PartlyLit[std::size_t(i - 1)] = least < ShadowShare * most;
    }
  }

  // Where the points not read should lie: from the nearest accepted point in the raster.
  {
    std::vector<char> read(std::size_t(n) + 1, 0);
    for (int i = 1; i <= n; ++i)
      read[std::size_t(i)] =
          result.States[std::size_t(i - 1)] == TPointState::Read && Known(stepX[std::size_t(i)]);
    const std::vector<int> source = NearestKnown(columns, read);
    for (int i = 1; i <= n; ++i) {
      const int s = source[std::size_t(i)];
      if (!s || accepted[std::size_t(i)] >= 0) continue;
      const int dr = (i - 1) / columns - (s - 1) / columns,
                dc = (i - 1) % columns - (s - 1) % columns;
      result.Positions[std::size_t(i - 1)] = centre[std::size_t(accepted[std::size_t(s)])] +
                                             stepX[std::size_t(s)] * dc +
                                             stepY[std::size_t(s)] * dr;
    }
  }

  // With too few points in the photo, plane statistics say nothing.
  int whole = 0;
  for (const TBlob& blob : Blobs) whole += solid(blob);
  const bool judge = n > 0 && whole >= std::max(8, n / 20);

  // Movement: a plane whose lit pixels fall beside the light of the all-points photo.
  for (int k = 1; k <= PlaneCount; ++k)
    result.StrayShares.push_back(Planes[std::size_t(k)].Done ? Planes[std::size_t(k)].Stray : NaN);
  for (int k = 1; judge && k <= PlaneCount && result.MovedFrom < 0; ++k)
    if (Planes[std::size_t(k)].Done && Planes[std::size_t(k)].Stray > MaxStray)
      result.MovedFrom = 2 + k;

  // Order: the dark field must be darker than the lit one, each plane must light
  // about the share of points that the code table gives it, and the points that
  // their neighbours' numbers imply.
  if (DarkMean > LitMean + MinContrast) result.MisplacedPhotos = {0, 1};
  std::vector<int> implied(blobs, 0);
  if (judge) {
    // Each blob's number as its accepted neighbours in the photo imply it.
    for (int i = 1; i <= n; ++i)
      if (accepted[std::size_t(i)] >= 0) implied[std::size_t(accepted[std::size_t(i)])] = i;
    const double cell = Known(globalX) ? std::max(2.0, std::hypot(globalX.x(), globalX.y())) : 0;
    if (cell > 0 && Known(globalY)) {
      TPointGrid grid(FWidth, FHeight, cell);
      for (int i = 1; i <= n; ++i)
        if (accepted[std::size_t(i)] >= 0)
          grid.Add(i, centre[std::size_t(accepted[std::size_t(i)])]);
      for (std::size_t b = 0; b < blobs; ++b) {
        if (implied[b] || Blobs[b].TouchesEdge || !Known(centre[b])) continue;
        const QPointF q = centre[b];
        double best = 3 * cell;
        const int nearest = grid.Nearest(q, 2, true, best);
        if (!nearest) continue;
        const QPointF ex = stepX[std::size_t(nearest)], ey = stepY[std::size_t(nearest)];
        const QPointF d = q - centre[std::size_t(accepted[std::size_t(nearest)])];
        double across = 0, down = 0;
        if (!RasterOffset(d, ex, ey, across, down)) continue;
        const int dc = int(std::lround(across)), dr = int(std::lround(down));
        const int row = (nearest - 1) / columns + dr, column = (nearest - 1) % columns + dc;
        if (row >= 0 && column >= 0 && row < Raster.Rows && column < columns)
          implied[b] = row * columns + column + 1;
      }
    }
  }
  for (int k = 1; k <= PlaneCount; ++k)
    if (!Planes[std::size_t(k)].Done) result.MisplacedPhotos.push_back(2 + k);
  for (int k = 1; judge && k <= PlaneCount; ++k) {
    const TPlaneStats& plane = Planes[std::size_t(k)];
    if (!plane.Done || plane.Stray > MaxStray) continue;
    int total = 0, wrong = 0, lit = 0;
    for (std::size_t b = 0; b < blobs; ++b) {
      if (!solid(Blobs[b])) continue;
      const bool on = lights(plane, b);
      lit += on;
      if (!implied[b]) continue;
      ++total;
      wrong += on != bool((CheckCodeOf(implied[b]) >> (PlaneCount - k)) & 1);
    }
    int bits = 0;
    for (int index = 1; index <= n; ++index) bits += (CheckCodeOf(index) >> (PlaneCount - k)) & 1;
    const double expected = double(bits) / n, seen = double(lit) / whole;
    const bool share =
        std::abs(seen - expected) > 0.2 || (expected >= 0.05 && seen < 0.25 * expected);
    if (share || (total > 0 && wrong > MaxDisagreement * total))
      result.MisplacedPhotos.push_back(2 + k);
  }

  result.Unread = n - result.Read;
  NameCauses(result, globalX, globalY);
  return result;
}
