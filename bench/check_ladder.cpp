// The scan check against the simulated rig's truth on a ladder of conditions:
// one scan per rung, one table row each (Markdown), for the README.
//   check_ladder [--keep DIR] [RUNG ...]
// Rungs are the rig's CORVALET_SIM items, e.g. "blur=1,noise=4" or
// "scene=board,pose=3,blur=1,noise=4". With --keep, each rung's scan and the check's
// report stay in DIR/1, DIR/2, ... For the board, a second row gives the positions of
// the points whose light falls on both colours of its print.

#include <stdlib.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "check/ScanCheck.h"
#include "sdk/sim/SimConfig.h"
#include "tests/support/CheckTruth.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  std::vector<std::string> rungs;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep" && i + 1 < argc)
      keep = argv[++i];
    else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: check_ladder [--keep DIR] [RUNG ...]\n");
      return 2;
    } else
      rungs.push_back(argv[i]);
  }
  if (rungs.empty())
    rungs = {"blur=0",
             "blur=0.5",
             "blur=1",
             "blur=1.5",
             "blur=2",
             "blur=2.5",
             "blur=1,noise=4",
             "blur=1,noise=8",
             "blur=1,noise=12",
             "blur=2,noise=8",
             "blur=1.5,noise=5",
             "blur=2.5,noise=12",
             "ambient=60",
             "ambient=120",
             "exposure=0.5",
             "exposure=2",
             "zoom=1.25",
             "glare=0.55:0.05:0.95:0.45",
             "blur=3",
             "blur=3.5",
             "blur=4",
             "blur=4.5",
             "blur=5",
             "blur=6",
             "nudge=4:3:10",
             "blur=3,nudge=4:3:10",
             "blur=4,nudge=4:3:10"};
  std::string pattern = (fs::temp_directory_path() / "corvalet-ladder-XXXXXX").string();
  if (keep.empty() && !mkdtemp(pattern.data())) return 2;
  const fs::path root = keep.empty() ? fs::path(pattern) : fs::path(keep);
  std::printf(
      "| rung | readable (rig) | read | of readable | wrong numbers | error median / 95 %% (px) | "
      "light beside the points | causes | s |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  int status = 0;
  for (std::size_t r = 0; r < rungs.size(); ++r) {
    std::string error;
    const auto config = ParseSimConfig(rungs[r], &error);
    if (!config) {
      std::fprintf(stderr, "check_ladder: %s: %s\n", rungs[r].c_str(), error.c_str());
      status = 2;
      continue;
    }
    const fs::path dir = root / std::to_string(r + 1);
    fs::create_directories(dir);
    TSimScanSetup setup;
    setup.Optics = config->Optics;
    setup.Stage = config->Stage;
    setup.Seed = config->Seed;
    const TSimScan scan = WriteSimScan(dir.string(), setup);
    const TCheckRaster raster{scan.OffsetX, scan.OffsetY, scan.Rows,
                              scan.Columns, scan.Size,    scan.Spacing};
    const auto start = std::chrono::steady_clock::now();
    const auto result = CheckScanFolder(dir.string(), raster, &error);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result) {
      std::fprintf(stderr, "check_ladder: %s\n", error.c_str());
      status = 2;
      continue;
    }
    const TCheckAgainstTruth truth = CompareWithTruth(scan, *result);
    std::string causes;
    for (const TCauseFinding& finding : result->Causes)
      causes += (causes.empty() ? "" : "; ") + CheckCauseText(finding.Cause) +
                (finding.Figure.empty() ? "" : " (" + finding.Figure + ")");
    // The bit-plane with the most light beside the all-points photo's.
    double stray = 0;
    for (double plane : result->StrayShares)
      if (!(plane <= stray)) stray = plane;
    char share[16] = "–";
    if (truth.Readable) std::snprintf(share, sizeof share, "%.2f %%", 100 * truth.ReadShare());
    std::printf("| %s | %d | %d | %s | %d | %.3f / %.3f | %.1f %% | %s | %.2f |\n",
                rungs[r].c_str(), truth.Readable, truth.Read, share, int(truth.Wrong.size()),
                truth.MedianError, truth.Error95, 100 * stray,
                causes.empty() ? "none" : causes.c_str(), seconds);
    if (truth.ReadAcrossPrint)
      std::printf("|   points across the print | | %d | | | %.3f / %.3f | | | |\n",
                  truth.ReadAcrossPrint, truth.MedianErrorAcross, truth.Error95Across);
    std::fflush(stdout);
    // Which readable points went unread, and why, for whoever looks into a rung.
    int missed = 0;
    for (std::size_t i = 0; i < scan.Truth.size() && i < result->States.size(); ++i) {
      if (!scan.Truth[i].Readable || result->States[i] == TPointState::Read) continue;
      if (++missed <= 10)
        std::fprintf(stderr, "check_ladder: %s: readable point %zu %s, its centre at %.1f, %.1f\n",
                     rungs[r].c_str(), i + 1, PointStateName(result->States[i]),
                     scan.Truth[i].Centre.x(), scan.Truth[i].Centre.y());
    }
    for (int number : truth.Wrong) {
      const QPointF at = result->Positions[std::size_t(number - 1)];
      const QPointF centre = scan.Truth[std::size_t(number - 1)].Centre;
      std::fprintf(stderr,
                   "check_ladder: %s: point %d read at %.1f, %.1f, nearer another point's place "
                   "than its own at %.1f, %.1f\n",
                   rungs[r].c_str(), number, at.x(), at.y(), centre.x(), centre.y());
    }
    if (missed > 10)
      std::fprintf(stderr, "check_ladder: %s: %d readable points more unread\n", rungs[r].c_str(),
                   missed - 10);
    if (keep.empty()) {
      fs::remove_all(dir);
    } else if (!WriteCheckReport(dir.string(), *result, &error)) {
      std::fprintf(stderr, "check_ladder: %s\n", error.c_str());
      status = 2;
    }
  }
  if (keep.empty()) fs::remove_all(root);
  return status;
}
