// The coordinator through the libgphoto2 backend and libgphoto2 itself against
// the PTP/IP camera emulator on 127.0.0.1: connect, shoot, download, delete.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <algorithm>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <filesystem>
#include <memory>

#include "camera/EDSDKApi.h"
#include "platform/Application.h"
#include "platform/Widgets.h"
#include "sdk/CameraBackend.h"
#include "sdk/CameraSettings.h"
#include "sdk/choice/CameraChoice.h"
#include "sdk/gphoto2/Gphoto2Backend.h"
#include "sdk/ptpip/PtpIpCamera.h"
#include "session/Koordinator.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/OwnHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr qint64 PatienceMs = 60000;

using Station::MakeTempDirectory;

using Station::Sha256Of;

class TGphoto2BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDirectory("corvalet-gphoto2-");
    ASSERT_FALSE(Dir.empty());
    Window = std::make_unique<TForm>();
    Memo = std::make_unique<TMemo>(Window.get(), "Memo1", QRect(0, 0, 385, 345));
    Coordinator = std::make_unique<TKoordinator>(Memo.get());
    Coordinator->OutputDirectory = Dir.string() + "/";
    Application->SetMessageHook([this](TMsg& Msg, bool& Handled) {
      if (Msg.message == CameraPropertyMessage) PropertiesTold.push_back(EdsUInt32(Msg.lParam));
      if (Msg.message != CameraTransferMessage) return;
      Handled = true;
      if (HoldTransfers) {
        Held.push_back(Msg);
        return;
      }
      ++Transfers;
      const TTransfer transfer = Coordinator->SaveTransferredImage(Msg);
      if (transfer == TTransfer::Saved || transfer == TTransfer::SavedCameraMayKeepCopy) ++Saved;
    });
  }
  void TearDown() override {
    Application->SetMessageHook({});
    Coordinator.reset();
    Memo.reset();
    Window.reset();
    UseCameraBackend(nullptr);
    UseCameraSettings(nullptr);
    fs::remove_all(Dir);
  }

  void StartCamera(TPtpIpCameraOptions Options) {
    Options.LifetimeSeconds = 120;
    Camera = std::make_unique<TPtpIpCamera>(std::move(Options));
    const std::uint16_t port = Camera->Start();
    ASSERT_NE(port, 0) << Camera->Error().toStdString();
    CameraPort = port;
    std::string error;
    const auto choice = ParseCameraChoice("ptpip:127.0.0.1:" + std::to_string(port), error);
    ASSERT_TRUE(choice) << error;
    ApplyCameraChoice(*choice);
  }

  bool RunUntil(const std::function<bool()>& Done) { return RunUntilOrMs(Done, PatienceMs); }
  bool RunUntilOrMs(const std::function<bool()>& Done, qint64 Milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!Done() && timer.elapsed() < Milliseconds) {
      Application->ProcessMessages();
      QThread::msleep(2);
    }
    return Done();
  }

  fs::path Dir;
  std::unique_ptr<TForm> Window;
  std::unique_ptr<TMemo> Memo;
  std::unique_ptr<TKoordinator> Coordinator;
  std::unique_ptr<TPtpIpCamera> Camera;
  std::uint16_t CameraPort = 0;
  // Properties named by the property messages that reached the hook.
  std::vector<EdsUInt32> PropertiesTold;
  int Transfers = 0;
  int Saved = 0;
  bool HoldTransfers = false;
  std::vector<TMsg> Held;
};

TEST_F(TGphoto2BackendTest, EachShotLandsOnDiskByteForByteAndLeavesTheCamera) {
  TPtpIpCameraOptions options;
  // Large enough that libgphoto2 fetches it in parts; the second one over 20 MB.
  options.PhotoBytes = 3 * 1024 * 1024 + 17;
  options.HugePhotoAt = 2;
  StartCamera(options);

  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  EXPECT_EQ(Coordinator->CameraName, Gphoto2NetworkModel);

  for (int shot = 1; shot <= 3; ++shot) {
    ASSERT_EQ(Coordinator->Shoot(), TShot::Taken) << "shot " << shot;
    ASSERT_TRUE(RunUntil([&] { return Transfers == shot; })) << "no photo for shot " << shot;
    ASSERT_EQ(Saved, shot);
    const std::vector<TPtpIpServedPhoto> served = Camera->Served();
    ASSERT_EQ(served.size(), std::size_t(shot));
    const std::string name = Coordinator->LastSavedFile;
    EXPECT_EQ(name, served.back().Name.toStdString());
    EXPECT_EQ(fs::file_size(Dir / name), std::uintmax_t(served.back().Size));
    EXPECT_EQ(Sha256Of(Dir / name), served.back().Sha256) << name;
    EXPECT_EQ(Camera->Stats().ObjectsOnCard, 0) << "the camera's copy of " << name << " stays";
  }
  EXPECT_EQ(Camera->Stats().Deletes, 3);
  EXPECT_GT(Camera->Served()[1].Size, 20 * 1024 * 1024);
  Coordinator->Disconnect();
}

// The settings through libgphoto2's widgets, in plain values both ways; a value
// set with the gphoto2 command before is the one the station reads.
TEST_F(TGphoto2BackendTest, CaptureSettingsAreReadAndSetInPlainValues) {
  TPtpIpCameraOptions options;
  options.PhotoBytes = 64 * 1024;
  options.Settings[TCameraSetting::ExposureMode] = {0, "automatic"};
  // The operator turns the ISO dial right after the first shot.
  options.Turns.push_back({1, TCameraSetting::Iso, {800, {}}});
  StartCamera(options);
  const QString gphoto2 = QStandardPaths::findExecutable(QStringLiteral("gphoto2"));
  ASSERT_FALSE(gphoto2.isEmpty()) << "gphoto2 is not installed";
  const QString log = QString::fromStdString((Dir / "gphoto2.log").string());
  const pid_t pid = ChildProcess::Spawn(
      gphoto2,
      {QStringLiteral("--port"), QStringLiteral("ptpip:127.0.0.1:%1:%1").arg(CameraPort),
       QStringLiteral("--set-config-value"), QStringLiteral("iso=400")},
      QString::fromStdString(Dir.string()), log);
  ASSERT_NE(pid, 0);
  const ChildProcess::TRun run = ChildProcess::Finish(pid, log, 60000);
  ASSERT_TRUE(run.Finished);
  ASSERT_EQ(run.ExitCode, 0) << run.Output.toStdString();

  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ICameraSettings* settings = CameraSettingsInUse();
  ASSERT_NE(settings, nullptr);
  const EdsCameraRef camera = Coordinator->Controller->GetCameraRef();
  std::vector<TSettingState> listed;
  ASSERT_EQ(settings->List(camera, listed), EdsResult_Ok);
  EXPECT_EQ(ExposureSummary(listed), "automatika, 1/30 s, f/8, ISO 400");
  EXPECT_EQ(ExposureModeOf(listed), TExposureMode::Automatic);

  ASSERT_EQ(settings->Set(camera, TCameraSetting::ExposureMode, {0, "manual"}), EdsResult_Ok);
  ASSERT_EQ(settings->Set(camera, TCameraSetting::ShutterSpeed, {1.0 / 125, {}}), EdsResult_Ok);
  ASSERT_EQ(settings->Set(camera, TCameraSetting::Aperture, {5.6, {}}), EdsResult_Ok);
  const TSimSettings onCamera = Camera->Settings();
  EXPECT_EQ(onCamera[TCameraSetting::ExposureMode].Name, "manual");
  EXPECT_DOUBLE_EQ(onCamera[TCameraSetting::ShutterSpeed].Number, 1.0 / 125);
  EXPECT_DOUBLE_EQ(onCamera[TCameraSetting::Aperture].Number, 5.6);
  TSettingState aperture;
  ASSERT_EQ(settings->Get(camera, TCameraSetting::Aperture, aperture), EdsResult_Ok);
  EXPECT_EQ(SettingText(TCameraSetting::Aperture, aperture.Value), "f/5,6");

  // Not among the camera's values: refused before anything reaches it, the session goes on.
  EXPECT_EQ(settings->Set(camera, TCameraSetting::Aperture, {7, {}}), EdsResult_InvalidParameter);
  EXPECT_EQ(settings->Set(camera, TCameraSetting::WhiteBalance, {0, "candlelight"}),
            EdsResult_InvalidParameter);
  EXPECT_DOUBLE_EQ(Camera->Settings()[TCameraSetting::Aperture].Number, 5.6);
  // The automatic ISO, which the generic driver shows as the standard's 65535, both ways.
  ASSERT_EQ(settings->Set(camera, TCameraSetting::Iso, {0, AutomaticValue}), EdsResult_Ok);
  EXPECT_EQ(Camera->Settings()[TCameraSetting::Iso].Name, AutomaticValue);
  ASSERT_EQ(settings->List(camera, listed), EdsResult_Ok);
  EXPECT_EQ(ExposureSummary(listed), "manuál, 1/125 s, f/5,6, automatické ISO");
  EXPECT_TRUE(IsoIsAutomatic(listed));
  // The camera's DevicePropChanged reaches the window as the ISO's property message.
  EXPECT_EQ(Coordinator->Shoot(), TShot::Taken);
  EXPECT_TRUE(RunUntil([&] {
    return Transfers == 1 && std::count(PropertiesTold.begin(), PropertiesTold.end(),
                                        EdsProperty_IsoSpeed) == 1;
  })) << Transfers << " photos, " << PropertiesTold.size() << " property messages";
  Coordinator->Disconnect();
}

TEST_F(TGphoto2BackendTest, ABusyOrSwallowedShotFailsNothingElse) {
  TPtpIpCameraOptions options;
  options.PhotoBytes = 100 * 1024;
  options.BusyOnCapture = 1;
  options.SwallowCapture = 2;
  StartCamera(options);
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));

  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused) << "a busy camera's shot passed for taken";
  EXPECT_EQ(Coordinator->Shoot(), TShot::Taken);
  // Long enough for the swallowed photo to have come, had there been one.
  EXPECT_FALSE(RunUntilOrMs([&] { return Transfers > 0; }, 1500));
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Saved == 1; }));
  EXPECT_EQ(Sha256Of(Dir / Coordinator->LastSavedFile), Camera->Served().back().Sha256);
  EXPECT_EQ(Camera->Stats().ObjectsOnCard, 0);
}

TEST_F(TGphoto2BackendTest, ADroppedConnectionEndsTheSessionUntilTheOperatorReconnects) {
  TPtpIpCameraOptions options;
  options.PhotoBytes = 100 * 1024;
  options.DropAtCapture = 2;
  StartCamera(options);
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Saved == 1; }));

  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused);
  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused) << "the session went on after a communication error";
  EXPECT_EQ(Camera->Stats().Captures, 2);

  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Saved == 2; }));
  EXPECT_EQ(Sha256Of(Dir / Coordinator->LastSavedFile), Camera->Served().back().Sha256);
  EXPECT_EQ(Camera->Stats().ObjectsOnCard, 0);
}

TEST_F(TGphoto2BackendTest, AFailedDownloadLeavesThePhotoOnTheCamera) {
  TPtpIpCameraOptions options;
  options.PhotoBytes = 100 * 1024;
  // Later than libgphoto2 waits for a reply.
  options.SlowOperation = PtpCode::GetObject;
  options.SlowNth = 1;
  options.SlowMs = 4000;
  StartCamera(options);
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Transfers == 1; }));
  EXPECT_EQ(Saved, 0);
  EXPECT_TRUE(fs::is_empty(Dir)) << "a part of the photo stays on disk";
  EXPECT_EQ(Camera->Stats().Deletes, 0);
  EXPECT_EQ(Camera->Stats().ObjectsOnCard, 1);

  // After the reconnect the stream is in step again.
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Saved == 1; }));
  EXPECT_EQ(Sha256Of(Dir / Coordinator->LastSavedFile), Camera->Served().back().Sha256);
}

TEST_F(TGphoto2BackendTest, AReferenceFromAnEndedSessionIsRefusedAndDeletesNothing) {
  TPtpIpCameraOptions options;
  options.PhotoBytes = 200 * 1024;
  StartCamera(options);
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  HoldTransfers = true;
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Held.size() == 1; }));
  const auto stale = reinterpret_cast<EdsDirectoryItemRef>(Held.front().lParam);

  // Reconnecting ends the SDK instance that handed out the reference.
  ASSERT_TRUE(Coordinator->Connect(Window->Handle()));
  // libgphoto2 closes descriptor 0 at each session's end; the next file opened must not be it.
  EXPECT_NE(fcntl(0, F_GETFD), -1);
  EdsDirectoryItemInfo info{};
  EXPECT_EQ(EdsGetDirectoryItemInfo(stale, &info), EdsResult_InvalidHandle);
  EXPECT_EQ(EdsDownloadComplete(stale), EdsResult_InvalidHandle);
  EXPECT_EQ(EdsRelease(stale), CameraBackendReleaseRefused);
  EXPECT_EQ(Camera->Stats().Deletes, 0);
  EXPECT_EQ(Camera->Stats().ObjectsOnCard, 1);

  // The new session goes on working.
  HoldTransfers = false;
  ASSERT_EQ(Coordinator->Shoot(), TShot::Taken);
  ASSERT_TRUE(RunUntil([&] { return Saved == 1; }));
  EXPECT_EQ(Sha256Of(Dir / Coordinator->LastSavedFile), Camera->Served().back().Sha256);
}

TEST_F(TGphoto2BackendTest, NoCameraAtTheAddressIsNotConnected) {
  // The camera's port, closed again: nothing answers there.
  StartCamera({});
  Camera.reset();
  EXPECT_FALSE(Coordinator->Connect(Window->Handle()));
}

}  // namespace

int main(int argc, char** argv) {
  // As the program does: a dropped connection must not end the process when it is closed.
  std::signal(SIGPIPE, SIG_IGN);
  // libgphoto2 keeps its PTP/IP identity under $HOME/.gphoto.
  return Station::RunTestsWithOwnHome(argc, argv, "corvalet-gphoto2-home-");
}
