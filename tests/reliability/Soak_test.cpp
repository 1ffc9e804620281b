// Twenty whole scans back to back through the real buttons with the simulated
// rig: every index lists its scan's 17 photos in capture order, every photo
// lies on disk as the camera sent it and decodes to the rig's size, and the
// process's resident memory stays flat once the first scan has warmed the
// caches. Waits are recorded, not waited.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using namespace Station;

namespace {

// Fewer and smaller under the sanitizers, which run the same code ten times slower.
constexpr int Scans = Sanitized ? 5 : 20;
const QSize PhotoSize = Sanitized ? QSize(320, 240) : QSize(640, 480);
// Resident growth allowed from the end of the first scan to the end of the last.
constexpr long AllowedGrowthKb = 50 * 1024;

TEST(Soak, ScansBackToBackKeepEveryPhotoAndMemoryFlat) {
  TWatchdog watchdog("the soak", Patience * 4);
  const fs::path dir = MakeTempDirectory("corvalet-soak");
  const TRemoveAtEnd cleanup{{dir}};
  ASSERT_TRUE(SimConfigure("cameras=1,latency=0,seed=3,size=" + std::to_string(PhotoSize.width()) +
                           "x" + std::to_string(PhotoSize.height())));
  TStation station;
  Koordinator->OutputDirectory = dir.string() + "/";
  const long atStart = ResidentKilobytes();
  station.Click("SpeedButton1");
  ASSERT_THAT(station.Messages, ElementsAreArray({Connected}));

  std::vector<TSavedPhoto> all;
  long afterFirst = 0;
  for (int scan = 1; scan <= Scans; ++scan) {
    SCOPED_TRACE("scan " + std::to_string(scan));
    station.Mark();
    const std::vector<std::string> before = FilesIn(dir);
    station.Click("SpeedButton10");
    ASSERT_TRUE(station.Settle());
    // From the second scan on, the earlier index is kept under its time.
    ASSERT_THAT(station.Messages, ElementsAreArray(ScanLogInto(dir, before)));
    EXPECT_THAT(station.WrongPatternSteps, IsEmpty());
    const std::vector<std::string> names = station.ScanNames();
    ASSERT_EQ(names.size(), 17u);
    EXPECT_EQ(ReadIndex(dir / "corvalet.sbf"), names);
    ExpectPhotosIntact(dir, station.SavedPhotos(), PhotoSize, "just saved");
    all.insert(all.end(), station.SavedPhotos().begin(), station.SavedPhotos().end());
    if (scan == 1) afterFirst = ResidentKilobytes();
  }
  const long atEnd = ResidentKilobytes();

  // Nothing of an earlier scan was touched by a later one.
  ASSERT_EQ(all.size(), std::size_t(17 * Scans));
  ExpectPhotosIntact(dir, all, PhotoSize, "at the end");
  EXPECT_EQ(FilesIn(dir).size(), all.size() + Scans);
  EXPECT_EQ(SimStatistics().ShotsAccepted, unsigned(17 * Scans));

  std::printf(
      "soak: %d scans, %zu photos of %dx%d; VmRSS %ld kB at start, %ld kB after the "
      "first scan, %ld kB after the last (%+ld kB)\n",
      Scans, all.size(), PhotoSize.width(), PhotoSize.height(), atStart, afterFirst, atEnd,
      atEnd - afterFirst);
  ASSERT_GT(afterFirst, 0) << "no VmRSS in /proc/self/status";
  if (Sanitized) {
    // The sanitizer holds freed memory in quarantine, so resident size grows by design.
    std::printf("soak: memory bound not checked under the address sanitizer\n");
  } else {
    EXPECT_LT(atEnd - afterFirst, AllowedGrowthKb);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return Station::RunTestsWithWindowSet(argc, argv);
}
