// The coordinator against the simulated rig: real callbacks from the rig's
// thread, real posted messages, real JPEG files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/Application.h"
#include "platform/ProjectorFeed.h"
#include "platform/Widgets.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Station::ReadFile;

namespace {

constexpr int PhotoWidth = 640;
constexpr int PhotoHeight = 480;
constexpr qint64 TransferTimeoutMs = 60000;

class TKoordinatorSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SimConfigure("cameras=1,latency=20,size=640x480,seed=5"));
    Dir = Station::MakeTempDirectory("corvalet-sim");
    Window = std::make_unique<TForm>();
    Memo = std::make_unique<TMemo>(Window.get(), "Memo1", QRect(0, 0, 385, 345));
    Coordinator = std::make_unique<TKoordinator>(Memo.get());
    Coordinator->OutputDirectory = Dir.string() + "/";
    // The main window's hook, as the application installs it.
    Application->SetMessageHook([this](TMsg& Msg, bool& Handled) {
      if (Msg.message != CameraTransferMessage) return;
      ++Transfers;
      std::optional<TOwedPhoto> shot;
      if (OnlyTake) {
        EXPECT_EQ(Coordinator->PhotoTaken(Msg, shot), TTaken::Owed);
      } else if (Coordinator->SaveTransferredImage(Msg) == TTransfer::Saved) {
        Coordinator->AddCapturedFile(Coordinator->LastSavedFile);
        Coordinator->Log("snímek uložen");
      }
      Handled = true;
    });
  }
  void TearDown() override {
    Application->SetMessageHook({});
    Coordinator.reset();
    Memo.reset();
    Window.reset();
    ClearProjectorFrame();
    SimUseEnvironment();
    fs::remove_all(Dir);
  }

  // Runs the loop until Count transfers have been handled or the time is up.
  bool WaitForTransfers(int Count) {
    QElapsedTimer timer;
    timer.start();
    while (Transfers < Count && timer.elapsed() < TransferTimeoutMs) {
      Application->ProcessMessages();
      QThread::msleep(5);
    }
    return Transfers >= Count;
  }

  // The log's messages, without their times.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (int i = 0; i < Memo->Lines().Count(); ++i) {
      const std::string line = Memo->Lines().Strings(i);
      messages.push_back(line.substr(line.find(" : ") + 3));
    }
    return messages;
  }

  // The photo on disk is the one the rig sent, byte for byte.
  static void ExpectAsSent(const fs::path& Path) {
    const std::string bytes = ReadFile(Path);
    const auto sent = SimPhoto(Path.filename().string());
    ASSERT_TRUE(sent) << Path;
    EXPECT_EQ(bytes.size(), sent->Size) << Path;
    EXPECT_EQ(SimDigest(bytes), sent->Digest) << Path;
  }

  fs::path Dir;
  // Transfers are only recorded as taken, owed a download.
  bool OnlyTake = false;
  std::unique_ptr<TForm> Window;
  std::unique_ptr<TMemo> Memo;
  std::unique_ptr<TKoordinator> Coordinator;
  int Transfers = 0;
};

TEST_F(TKoordinatorSimTest, ThreeShotsAreDownloadedAndIndexed) {
  // The lit field: the target then reflects far more than the room's light.
  QImage frame(1016, 734, QImage::Format_RGB888);
  frame.fill(Qt::white);
  PublishProjectorFrame(frame);

  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  EXPECT_EQ(Coordinator->CameraName, "Simulated camera");

  for (int shot = 1; shot <= 3; ++shot) {
    ASSERT_EQ(Coordinator->Shoot(), TShot::Taken) << "shot " << shot;
    ASSERT_TRUE(WaitForTransfers(shot)) << "no transfer for shot " << shot;
  }
  ASSERT_EQ(Coordinator->CapturedFiles.size(), 3u);
  const std::vector<std::string> names = Coordinator->CapturedFiles;
  EXPECT_NE(names[0], names[1]);
  EXPECT_NE(names[1], names[2]);
  EXPECT_EQ(Memo->Lines().Count(), 3);

  for (const std::string& name : names) {
    const QImage photo(QString::fromStdString((Dir / name).string()), "JPEG");
    ASSERT_FALSE(photo.isNull()) << name;
    EXPECT_EQ(photo.width(), PhotoWidth);
    EXPECT_EQ(photo.height(), PhotoHeight);
    EXPECT_GT(qGray(photo.pixel(PhotoWidth / 2, PhotoHeight / 2)), 100) << name;
  }

  Coordinator->WriteScanIndex();
  EXPECT_THAT(Coordinator->CapturedFiles, IsEmpty());
  const std::string index = ReadFile(Dir / "corvalet.sbf");
  const std::string body = index.substr(index.find("\r\n") + 2);
  EXPECT_EQ(body, std::string(80, '-') + "\r\n" + names[0] + "\r\n" + names[1] + "\r\n" + names[2] +
                      "\r\n");
  EXPECT_EQ(index.rfind("SBF File : 0, 1, points, 14x code pics, ", 0), 0u);

  Coordinator->Disconnect();
  EXPECT_EQ(SimStatistics().LiveReferences, 0u);
}

// Photos taken are owed their downloads, which go in the order of the shots,
// each into its own scan's folder, in pieces that each end within the time
// given; a photo whose next piece would not is left for later. The link runs
// at 1 MB/s on a clock that moves with the bytes downloaded.
TEST_F(TKoordinatorSimTest, OwedPhotosComeInPiecesWithinTheirTimeIntoTheirFolders) {
  ASSERT_TRUE(SimConfigure("cameras=1,latency=0,size=640x480,seed=5,bytes=300000"));
  const std::int64_t start = 1000000;
  Coordinator->Downloads.Clock = [start] {
    return start + std::int64_t(SimStatistics().BytesDownloaded);
  };
  const fs::path other = Dir / "sken-002";
  fs::create_directory(other);
  OnlyTake = true;
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ASSERT_EQ(Coordinator->Shoot(1, Dir.string(), 0), TShot::Taken);
  ASSERT_EQ(Coordinator->Shoot(1, Dir.string(), 1), TShot::Taken);
  ASSERT_EQ(Coordinator->Shoot(2, other.string(), 0), TShot::Taken);
  ASSERT_TRUE(WaitForTransfers(3));
  ASSERT_EQ(Coordinator->Downloads.Photos().size(), 3u);
  EXPECT_THAT(Coordinator->OwedPhotos, IsEmpty());
  EXPECT_THAT(Station::FilesIn(Dir), IsEmpty());

  const auto now = [&] { return Coordinator->Downloads.Clock(); };
  // Too little time for the smallest piece: nothing is asked for.
  EXPECT_FALSE(Coordinator->DownloadWithin(now() + 20000));
  EXPECT_EQ(SimStatistics().BytesDownloaded, 0u);
  // 0.29 s: a first piece measures the link, a second fills most of the rest; none is whole.
  const std::int64_t deadline = now() + 290000;
  EXPECT_FALSE(Coordinator->DownloadWithin(deadline));
  EXPECT_LE(now(), deadline);
  EXPECT_GT(SimStatistics().BytesDownloaded, 200000u);
  EXPECT_EQ(Coordinator->Downloads.Photos().size(), 3u);

  std::vector<TDownloaded> done;
  const std::int64_t later = now() + 1000000;
  while (auto photo = Coordinator->DownloadWithin(later)) done.push_back(*photo);
  EXPECT_LE(now(), later);
  ASSERT_EQ(done.size(), 3u);
  EXPECT_TRUE(Coordinator->Downloads.Empty());
  for (std::size_t i = 0; i < done.size(); ++i) {
    EXPECT_EQ(done[i].Transfer, TTransfer::Saved) << i;
    ExpectAsSent(done[i].Photo.Download.Path);
  }
  EXPECT_EQ(done[1].Photo.Step, 1);
  EXPECT_EQ(fs::path(done[1].Photo.Download.Path).parent_path(), Dir);
  EXPECT_EQ(done[2].Photo.Scan, 2u);
  EXPECT_EQ(fs::path(done[2].Photo.Download.Path).parent_path(), other);
  EXPECT_LT(done[0].Photo.Download.Name, done[1].Photo.Download.Name);
  EXPECT_EQ(Coordinator->LastSavedDirectory, other.string() + "/");
  Coordinator->Disconnect();
  EXPECT_EQ(SimStatistics().LiveReferences, 0u);
}

// A camera busy while it makes a photo keeps the photo owed. A download that
// fails with later photos taken: that photo leaves no file, the later ones
// stay owed until they are given up, and the log names each photo that stays
// on the camera; so does a disconnect.
TEST_F(TKoordinatorSimTest, PhotosNotDownloadedAreNamedAsLeftOnTheCamera) {
  ASSERT_TRUE(SimConfigure(
      "cameras=1,latency=0,size=160x120,fail=EdsDownload:1:0x81,fail=EdsDownload:3:0x81"));
  OnlyTake = true;
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  for (int step = 0; step < 4; ++step) ASSERT_EQ(Coordinator->Shoot(1, {}, step), TShot::Taken);
  ASSERT_TRUE(WaitForTransfers(4));
  EXPECT_FALSE(Coordinator->DownloadWithin(Coordinator->Downloads.Clock() + 10000000, true));
  EXPECT_TRUE(Coordinator->Downloads.CameraBusyAtWork);
  EXPECT_EQ(Coordinator->Downloads.Photos().size(), 4u);
  const auto first = Coordinator->DownloadNext();
  const auto second = Coordinator->DownloadNext();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Transfer, TTransfer::Saved);
  EXPECT_EQ(second->Transfer, TTransfer::Failed);
  EXPECT_EQ(second->Photo.Step, 1);
  EXPECT_FALSE(fs::exists(second->Photo.Download.Path));
  ASSERT_EQ(Coordinator->Downloads.Photos().size(), 2u);
  const auto left = [&](std::size_t Photo) {
    return "Snímek " + Coordinator->Downloads.Photos()[Photo].Download.CameraName +
           " zůstává v kameře";
  };
  std::vector<std::string> expected = {left(0), left(1)};
  Memo->Lines().Clear();
  Coordinator->LeaveOwedOnCamera();
  EXPECT_EQ(Messages(), expected);
  EXPECT_THAT(Station::FilesIn(Dir), ElementsAre(first->Photo.Download.Name));

  ASSERT_EQ(Coordinator->Shoot(2), TShot::Taken);
  ASSERT_TRUE(WaitForTransfers(5));
  expected = {left(0), "Kamera odpojena."};
  Memo->Lines().Clear();
  Coordinator->Disconnect();
  EXPECT_EQ(Messages(), expected);
  EXPECT_EQ(SimStatistics().LiveReferences, 0u);
}

}  // namespace
