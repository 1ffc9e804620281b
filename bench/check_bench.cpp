// The scan check's speed: a whole folder from the command line at 2048 x 1536
// and at 6000 x 4000, and the verdict after the 17th photo when the others were
// decoded as they landed; and aiming's own work from its two photos on disk to
// the aim window's picture. The scans are photographed by the simulated rig first.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QImage>
#include <filesystem>
#include <map>

#include "check/Aim.h"
#include "check/ScanCheck.h"
#include "tests/support/SimScan.h"

namespace fs = std::filesystem;

namespace {

struct TFolder {
  fs::path Dir;
  TCheckRaster Raster;
};

std::map<std::pair<int, int>, TFolder>& Folders() {
  static std::map<std::pair<int, int>, TFolder> folders;
  return folders;
}

const TFolder& Scan(int Width, int Height) {
  auto& folder = Folders()[{Width, Height}];
  if (folder.Dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "corvalet-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    folder.Dir = pattern;
    TSimScanSetup setup;
    setup.Width = Width;
    setup.Height = Height;
    const TSimScan scan = WriteSimScan(pattern, setup);
    folder.Raster = {scan.OffsetX, scan.OffsetY, scan.Rows, scan.Columns, scan.Size, scan.Spacing};
  }
  return folder;
}

void BM_CheckFolder(benchmark::State& State) {
  const TFolder& folder = Scan(int(State.range(0)), int(State.range(1)));
  int read = 0;
  for (auto _ : State) {
    std::string error;
    const auto result = CheckScanFolder(folder.Dir.string(), folder.Raster, &error, 2);
    if (!result) State.SkipWithError(error.c_str());
    read = result ? result->Read : 0;
  }
  State.counters["read"] = read;
}

// From the 17th photo on disk to the verdict, the 16 before it already decoded.
void BM_VerdictAfterLastPhoto(benchmark::State& State) {
  const TFolder& folder = Scan(2048, 1536);
  std::string error;
  const auto names = ReadScanIndex(folder.Dir.string(), &error);
  auto path = [&](int I) {
    return QString::fromStdString((folder.Dir / (*names)[std::size_t(I)]).string());
  };
  for (auto _ : State) {
    State.PauseTiming();
    TScanDecoder decoder(folder.Raster);
    decoder.SetReferences(QImage(path(0)), QImage(path(1)), &error);
    decoder.SetAllPoints(QImage(path(2)), &error);
    for (int k = 1; k < 14; ++k) decoder.AddPlane(k, QImage(path(2 + k)), &error);
    State.ResumeTiming();
    decoder.AddPlane(14, QImage(path(16)), &error);
    const TCheckResult result = decoder.Finish();
    benchmark::DoNotOptimize(result.Read);
  }
}

// From the two aiming photos on disk to the aim window's picture: what the station
// adds to the two shots.
void BM_AimStationWork(benchmark::State& State) {
  const TFolder& folder = Scan(int(State.range(0)), int(State.range(1)));
  std::string error;
  const auto names = ReadScanIndex(folder.Dir.string(), &error);
  const std::string dark = (folder.Dir / (*names)[0]).string();
  const std::string points = (folder.Dir / (*names)[2]).string();
  int inView = 0;
  for (auto _ : State) {
    const auto result = AimAtRasterFiles(folder.Raster, dark, points, &error);
    if (!result) State.SkipWithError(error.c_str());
    const QImage picture = result ? AimPicture(*result, QSize(1200, 800)) : QImage();
    benchmark::DoNotOptimize(picture.constBits());
    inView = result ? result->InView : 0;
  }
  State.counters["in_view"] = inView;
}

}  // namespace

BENCHMARK(BM_AimStationWork)
    ->Args({2048, 1536})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();
BENCHMARK(BM_AimStationWork)
    ->Args({6000, 4000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_CheckFolder)
    ->Args({2048, 1536})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_CheckFolder)
    ->Args({6000, 4000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_VerdictAfterLastPhoto)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (const auto& [size, folder] : Folders()) fs::remove_all(folder.Dir);
  benchmark::Shutdown();
  return 0;
}
