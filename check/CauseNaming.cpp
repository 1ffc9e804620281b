#include "check/ScanCheck.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "check/CheckGeometry.h"

using namespace scan_check;

void TScanDecoder::NameCauses(TCheckResult& Result, const QPointF& GlobalX,
                              const QPointF& GlobalY) const {
  const int n = Result.Expected;
  const bool moved = Result.MovedFrom >= 0, misplaced = !Result.MisplacedPhotos.empty();
  const double pitchPixels =
      Known(GlobalX) && Known(GlobalY)
          ? std::min(std::hypot(GlobalX.x(), GlobalX.y()), std::hypot(GlobalY.x(), GlobalY.y()))
          : NaN;

  // Each point not read gets the cause that the light at its place shows, if any:
  // one whose middle lies within half a pitch of the photo's edge is cut by it.
  const double edge = std::isnan(pitchPixels) ? 1.0 : std::max(1.0, pitchPixels / 2);
  constexpr std::size_t causes = std::size_t(TCheckCause::SettingChanged) + 1;
  std::array<int, causes> tally{};
  // The figures behind them: faint points' light in multiples of the noise, and how far
  // the light dips between neighbours as a share of the peak (NaN where no point stands apart).
  std::vector<double> faint, dips;
  const bool placed = Result.Read >= std::max(8, n / 20);
  int outside = 0, cut = 0;
  auto peakNear = [&](const QPointF& Q) {
    double peak = NaN;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const double light = LightAt(Q + QPointF(dx, dy));
        if (!std::isnan(light) && !(light <= peak)) peak = light;
      }
    return peak;
  };
  for (int i = 1; i <= n; ++i) {
    TPointState& state = Result.States[std::size_t(i - 1)];
    if (state == TPointState::Read) continue;
    const QPointF q = Result.Positions[std::size_t(i - 1)];
    std::optional<TCheckCause> cause;
    if (!Known(q) || !placed) {
      // Too few points were read to place the rest: only the whole photo can tell.
      if (moved)
        cause = TCheckCause::Moved;
      else if (misplaced)
        cause = TCheckCause::OutOfOrder;
      else if (ValidShare < 0.5)
        cause = TCheckCause::LowContrast;
      else if (LitPixels >= std::size_t(n))
        // Light from the points everywhere, yet no point stands apart.
        cause = TCheckCause::Separation, dips.push_back(NaN);
      else
        cause = TCheckCause::LowContrast;
    } else if (q.x() < 0 || q.y() < 0 || q.x() >= FWidth || q.y() >= FHeight) {
      state = TPointState::Outside, ++outside;
      cause = TCheckCause::OutsideView;
    } else if (q.x() < edge || q.y() < edge || q.x() >= FWidth - edge || q.y() >= FHeight - edge) {
      state = TPointState::Cut, ++cut;
      cause = TCheckCause::OutsideView;
    } else if (Contrast[std::size_t(int(q.y())) * FWidth + int(q.x())] < MinContrast) {
      cause = TCheckCause::LowContrast;
    } else if (moved) {
      cause = TCheckCause::Moved;
    } else if (misplaced) {
      cause = TCheckCause::OutOfOrder;
    } else {
      const double peak = peakNear(q);
      double between = -1e9;
      for (const QPointF& step : {GlobalX, GlobalY})
        if (Known(step))
          for (double sign : {-0.5, 0.5}) {
            const double light = LightAt(q + step * sign);
            if (!std::isnan(light)) between = std::max(between, light);
          }
      if (!std::isnan(peak) && peak < 5 * Noise) {
        cause = TCheckCause::LowContrast, faint.push_back(peak / Noise);
      } else if (!std::isnan(peak) && between > -1e9 && between <= peak &&
                 peak - between < std::max(3 * Noise, 0.25 * peak)) {
        // Light beside a point brighter than its peak is another point's, beyond a
        // depth edge or a shadow where the raster jumps: no merging of neighbours.
        cause = TCheckCause::Separation, dips.push_back((peak - between) / peak);
      }
    }
    if (cause) ++tally[std::size_t(*cause)];
  }

  auto percent = [](double Share) { return std::to_string(int(std::lround(100 * Share))) + " %"; };
  auto median = [](std::vector<double> Values) { return Median(Values); };
  auto figure = [&](TCheckCause Cause) -> std::string {
    switch (Cause) {
      case TCheckCause::LowContrast: {
        if (!faint.empty())
          return "světlo bodu jen " + DecimalText(median(faint)) + "× šum (šum " +
                 DecimalText(Noise) + " úrovně)";
        return "pole bez kontrastu na " + percent(1 - ValidShare) + " snímku";
      }
      case TCheckCause::OutsideView:
        return std::to_string(outside) + " mimo snímek, " + std::to_string(cut) + " na jeho okraji";
      case TCheckCause::Moved: {
        const TPlaneStats& plane = Planes[std::size_t(Result.MovedFrom - 2)];
        return "od snímku " + std::to_string(Result.MovedFrom + 1) + ": " + percent(plane.Stray) +
               " světla mimo body";
      }
      case TCheckCause::OutOfOrder: {
        std::string text = "snímky";
        for (int photo : Result.MisplacedPhotos) text += " " + std::to_string(photo + 1);
        return text + " neodpovídají rastru";
      }
      case TCheckCause::Separation: {
        std::vector<double> measured;
        for (double dip : dips)
          if (!std::isnan(dip)) measured.push_back(dip);
        if (measured.empty()) return "žádné oddělené body, světlo bodů splývá";
        return "mezi sousedy klesá světlo jen o " + percent(median(measured)) + " vrcholu";
      }
      case TCheckCause::SettingChanged:
        break;
    }
    return {};
  };
  // A scan whose every point was read has no cause to name.
  if (!Result.AllRead()) {
    if (moved && !tally[std::size_t(TCheckCause::Moved)])
      Result.Causes.push_back({TCheckCause::Moved, 0, {}});
    if (misplaced && !tally[std::size_t(TCheckCause::OutOfOrder)])
      Result.Causes.push_back({TCheckCause::OutOfOrder, 0, {}});
    for (std::size_t c = 0; c < tally.size(); ++c)
      if (tally[c]) Result.Causes.push_back({TCheckCause(c), tally[c], {}});
    for (TCauseFinding& finding : Result.Causes) finding.Figure = figure(finding.Cause);
  }
  std::stable_sort(Result.Causes.begin(), Result.Causes.end(), [](const auto& A, const auto& B) {
    return (A.Points == 0 ? INT32_MAX : A.Points) > (B.Points == 0 ? INT32_MAX : B.Points);
  });
}
