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
  std::vector<double> errors, across;
  const std::size_t n = std::min(Scan.Truth.size(), States.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (States[i] != TPointState::Read) continue;
    const TSimPointTruth& truth = Scan.Truth[i];
    auto distance = [&](const QPointF& Place) {
      const QPointF miss = Positions[i] - Place;
      return std::hypot(miss.x(), miss.y());
    };
    // A point whose light a rim splits, or that is seen only in part, is read where a
    // part of it lies.
    double error = distance(truth.Centre);
    for (const QPointF& part : truth.Parts) error = std::min(error, distance(part));
    // Nearer to a raster neighbour's place than to its own: read as another number.
    const std::size_t columns = std::size_t(std::max(1, Scan.Columns));
    bool other = false;
    for (std::size_t j : {i - 1, i + 1, i - columns, i + columns})
      if (j < n && distance(Scan.Truth[j].Centre) < error) other = true;
    if (other) {
      out.Wrong.push_back(int(i) + 1);
      continue;
    }
    if (!truth.Readable) continue;
    ++out.ReadOfReadable;
    errors.push_back(error);
    if (truth.AcrossPrint) across.push_back(error);
  }
  auto figures = [](std::vector<double>& Errors, double& Median, double& Percentile95) {
    if (Errors.empty()) return;
    std::sort(Errors.begin(), Errors.end());
    Median = Errors[Errors.size() / 2];
    Percentile95 = Errors[std::min(Errors.size() - 1, Errors.size() * 95 / 100)];
  };
  figures(errors, out.MedianError, out.Error95);
  figures(across, out.MedianErrorAcross, out.Error95Across);
  out.ReadAcrossPrint = int(across.size());
  return out;
}
