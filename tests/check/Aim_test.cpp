// Aiming on the two photos that the simulated rig takes of the dark field and
// all points, compared with what the rig knows of every point.

#include <gtest/gtest.h>

#include <filesystem>

#include "check/Aim.h"
#include "sdk/sim/SimConfig.h"
#include "tests/support/CheckTruth.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

struct TAimCase {
  TSimScan Scan;
  TAimResult Result;
  int Count(TSimPointTruth::TView View) const {
    return int(std::count_if(Scan.Truth.begin(), Scan.Truth.end(),
                             [&](const TSimPointTruth& T) { return T.View == View; }));
  }
};

// The rig's two aiming photos with Config, read from disk as the station reads them.
TAimCase AimWith(const std::string& Config, TSimScanSetup setup = {}) {
  std::string error;
  const auto config = ParseSimConfig(Config, &error);
  EXPECT_TRUE(config) << error;
  const fs::path dir = Station::MakeTempDirectory("corvalet-aim");
  setup.AimOnly = true;
  if (config) setup.Optics = config->Optics;
  TAimCase out{WriteSimScan(dir.string(), setup), {}};
  const TCheckRaster raster{out.Scan.OffsetX, out.Scan.OffsetY, out.Scan.Rows,
                            out.Scan.Columns, out.Scan.Size,    out.Scan.Spacing};
  const auto result = AimAtRasterFiles(raster, (dir / out.Scan.Names[0]).string(),
                                       (dir / out.Scan.Names[1]).string(), &error);
  fs::remove_all(dir);
  EXPECT_TRUE(result) << error;
  if (result) out.Result = *result;
  return out;
}

// How far the place given for each point lies from the rig's, at most, over States.
double WorstMiss(const TAimCase& Case, std::initializer_list<TPointState> States) {
  double worst = 0;
  for (std::size_t i = 0; i < std::min(Case.Scan.Truth.size(), Case.Result.States.size()); ++i) {
    if (std::find(States.begin(), States.end(), Case.Result.States[i]) == States.end()) continue;
    const QPointF miss = Case.Result.Positions[i] - Case.Scan.Truth[i].Centre;
    worst = std::max(worst, std::hypot(miss.x(), miss.y()));
  }
  return worst;
}

TEST(AimTest, DefaultFramingSeesEveryPointWhereTheRigPutsIt) {
  const TAimCase aim = AimWith("");
  const TAimResult& result = aim.Result;
  ASSERT_EQ(aim.Scan.Readable(), 9600);
  const TCheckAgainstTruth truth = CompareWithTruth(aim.Scan, result.States, result.Positions);
  EXPECT_EQ(result.InView, 9600) << result.Summary();
  EXPECT_EQ(truth.Wrong, 0);
  EXPECT_LT(truth.Error95, 0.3);
  EXPECT_FALSE(result.TooSmall || result.TooClose || result.TooFaint) << result.Summary();
  // The margins from the rig's outer points, the spacing from its neighbours.
  double left = 1e9, right = 1e9, top = 1e9, bottom = 1e9;
  std::vector<double> across, down;
  const std::size_t columns = std::size_t(aim.Scan.Columns);
  for (std::size_t i = 0; i < aim.Scan.Truth.size(); ++i) {
    const QPointF q = aim.Scan.Truth[i].Centre;
    left = std::min(left, q.x());
    top = std::min(top, q.y());
    right = std::min(right, result.PhotoWidth - q.x());
    bottom = std::min(bottom, result.PhotoHeight - q.y());
    if ((i + 1) % columns) across.push_back(std::hypot(aim.Scan.Truth[i + 1].Centre.x() - q.x(),
                                                       aim.Scan.Truth[i + 1].Centre.y() - q.y()));
    if (i + columns < aim.Scan.Truth.size())
      down.push_back(std::hypot(aim.Scan.Truth[i + columns].Centre.x() - q.x(),
                                aim.Scan.Truth[i + columns].Centre.y() - q.y()));
  }
  EXPECT_NEAR(result.MarginLeft, left, 0.5);
  EXPECT_NEAR(result.MarginRight, right, 0.5);
  EXPECT_NEAR(result.MarginTop, top, 0.5);
  EXPECT_NEAR(result.MarginBottom, bottom, 0.5);
  std::sort(across.begin(), across.end());
  std::sort(down.begin(), down.end());
  EXPECT_NEAR(result.Spacing, std::min(across[across.size() / 2], down[down.size() / 2]), 0.2);
}

TEST(AimTest, RasterWiderThanTheViewCountsAndPlacesThePointsOutside) {
  // Past the photo's edges on three sides; the default raster's right end is in
  // view only where the tilted raster comes down, the shifted one's left end throughout.
  TSimScanSetup shifted;
  shifted.OffsetX = 150;
  shifted.Columns = 100;
  for (const TSimScanSetup& setup : {TSimScanSetup{}, shifted}) {
    SCOPED_TRACE(setup.Columns);
    const TAimCase aim = AimWith("zoom=1.25", setup);
    const TAimResult& result = aim.Result;
    const int inside = aim.Count(TSimPointTruth::TView::Inside),
              edge = aim.Count(TSimPointTruth::TView::Edge),
              outside = aim.Count(TSimPointTruth::TView::Outside);
    ASSERT_GT(outside, 100);
    EXPECT_GE(result.InView, inside) << result.Summary();
    EXPECT_LE(result.InView, inside + edge);
    EXPECT_GE(result.Outside + result.Cut, outside);
    EXPECT_LE(result.Outside + result.Cut, outside + edge);
    EXPECT_EQ(result.Missing, 0);
    EXPECT_FALSE(result.ColumnsGuessed || result.RowsGuessed);
    const TCheckAgainstTruth truth = CompareWithTruth(aim.Scan, result.States, result.Positions);
    EXPECT_EQ(truth.Wrong, 0);
    // The outline runs through the raster's outer points, also those outside the photo,
    // where the lens and the perspective bend the rows on beyond what the photo shows
    // (five steps out, by about 3 pixels).
    EXPECT_LT(WorstMiss(aim, {TPointState::Cut, TPointState::Outside}), 3.5);
  }
}

TEST(AimTest, PointsThatMergeOrDrownInNoiseAreSaidToBeSo) {
  const TAimCase blurred = AimWith("blur=5");
  EXPECT_TRUE(blurred.Result.TooClose) << blurred.Result.Summary();
  EXPECT_NE(blurred.Result.Summary().find("splývá"), std::string::npos);
  const TAimCase dim = AimWith("exposure=0.06,noise=3");
  EXPECT_EQ(dim.Result.InView, 0) << dim.Result.Summary();
  EXPECT_TRUE(dim.Result.TooFaint) << dim.Result.Summary();
}

}  // namespace
