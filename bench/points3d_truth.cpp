// A scan's 3D points against the simulated rig's truth: every point's error
// against its true centre, and the fit of the surface the scene knows.
//   points3d_truth CALIBRATION SCAN_DIR TRUTH_CSV
// TRUTH_CSV is the rig's per-scan file (number,row,column,x,y,X,Y,Z,view).
// Prints a Markdown header and one row (bench/Points3dTruth.h).

#include <QCoreApplication>
#include <cstdio>

#include "bench/Points3dTruth.h"
#include "check/ScanPoints3d.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: points3d_truth CALIBRATION SCAN_DIR TRUTH_CSV\n");
    return 2;
  }
  std::string error;
  const auto calibration = ReadCalibrationFile(argv[1], &error);
  const auto check =
      calibration
          ? CheckScanFolder(argv[2], RecordedRaster(argv[2]).value_or(TCheckRaster{}), &error)
          : std::nullopt;
  const auto cloud = check ? PlaceScanPoints(*check, *calibration, argv[1], &error) : std::nullopt;
  if (!cloud) {
    std::fprintf(stderr, "points3d_truth: %s\n", error.c_str());
    return 2;
  }
  std::printf("%s\n%s\n", Points3dTruthHeader, Points3dTruthRow(*cloud, argv[3]).c_str());
  return 0;
}
