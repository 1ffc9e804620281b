// A whole scan through the real buttons with real waits, driving the
// PTP/IP camera emulator in this process through the libgphoto2 backend and
// libgphoto2 itself: the emulator photographs the projector feed, and its
// link is slower than the patterns settle.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <memory>

#include "app/Ovl_1.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "sdk/choice/CameraChoice.h"
#include "sdk/gphoto2/Gphoto2Backend.h"
#include "sdk/ptpip/PtpIpCamera.h"
#include "session/Koordinator.h"
#include "tests/support/OwnHome.h"
#include "tests/support/RigStation.h"
#include "tests/support/ScanDecode.h"

namespace fs = std::filesystem;

namespace {

using ::testing::AnyOf;
using ::testing::Eq;

constexpr int PhotoWidth = 2048;
constexpr int PhotoHeight = 1536;

using Station::Sha256Of;

TEST(TGphoto2ScanTest, FullScanThroughLibgphoto2SpellsOutEveryPointNumber) {
  Station::TRemoveAtEnd cleanup;
  const fs::path dir = Station::MakeTempDirectory("corvalet-gphoto2-scan-");
  cleanup.Paths.push_back(dir);

  TPtpIpCameraOptions options;
  options.Width = PhotoWidth;
  options.Height = PhotoHeight;
  options.Seed = 17;
  options.LifetimeSeconds = 240;
  // About 0.4 s a photo at 2 MB/s: the photos come down in pieces between the
  // shutters, the rest after the last one.
  options.CameraTimeMs = 100;
  options.BandwidthMBps = 2;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  std::string error;
  const auto choice = ParseCameraChoice("ptpip:127.0.0.1:" + std::to_string(port), error);
  ASSERT_TRUE(choice) << error;
  ApplyCameraChoice(*choice);

  Form1->show();
  Form2->hide();
  Application->ProcessMessages();
  Station::Click("SpeedButton1");
  ASSERT_TRUE(Koordinator->Connected);
  // The camera's settings as libgphoto2 reads them, after the connect line.
  const std::vector<std::string> connected = Station::LogMessages();
  ASSERT_GE(connected.size(), 2u);
  EXPECT_EQ(connected[connected.size() - 2],
            std::string("Kamera ") + Gphoto2NetworkModel + " připojena");
  EXPECT_EQ(connected.back(), Station::RigSettings);
  Koordinator->OutputDirectory = dir.string() + "/";

  Station::Click("SpeedButton10");
  ASSERT_FALSE(Form1->isVisible());
  ASSERT_TRUE(Station::RunLoopUntilScanEnds()) << "the scan never ended";
  EXPECT_EQ(Stomper->Step, 17);

  const std::vector<std::string> names = ExpectWholeScan(dir.string(), {PhotoWidth, PhotoHeight});
  const std::vector<TPtpIpServedPhoto> served = camera.Served();
  ASSERT_EQ(names.size(), 17u);
  ASSERT_EQ(served.size(), 17u);
  EXPECT_EQ(Station::FilesIn(dir).size(), 18u);
  EXPECT_EQ(camera.Stats().ObjectsOnCard, 0);
  // The index lists the photos in the order the camera took them, as the camera sent them.
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(names[i], served[i].Name.toStdString());
    EXPECT_EQ(Sha256Of(dir / names[i]), served[i].Sha256) << names[i];
  }

  Koordinator->Disconnect();
}

// The connection drops after the fifth photo: its deletion fails, the sixth
// shutter fails and the scan waits; after a reconnect a whole scan goes
// through. The station records every log line and takes the waits.
TEST(TGphoto2ScanTest, ADroppedConnectionLosesNoPhotoAndAReconnectScansAgain) {
  Station::TRemoveAtEnd cleanup;
  const fs::path dir = Station::MakeTempDirectory("corvalet-gphoto2-drop-");
  cleanup.Paths.push_back(dir);
  TPtpIpCameraOptions options;
  options.PhotoBytes = 100 * 1024;
  options.DropAfterTransfer = 5;
  options.LifetimeSeconds = 240;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  std::string error;
  ApplyCameraChoice(*ParseCameraChoice("ptpip:127.0.0.1:" + std::to_string(port), error));

  Station::TStation station;
  station.Click("SpeedButton1");
  ASSERT_TRUE(Koordinator->Connected);
  Koordinator->OutputDirectory = dir.string() + "/";
  station.Mark();
  station.Click("SpeedButton10");
  // The refused shutter stops the scan at once.
  ASSERT_TRUE(station.RunUntil([] { return Form1->isVisible(); })) << "the scan never stopped";
  // Long enough for a photo to have come, had there been one.
  Station::RunLoopUntil([] { return false; }, std::chrono::seconds(1));
  // The fifth photo is whole on disk. Its deletion fails on the dropped connection,
  // or seems to succeed when libgphoto2 reads a stale answer: either way it is kept.
  EXPECT_THAT(station.Messages,
              AnyOf(Eq(Station::ScanLog("....ks")), Eq(Station::ScanLog(".....s"))));
  EXPECT_FALSE(Stomper->Running);
  EXPECT_FALSE(fs::exists(dir / "corvalet.sbf"));
  ASSERT_EQ(camera.Served().size(), 5u);
  EXPECT_EQ(Station::FilesIn(dir).size(), 5u);

  // The operator connects again.
  station.Click("SpeedButton1");
  ASSERT_TRUE(Koordinator->Connected);
  station.Mark();
  station.Click("SpeedButton10");
  ASSERT_TRUE(station.RunUntil([] { return Form1->isVisible(); })) << "the scan never ended";
  EXPECT_EQ(station.Messages, Station::ScanLog());

  const auto names = Station::ReadIndex(dir / "corvalet.sbf");
  ASSERT_TRUE(names);
  const std::vector<TPtpIpServedPhoto> served = camera.Served();
  ASSERT_EQ(served.size(), 22u);
  ASSERT_EQ(names->size(), 17u);
  for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ((*names)[i], served[5 + i].Name.toStdString());
  EXPECT_EQ(Station::FilesIn(dir).size(), 23u);
  for (const TPtpIpServedPhoto& photo : served)
    EXPECT_EQ(Sha256Of(dir / photo.Name.toStdString()), photo.Sha256) << photo.Name.toStdString();
  // Only the fifth photo, whose deletion the dropped connection stopped, stays on the camera.
  EXPECT_EQ(camera.Stats().ObjectsOnCard, 1);
}

}  // namespace

int main(int argc, char** argv) {
  // As the program does: a dropped connection must not end the process when it is closed.
  std::signal(SIGPIPE, SIG_IGN);
  // libgphoto2 keeps its PTP/IP identity under $HOME/.gphoto.
  const fs::path home = Station::UseOwnHome("corvalet-gphoto2-home-");
  const int result = Station::RunTestsWithWindowSet(argc, argv);
  fs::remove_all(home);
  return result;
}
