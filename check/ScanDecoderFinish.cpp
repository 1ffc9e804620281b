#include "check/ScanCheck.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>

#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// Share of a plane's lit pixels that may fall beside every point before the
// picture counts as moved.
constexpr double MaxStray = 0.2;
// Share of a plane's readings that may contradict the neighbours' numbers
// before the plane counts as misplaced.
constexpr double MaxDisagreement = 0.1;

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

  // The number each code spells in this raster; 0 where it spells none.
  std::vector<int> numberOfCode(16384, 0);
  for (int index = 1; index <= n; ++index) numberOfCode[std::size_t(CheckCodeOf(index))] = index;

  // Specks of noise that cross the threshold are no points.
  auto solid = [&](const TBlob& Blob) {
    return !Blob.TouchesEdge && Blob.Area >= 2 && Blob.Signal >= MinMargin;
  };
  const std::size_t blobs = Blobs.size();
  std::vector<int> number(blobs, 0);
  std::vector<float> margin(blobs, 0.0f);
  std::vector<QPointF> centre(blobs);
  std::vector<std::vector<int>> candidates(std::size_t(n) + 1);
  for (std::size_t b = 0; b < blobs; ++b) {
    const TBlob& blob = Blobs[b];
    centre[b] = blob.Weight > 0 ? QPointF(blob.SumX / blob.Weight, blob.SumY / blob.Weight)
                                : QPointF(NaN, NaN);
    if (blob.TouchesEdge) {
      ++result.Cut;
      continue;
    }
    if (!solid(blob)) continue;
    int code = 0;
    float least = blob.Signal;
    // A plane that never came reads as dark; the order check names it.
    for (int k = 1; k <= PlaneCount; ++k) {
      const TPlaneStats& plane = Planes[std::size_t(k)];
      code = code * 2 + (plane.Done && 2 * std::int64_t(plane.Votes[b]) > blob.Area ? 1 : 0);
      if (plane.Done) least = std::min(least, std::abs(plane.Signal[b]));
    }
    margin[b] = least;
    number[b] = numberOfCode[std::size_t(code)];
    if (number[b] == 0)
      ++result.OutOfRaster;
    else
      candidates[std::size_t(number[b])].push_back(int(b));
  }
  for (int i = 1; i <= n; ++i) result.Duplicates += candidates[std::size_t(i)].size() > 1;

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
    result.Margins[std::size_t(i - 1)] = margin[std::size_t(b)];
    if (margin[std::size_t(b)] >= MinMargin) {
      result.States[std::size_t(i - 1)] = TPointState::Read;
      ++result.Read;
    } else {
      result.States[std::size_t(i - 1)] = TPointState::Weak;
      ++result.Weak;
    }
  }
  result.Unread = n - result.Read;

  // Where the points not read should lie: from the nearest accepted point in the raster.
  {
    std::vector<int> source(std::size_t(n) + 1, 0);
    std::deque<int> queue;
    for (int i = 1; i <= n; ++i)
      if (result.States[std::size_t(i - 1)] == TPointState::Read && Known(stepX[std::size_t(i)])) {
        source[std::size_t(i)] = i;
        queue.push_back(i);
      }
    while (!queue.empty()) {
      const int i = queue.front();
      queue.pop_front();
      const int row = (i - 1) / columns, column = (i - 1) % columns;
      const int steps[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
      for (const auto& step : steps) {
        const int r = row + step[0], c = column + step[1];
        if (r < 0 || c < 0 || r >= Raster.Rows || c >= columns) continue;
        const int j = r * columns + c + 1;
        if (source[std::size_t(j)]) continue;
        source[std::size_t(j)] = source[std::size_t(i)];
        queue.push_back(j);
      }
    }
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

  // Movement: a plane whose lit pixels fall beside the points of the all-points photo.
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
      const bool on = 2 * std::int64_t(plane.Votes[b]) > Blobs[b].Area;
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

  // Separation: points merged into one another, or too small to show.
  std::vector<double> areas;
  for (const TBlob& blob : Blobs)
    if (solid(blob)) areas.push_back(blob.Area);
  const double medianArea = Median(areas);
  int merged = 0;
  for (const TBlob& blob : Blobs) merged += solid(blob) && blob.Area > 3 * medianArea;
  const double pitchPixels =
      Known(globalX) && Known(globalY)
          ? std::min(std::hypot(globalX.x(), globalX.y()), std::hypot(globalY.x(), globalY.y()))
          : NaN;
  const bool moved = result.MovedFrom >= 0, misplaced = !result.MisplacedPhotos.empty();
  const bool separation = (judge && (merged > 0.1 * whole || medianArea < 3)) ||
                          (!std::isnan(pitchPixels) && pitchPixels < 3) ||
                          (n > 0 && !judge && ValidShare > 0.5 && !moved && !misplaced);

  // Each point not read gets the cause its surroundings show; one whose middle
  // lies within half a pitch of the photo's edge is cut by it.
  const double edge = std::isnan(pitchPixels) ? 1.0 : std::max(1.0, pitchPixels / 2);
  std::array<int, 5> tally{};
  for (int i = 1; i <= n; ++i) {
    const TPointState state = result.States[std::size_t(i - 1)];
    if (state == TPointState::Read) continue;
    const QPointF q = result.Positions[std::size_t(i - 1)];
    TCheckCause cause = TCheckCause::Separation;
    if (!Known(q)) {
      cause = moved              ? TCheckCause::Moved
              : misplaced        ? TCheckCause::OutOfOrder
              : ValidShare < 0.5 ? TCheckCause::LowContrast
                                 : TCheckCause::Separation;
    } else if (q.x() < edge || q.y() < edge || q.x() >= FWidth - edge || q.y() >= FHeight - edge) {
      cause = TCheckCause::OutsideView;
    } else if (state == TPointState::Weak ||
               Contrast[std::size_t(int(q.y())) * FWidth + int(q.x())] < MinContrast) {
      cause = TCheckCause::LowContrast;
    } else if (moved) {
      cause = TCheckCause::Moved;
    } else if (misplaced) {
      cause = TCheckCause::OutOfOrder;
    } else if (!separation && ValidShare < 0.5) {
      cause = TCheckCause::LowContrast;
    }
    ++tally[std::size_t(cause)];
  }
  if (moved && !tally[std::size_t(TCheckCause::Moved)])
    result.Causes.push_back({TCheckCause::Moved, 0});
  if (misplaced && !tally[std::size_t(TCheckCause::OutOfOrder)])
    result.Causes.push_back({TCheckCause::OutOfOrder, 0});
  if (separation && !tally[std::size_t(TCheckCause::Separation)] && !result.AllRead())
    result.Causes.push_back({TCheckCause::Separation, 0});
  for (std::size_t c = 0; c < tally.size(); ++c)
    if (tally[c]) result.Causes.push_back({TCheckCause(c), tally[c]});
  std::stable_sort(result.Causes.begin(), result.Causes.end(), [](const auto& A, const auto& B) {
    return (A.second == 0 ? INT32_MAX : A.second) > (B.second == 0 ? INT32_MAX : B.second);
  });
  return result;
}
