// Scans whose photos come down slower than the patterns settle: the simulated
// rig's 300 kB photos over a link of 0.5 MB/s, 0.6 s a photo against 0.3 s of
// settling. The link's time is a clock that moves with the bytes downloaded;
// the waits are recorded, not waited. The order of the index, the photos byte
// for byte, what the operator sees, and the faults that meet photos still owed.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/Ovl_1.h"
#include "platform/Timer.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

namespace fs = std::filesystem;

namespace {

using namespace Station;
using ::testing::Contains;
using ::testing::Not;

const QSize PhotoSize(320, 240);
const std::string Rig = "cameras=1,latency=0,size=320x240,bytes=300000";
constexpr double LinkSpeed = 0.5;  // bytes per microsecond
const std::string SerialLine =
    "Kamera nespustí, dokud má snímek ke stažení: stahuje se před každým vzorem";

class TScanLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDirectory("corvalet-scanlink-");
    Cleanup.Paths.push_back(Dir);
  }

  // Connects the rig with Items added, and starts a scan into Dir.
  void StartScan(const std::string& Items = "") {
    ASSERT_TRUE(SimConfigure(Rig + Items));
    Desk.Click("SpeedButton1");
    ASSERT_TRUE(Koordinator->Connected);
    Koordinator->OutputDirectory = Dir.string() + "/";
    Desk.LinkAt(LinkSpeed);
    Desk.Mark();
    Desk.Click("SpeedButton10");
  }

  // Every photo the rig delivered in this scan is on disk as it was sent, or
  // named in the log as left on the camera, never both; the camera was told a
  // download was done only for those on disk. Gives how many stay on the camera.
  std::size_t ExpectEveryPhotoOnDiskOrNamed() {
    ExpectPhotosIntact(Dir, Desk.SavedPhotos(), PhotoSize);
    std::set<std::string> left;
    // The panel's lines of this scan: from its start, or all when that has scrolled away.
    const TMemoLines& lines = Form1->Memo1->Lines();
    int first = 0;
    for (int i = 0; i < lines.Count(); ++i)
      if (MessageOf(lines.Strings(i)) == ScanStarted) first = i;
    for (int i = first; i < lines.Count(); ++i) {
      const std::string line = lines.Strings(i);
      const std::string named = " : Snímek ";
      const auto name = line.find(named + "IMG_");
      if (name != std::string::npos && line.ends_with(" zůstává v kameře"))
        left.insert(line.substr(name + named.size(), 12));
    }
    for (const std::string& name : left) EXPECT_FALSE(fs::exists(Dir / name)) << name;
    EXPECT_EQ(Desk.SavedPhotos().size() + left.size(), SimStatistics().PhotosDelivered);
    EXPECT_EQ(SimCallCount("EdsDownloadComplete"), Desk.SavedPhotos().size());
    return left.size();
  }

  TStation Desk;
  TRemoveAtEnd Cleanup;
  fs::path Dir;
};

TEST_F(TScanLinkTest, PhotosSlowerThanTheGapsComeWholeAndInOrder) {
  StartScan();
  ASSERT_TRUE(Desk.RunUntil([] { return Form1->isVisible(); })) << "the scan never ended";
  const auto index = ReadIndex(Dir / "corvalet.sbf");
  ASSERT_TRUE(index);
  ASSERT_EQ(index->size(), 17u);
  EXPECT_EQ(*index, Desk.ScanNames());
  // The rig numbers its photos as it takes them.
  EXPECT_TRUE(std::is_sorted(index->begin(), index->end()));
  EXPECT_EQ(ExpectEveryPhotoOnDiskOrNamed(), 0u);

  // Part of each photo came while the next pattern settled: every settle wait
  // was shortened by it, and the shutter never waited for a download.
  ASSERT_EQ(Desk.Waits.size(), 18u);
  for (int step = 1; step < 17; ++step) EXPECT_LT(Desk.Waits[step], 300u) << step;
  // The downloads after the last exposure took longer than the 0.6 s the index waits for.
  EXPECT_EQ(Desk.Waits[17], 0u);
  // The rest came after the last exposure, counted, with the dark field on the projector.
  const auto& log = Desk.Messages;
  const auto moved = std::find(log.begin(), log.end(), MayMove);
  ASSERT_NE(moved, log.end());
  EXPECT_EQ(std::find(log.begin(), log.end(), "step_16") + 1, moved);
  EXPECT_EQ(*(moved + 1), ScanEnded);
  const auto savedBefore = std::count(log.begin(), moved, Saved);
  EXPECT_GT(savedBefore, 0);
  EXPECT_LT(savedBefore, 16);
  std::vector<std::string> after(moved + 2, log.end());
  std::vector<std::string> drained;
  for (int photo = int(savedBefore) + 1; photo <= 17; ++photo)
    drained.insert(drained.end(), {Downloading(photo), Saved});
  EXPECT_EQ(after, drained);
  EXPECT_EQ(WrongPointsOnProjector(0, 7), 0);
}

// The fifth piece fails: the photo it belonged to and those taken after it
// stay on the camera, named; those before are on disk.
TEST_F(TScanLinkTest, ADownloadThatFailsWithLaterPhotosTakenStopsTheScan) {
  StartScan(",fail=EdsDownload:5:0x24");
  ASSERT_TRUE(Desk.RunUntil([] { return Form1->isVisible(); })) << "the scan never stopped";
  EXPECT_FALSE(Stomper->Running);
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));
  EXPECT_THAT(Desk.Messages, Contains(NotSaved));
  EXPECT_EQ(Desk.Messages.back(), ScanStopped);
  EXPECT_GE(ExpectEveryPhotoOnDiskOrNamed(), 2u);
  EXPECT_EQ(SimCallCount("EdsDownload"), 5u);
}

// Shot 6 never comes: the photos taken before it come down, and the scan stops.
TEST_F(TScanLinkTest, APhotoThatNeverComesStopsTheScanWithTheOthersOnDisk) {
  StartScan(",swallow=6");
  ASSERT_TRUE(Desk.RunUntil([] { return SimStatistics().ShotsSwallowed == 1; }));
  EXPECT_FALSE(Koordinator->Downloads.Empty());
  AdvanceTime(Stomper->PhotoTimeout);
  ASSERT_TRUE(Desk.RunUntil([] { return Form1->isVisible(); })) << "the scan never stopped";
  EXPECT_THAT(Desk.Messages, Contains(PhotoMissing(5)));
  EXPECT_EQ(Desk.Messages.back(), ScanStopped);
  EXPECT_EQ(ExpectEveryPhotoOnDiskOrNamed(), 0u);
  EXPECT_EQ(Desk.SavedPhotos().size(), 5u);
}

// The second shutter is refused while the first photo is owed: it comes down,
// the shutter goes again, and from then on each photo before the next pattern.
TEST_F(TScanLinkTest, ACameraRefusingToShootWithAPhotoOwedGetsEachPhotoFirst) {
  StartScan(",fail=EdsSendCommand:2:0x81");
  ASSERT_TRUE(Desk.RunUntil([] { return Form1->isVisible(); })) << "the scan never ended";
  const auto index = ReadIndex(Dir / "corvalet.sbf");
  ASSERT_TRUE(index);
  EXPECT_EQ(*index, Desk.ScanNames());
  EXPECT_EQ(index->size(), 17u);
  EXPECT_EQ(ExpectEveryPhotoOnDiskOrNamed(), 0u);
  EXPECT_EQ(std::count(Desk.Messages.begin(), Desk.Messages.end(), SerialLine), 1);
  EXPECT_THAT(Desk.Messages, Not(Contains(ShutterFailed)));
  // Serial from the refusal on: photo n is saved before shutter n + 1.
  const auto& log = Desk.Messages;
  for (int step = 2; step < 17; ++step) {
    const auto shutter = std::find(log.begin(), log.end(), "step_" + std::to_string(step));
    EXPECT_EQ(std::count(log.begin(), shutter, Saved), step) << step;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return Station::RunTestsWithWindowSet(argc, argv);
}
