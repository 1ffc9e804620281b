// Reading the aiming photos on a thread of its own: "Znovu" never waits for an
// earlier reading, which is told to stop, and only the latest one's outcome is shown.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <filesystem>

#include "app/AimWindow.h"
#include "tests/support/SimScan.h"
#include "tests/support/Station.h"

namespace fs = std::filesystem;

namespace {

// The first reading holds on until it is told to stop, as a large photo's does, and
// then until the test lets it end; each wait is bounded. Later readings read the
// photos for real.
class THeldReading {
 public:
  TAimOutcome operator()(const TCheckRaster& Raster, const std::string& DarkPath,
                         const std::string& PointsPath, QSize Fit,
                         const std::atomic<bool>& Cancel) {
    if (Calls++ > 0) return ReadAimPhotos(Raster, DarkPath, PointsPath, Fit, Cancel);
    ToldToStop = Wait(Cancel);
    EndedUnreleased = !Wait(Released);
    return {std::nullopt, {}, "held"};
  }

  std::atomic<int> Calls{0};
  std::atomic<bool> Released{false}, ToldToStop{false}, EndedUnreleased{false};

 private:
  static bool Wait(const std::atomic<bool>& Flag) {
    QElapsedTimer timer;
    timer.start();
    while (!Flag && timer.elapsed() < Station::Patience.count()) QThread::usleep(1000);
    return Flag;
  }
};

TEST(AimReaderTest, AgainNeverWaitsForTheEarlierReadingAndShowsOnlyTheLatest) {
  const fs::path dir = Station::MakeTempDirectory("corvalet-aim-reader");
  // Small photos of a coarse raster: the reading is not what is tested here.
  TSimScanSetup setup;
  setup.OffsetX = setup.OffsetY = 20;
  setup.Rows = 20;
  setup.Columns = 30;
  setup.Size = 8;
  setup.Spacing = 30;
  setup.Width = 640;
  setup.Height = 480;
  setup.AimOnly = true;
  const TSimScan scan = WriteSimScan(dir.string(), setup);
  const std::string dark = (dir / scan.Names[0]).string(), points = (dir / scan.Names[1]).string();
  const TCheckRaster raster{scan.OffsetX, scan.OffsetY, scan.Rows,
                            scan.Columns, scan.Size,    scan.Spacing};
  auto held = std::make_shared<THeldReading>();
  std::vector<TAimOutcome> outcomes;
  auto done = [&](TAimOutcome Outcome) { outcomes.push_back(std::move(Outcome)); };
  {
    TAimReader reader([held](auto&&... Arguments) { return (*held)(Arguments...); });
    reader.Start(raster, dark, points, QSize(600, 400), done);
    ASSERT_TRUE(Station::RunLoopUntil([&] { return held->Calls == 1; }));
    // "Znovu": the earlier reading is told to stop, and the new one starts at once,
    // while the earlier one still holds on.
    reader.Start(raster, dark, points, QSize(600, 400), done);
    held->Released = true;
    ASSERT_TRUE(Station::RunLoopUntil([&] { return reader.UnderWay() == 0; }));
    Application->ProcessMessages();
    EXPECT_TRUE(held->ToldToStop);
    EXPECT_FALSE(held->EndedUnreleased) << "the new reading waited for the earlier one";
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].Result) << outcomes[0].Error;
    EXPECT_EQ(outcomes[0].Result->InView, 600) << outcomes[0].Result->Summary();
    EXPECT_FALSE(outcomes[0].Picture.isNull());
    // A reading under way when the reader goes is told to stop and waited for.
    held->Calls = 0;
    held->ToldToStop = false;
    reader.Start(raster, dark, points, QSize(600, 400), done);
    ASSERT_TRUE(Station::RunLoopUntil([&] { return held->Calls == 1; }));
  }
  EXPECT_TRUE(held->ToldToStop);
  Application->ProcessMessages();
  EXPECT_EQ(outcomes.size(), 1u);
  fs::remove_all(dir);
}

}  // namespace
