#include "tests/support/CheckTruth.h"

#include <algorithm>
#include <cmath>

TCheckAgainstTruth CompareWithTruth(const TSimScan& Scan, const TCheckResult& Result) {
  return CompareWithTruth(Scan, Result.States, Result.Positions);
}

TCheckAgainstTruth CompareWithTruth(const TSimScan& Scan, const std::vector<TPointState>& States,
                                    const std::vector<QPointF>& Positions) {
  TCheckAgainstTruth out;
  out.Readable = Scan.Readable();
  out.Read = int(std::count(States.begin(), States.end(), TPointState::Read));
  std::vector<double> errors;
  const std::size_t n = std::min(Scan.Truth.size(), States.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (States[i] != TPointState::Read) continue;
    const TSimPointTruth& truth = Scan.Truth[i];
    auto distance = [&](std::size_t J) {
      const QPointF miss = Positions[i] - Scan.Truth[J].Centre;
      return std::hypot(miss.x(), miss.y());
    };
    const double error = distance(i);
    // Nearer to a raster neighbour's place than to its own: read as another number.
    const std::size_t columns = std::size_t(std::max(1, Scan.Columns));
    bool other = false;
    for (std::size_t j : {i - 1, i + 1, i - columns, i + columns})
      if (j < n && distance(j) < error) other = true;
    if (other) {
      ++out.Wrong;
      continue;
    }
    if (!truth.Readable) continue;
    ++out.ReadOfReadable;
    errors.push_back(error);
  }
  if (!errors.empty()) {
    std::sort(errors.begin(), errors.end());
    out.MedianError = errors[errors.size() / 2];
    out.Error95 = errors[std::min(errors.size() - 1, errors.size() * 95 / 100)];
  }
  return out;
}
