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
      if (Coordinator->SaveTransferredImage(Msg) == TTransfer::Saved) {
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

  fs::path Dir;
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

}  // namespace
