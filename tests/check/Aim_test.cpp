// Aiming on the two photos that the simulated rig takes of the dark field and
// all points, compared with what the rig knows of every point.

#include <gtest/gtest.h>

#include <QTransform>
#include <array>
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

// The rig's two aiming photos with Config, and the truth of every point in them.
struct TAimPhotos {
  TSimScan Scan;
  QImage Dark, Points;
  TCheckRaster Raster() const {
    return {Scan.OffsetX, Scan.OffsetY, Scan.Rows, Scan.Columns, Scan.Size, Scan.Spacing};
  }
};

TAimPhotos ShootAim(const std::string& Config, TSimScanSetup setup) {
  std::string error;
  const auto config = ParseSimConfig(Config, &error);
  EXPECT_TRUE(config) << error;
  const fs::path dir = Station::MakeTempDirectory("corvalet-aim");
  setup.AimOnly = true;
  if (config) setup.Optics = config->Optics;
  TAimPhotos out{WriteSimScan(dir.string(), setup), {}, {}};
  out.Dark.load(QString::fromStdString((dir / out.Scan.Names[0]).string()));
  out.Points.load(QString::fromStdString((dir / out.Scan.Names[1]).string()));
  fs::remove_all(dir);
  return out;
}

// Aiming on Photos.
TAimCase AimOn(const TAimPhotos& Photos) {
  std::string error;
  const auto result = AimAtRaster(Photos.Raster(), Photos.Dark, Photos.Points, &error);
  EXPECT_TRUE(result) << error;
  return {Photos.Scan, result.value_or(TAimResult{})};
}

TAimCase AimWith(const std::string& Config, TSimScanSetup setup = {}) {
  return AimOn(ShootAim(Config, setup));
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

// The same over every point given a place, however the raster's rows and
// columns run: the photos cannot tell a raster from its mirror image.
double WorstMissAnyWayRound(const TAimCase& Case) {
  const int rows = Case.Scan.Rows, columns = Case.Scan.Columns;
  double best = 1e9;
  for (const bool flipRows : {false, true})
    for (const bool flipColumns : {false, true}) {
      double worst = 0;
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
          const QPointF q = Case.Result.Positions[std::size_t(r * columns + c)];
          if (std::isnan(q.x())) continue;
          const int tr = flipRows ? rows - 1 - r : r, tc = flipColumns ? columns - 1 - c : c;
          const QPointF miss = q - Case.Scan.Truth[std::size_t(tr * columns + tc)].Centre;
          worst = std::max(worst, std::hypot(miss.x(), miss.y()));
        }
      best = std::min(best, worst);
    }
  return best;
}

// From the rig's outer points to the photo's edges: left, right, top, bottom.
std::array<double, 4> TruthMargins(const TAimCase& Case) {
  std::array<double, 4> margins{1e9, 1e9, 1e9, 1e9};
  for (const TSimPointTruth& truth : Case.Scan.Truth) {
    const QPointF q = truth.Centre;
    margins[0] = std::min(margins[0], q.x());
    margins[1] = std::min(margins[1], Case.Result.PhotoWidth - q.x());
    margins[2] = std::min(margins[2], q.y());
    margins[3] = std::min(margins[3], Case.Result.PhotoHeight - q.y());
  }
  return margins;
}

void ExpectMarginsOfTheRig(const TAimCase& Case, double Tolerance) {
  const std::array<double, 4> truth = TruthMargins(Case);
  const TAimResult& result = Case.Result;
  EXPECT_NEAR(result.MarginLeft, truth[0], Tolerance) << result.Summary();
  EXPECT_NEAR(result.MarginRight, truth[1], Tolerance);
  EXPECT_NEAR(result.MarginTop, truth[2], Tolerance);
  EXPECT_NEAR(result.MarginBottom, truth[3], Tolerance);
}

TEST(AimTest, DefaultFramingSeesEveryPointWhereTheRigPutsIt) {
  const TAimCase aim = AimWith("");
  const TAimResult& result = aim.Result;
  ASSERT_EQ(aim.Scan.Readable(), 9600);
  const TCheckAgainstTruth truth = CompareWithTruth(aim.Scan, result.States, result.Positions);
  EXPECT_EQ(result.InView, 9600) << result.Summary();
  EXPECT_EQ(truth.Wrong, std::vector<int>{});
  EXPECT_LT(truth.Error95, 0.3);
  EXPECT_FALSE(result.TooSmall || result.TooClose || result.TooFaint) << result.Summary();
  // The margins from the rig's outer points, the spacing from its neighbours.
  ExpectMarginsOfTheRig(aim, 0.5);
  std::vector<double> across, down;
  const std::size_t columns = std::size_t(aim.Scan.Columns);
  for (std::size_t i = 0; i < aim.Scan.Truth.size(); ++i) {
    const QPointF q = aim.Scan.Truth[i].Centre;
    if ((i + 1) % columns)
      across.push_back(std::hypot(aim.Scan.Truth[i + 1].Centre.x() - q.x(),
                                  aim.Scan.Truth[i + 1].Centre.y() - q.y()));
    if (i + columns < aim.Scan.Truth.size())
      down.push_back(std::hypot(aim.Scan.Truth[i + columns].Centre.x() - q.x(),
                                aim.Scan.Truth[i + columns].Centre.y() - q.y()));
  }
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
    EXPECT_EQ(truth.Wrong, std::vector<int>{});
    // The outline runs through the raster's outer points, also those outside the photo,
    // where the lens and the perspective bend the rows on beyond what the photo shows
    // (five steps out, by about 3 pixels).
    EXPECT_LT(WorstMiss(aim, {TPointState::Cut, TPointState::Outside}), 3.5);
    // The line says that the raster runs past the photo, and what to do: the default
    // raster is larger than the view, the shifted one would fit if the camera turned.
    const std::string summary = result.Summary();
    EXPECT_EQ(summary.substr(summary.rfind("; ") + 2).rfind("rastr přesahuje snímek", 0), 0u)
        << summary;
    const std::array<double, 4> margins = TruthMargins(aim);
    const double extentX = result.PhotoWidth - margins[0] - margins[1],
                 extentY = result.PhotoHeight - margins[2] - margins[3];
    if (extentX >= result.PhotoWidth || extentY >= result.PhotoHeight) {
      EXPECT_NE(summary.find("oddalte kameru"), std::string::npos) << summary;
    } else {
      EXPECT_EQ(summary.find("oddalte"), std::string::npos) << summary;
      const char* ways[4] = {"doleva", "doprava", "nahoru", "dolů"};
      for (int side = 0; side < 4; ++side)
        EXPECT_EQ(summary.find(ways[side]) != std::string::npos, margins[std::size_t(side)] < 0)
            << ways[side] << ": " << summary;
    }
  }
}

// Photos taken anew bring the sensor's noise anew: at 4 pixels of blur, where the
// points begin to merge, every try gives the rig's outline or says that it cannot.
TEST(AimTest, BlurredPointsGiveTheRigsOutlineOnEveryTry) {
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    TSimScanSetup setup;
    setup.Seed = seed;
    const TAimCase aim = AimWith("blur=4", setup);
    const TAimResult& result = aim.Result;
    if (!result.Placed) {
      EXPECT_NE(result.Summary().find("nelze spolehlivě přiřadit"), std::string::npos)
          << result.Summary();
      continue;
    }
    // Every point lies in view; the blur only merges some of them. The outer points'
    // light leans towards their neighbours' by about a quarter of a step.
    EXPECT_EQ(result.Outside + result.Cut, 0) << result.Summary();
    EXPECT_EQ(result.InView + result.Missing, 9600);
    EXPECT_EQ(CompareWithTruth(aim.Scan, result.States, result.Positions).Wrong,
              std::vector<int>{});
    EXPECT_LT(WorstMiss(aim, {TPointState::Read, TPointState::Unread}), 0.3 * result.Spacing);
    ExpectMarginsOfTheRig(aim, 0.3 * result.Spacing);
  }
}

// A raster smaller than the lattice the points form fits it neither way round: no
// outline rather than a wrong one.
TEST(AimTest, PointsThatFitTheRasterNeitherWayRoundGetNoOutline) {
  TAimPhotos photos = ShootAim("", {});
  photos.Scan.Rows = 40;
  photos.Scan.Columns = 60;
  const TAimResult result = AimOn(photos).Result;
  EXPECT_FALSE(result.Placed);
  EXPECT_TRUE(result.Unmatched);
  EXPECT_EQ(result.InView, 0);
  EXPECT_TRUE(std::all_of(result.Positions.begin(), result.Positions.end(),
                          [](const QPointF& Q) { return std::isnan(Q.x()); }));
  EXPECT_NE(result.Summary().find("nelze spolehlivě přiřadit"), std::string::npos)
      << result.Summary();
}

// The camera turned a quarter to the right and moved along the raster: its 80 rows
// run across the photo, both ends in view; 70 of its 120 columns run down it, the
// last of them in view.
TEST(AimTest, CameraOnItsSideIsMatchedWithTheRowsAcross) {
  const TAimPhotos upright = ShootAim("", {});
  ASSERT_EQ(upright.Scan.Columns, 120);
  // From halfway between the 50th and the 51st column of the middle row to the photo's right edge.
  const std::size_t middle = std::size_t(40 * 120);
  const int left = int(std::lround(
      (upright.Scan.Truth[middle + 49].Centre.x() + upright.Scan.Truth[middle + 50].Centre.x()) /
      2));
  const QRect kept(left, 0, upright.Points.width() - left, upright.Points.height());
  const QTransform quarter = QTransform().rotate(90);
  TAimPhotos side = upright;
  side.Dark = upright.Dark.copy(kept).transformed(quarter);
  side.Points = upright.Points.copy(kept).transformed(quarter);
  // The rig's truth turned with the photo: (x, y) goes to (height - y, x - left).
  const double edge = 8;  // a point with its blur, from its middle
  for (TSimPointTruth& truth : side.Scan.Truth) {
    const QPointF q(kept.height() - truth.Centre.y(), truth.Centre.x() - left);
    const bool inside = truth.View == TSimPointTruth::TView::Inside;
    truth.Centre = q;
    if (q.x() < 0 || q.y() < 0 || q.x() >= side.Points.width() || q.y() >= side.Points.height())
      truth.View = TSimPointTruth::TView::Outside;
    else if (!inside || q.x() < edge || q.y() < edge || q.x() >= side.Points.width() - edge ||
             q.y() >= side.Points.height() - edge)
      truth.View = TSimPointTruth::TView::Edge;
    truth.Readable = truth.View == TSimPointTruth::TView::Inside;
  }
  const TAimCase aim = AimOn(side);
  const TAimResult& result = aim.Result;
  const int inside = aim.Count(TSimPointTruth::TView::Inside),
            edgeCount = aim.Count(TSimPointTruth::TView::Edge),
            outside = aim.Count(TSimPointTruth::TView::Outside);
  ASSERT_GT(outside, 3000);
  ASSERT_TRUE(result.Placed) << result.Summary();
  EXPECT_GE(result.InView, inside) << result.Summary();
  EXPECT_LE(result.InView, inside + edgeCount);
  EXPECT_GE(result.Outside + result.Cut, outside);
  EXPECT_LE(result.Outside + result.Cut, outside + edgeCount);
  EXPECT_EQ(result.Missing, 0);
  EXPECT_FALSE(result.ColumnsGuessed || result.RowsGuessed);
  // Each point in view where the rig put it; those past the top are placed a step per
  // column from the photo's edge, 50 columns out, and need not be as close.
  TAimCase inView = aim;
  for (std::size_t i = 0; i < inView.Result.Positions.size(); ++i) {
    const QPointF q = inView.Result.Positions[i];
    if (q.x() < 0 || q.y() < 0 || q.x() >= result.PhotoWidth || q.y() >= result.PhotoHeight)
      inView.Result.Positions[i] = QPointF(NAN, NAN);
  }
  EXPECT_LT(WorstMissAnyWayRound(inView), 3.0);
  const std::array<double, 4> truth = TruthMargins(aim);
  EXPECT_NEAR(result.MarginLeft, truth[0], 1.0) << result.Summary();
  EXPECT_NEAR(result.MarginRight, truth[1], 1.0);
  EXPECT_NEAR(result.MarginBottom, truth[3], 1.0);
  EXPECT_LT(result.MarginTop, -40 * result.Spacing);
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
