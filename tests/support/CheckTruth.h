#pragma once

// The scan check's result measured against what the simulated rig knows of
// every point: how many it read of those the rig's light makes readable, how
// many it read as another number, and how far its positions lie from the truth.

#include <limits>

#include "check/ScanCheck.h"
#include "tests/support/SimScan.h"

struct TCheckAgainstTruth {
  int Readable = 0;  // points the rig's light makes readable
  int Read = 0;      // points the check read
  int ReadOfReadable = 0;
  std::vector<int> Wrong;               // numbers read where another point of the raster lies
  double MedianError = 0, Error95 = 0;  // position error of the points read, pixels
  // The same for the points read whose light falls on both colours of a board's print.
  int ReadAcrossPrint = 0;
  double MedianErrorAcross = 0, Error95Across = 0;
  // NaN when the rig's light makes no point readable.
  double ReadShare() const {
    return Readable ? double(ReadOfReadable) / Readable : std::numeric_limits<double>::quiet_NaN();
  }
};

TCheckAgainstTruth CompareWithTruth(const TSimScan& Scan, const TCheckResult& Result);
// The same for any reading's states and positions per point (Index - 1).
TCheckAgainstTruth CompareWithTruth(const TSimScan& Scan, const std::vector<TPointState>& States,
                                    const std::vector<QPointF>& Positions);
