// The program's command line: the camera choice, and refusals before any window opens.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <filesystem>

#include "sdk/CameraBackend.h"
#include "sdk/choice/CameraChoice.h"
#include "sdk/gphoto2/Gphoto2Backend.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

class TCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = QString::fromStdString(Station::MakeTempDirectory("corvalet-cli").string());
    Log = Dir + "/output.txt";
  }
  void TearDown() override { fs::remove_all(Dir.toStdString()); }

  // Runs the program with a windowing platform that does not exist: a program
  // that got as far as making its windowing application would abort.
  ChildProcess::TRun Run(const QStringList& Arguments) {
    const pid_t pid = Reaper.Keep(ChildProcess::Spawn(CORVALETSCAN, Arguments, Dir, Log,
                                                      {"QT_QPA_PLATFORM=no-such-platform"}));
    return ChildProcess::Finish(pid, Log, 30000);
  }

  QString Dir, Log;
  ChildProcess::TReaper Reaper;
};

TEST_F(TCommandLineTest, AMalformedCameraIsRefusedBeforeAnyWindow) {
  for (const char* value : {"", "simulated", "ptpip:", "ptpip:camera.local", "ptpip:1.2.3",
                            "ptpip:256.1.1.1", "ptpip:10.0.0.1:0", "ptpip:10.0.0.1:65536",
                            "ptpip:10.0.0.1:15740:15740", "ptpip:10.0.0.1:", "usb:001,004"}) {
    const ChildProcess::TRun run = Run({"--camera", value});
    ASSERT_TRUE(run.Finished) << value;
    EXPECT_EQ(run.ExitCode, 2) << value << ": " << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains(QString("--camera \"%1\"").arg(value)))
        << value << ": " << run.Output.toStdString();
  }
  const ChildProcess::TRun missing = Run({"--camera"});
  EXPECT_EQ(missing.ExitCode, 2) << missing.Output.toStdString();
  EXPECT_TRUE(missing.Output.contains("Missing value")) << missing.Output.toStdString();
}

TEST_F(TCommandLineTest, HelpAndVersionAnswerWithoutAWindow) {
  const ChildProcess::TRun help = Run({"--help"});
  EXPECT_EQ(help.ExitCode, 0) << help.Output.toStdString();
  EXPECT_TRUE(help.Output.contains("--camera <camera>")) << help.Output.toStdString();
  const ChildProcess::TRun version = Run({"--version"});
  EXPECT_EQ(version.ExitCode, 0) << version.Output.toStdString();
  EXPECT_EQ(version.Output.toStdString(), "corvaletscan " CORVALET_VERSION "\n");
}

// libgphoto2 writes to a network camera's socket when it ends the session: a
// connection the camera dropped must not end the program with SIGPIPE.
TEST_F(TCommandLineTest, TheRunningProgramIgnoresSigpipe) {
  const pid_t pid = Reaper.Keep(ChildProcess::Spawn(CORVALETSCAN, {"--camera", "sim"}, Dir, Log,
                                                    {"QT_QPA_PLATFORM=offscreen"}));
  ASSERT_GT(pid, 0);
  const QString status = QString("/proc/%1/status").arg(pid);
  bool ignored = false;
  QElapsedTimer timer;
  timer.start();
  // Read until the program has set its signals up, or ended, or the time is over.
  while (!ignored && timer.elapsed() < 30000) {
    QFile file(status);
    if (!file.open(QIODevice::ReadOnly)) break;
    for (const QByteArray& line : file.readAll().split('\n'))
      if (line.startsWith("SigIgn:"))
        ignored = (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGPIPE - 1)) & 1;
    if (!ignored) QThread::msleep(20);
  }
  ::kill(pid, SIGKILL);
  ChildProcess::Finish(pid, Log, 5000);
  EXPECT_TRUE(ignored);
}

TEST(TCameraChoiceTest, ANetworkCameraGetsBothPortsInItsPath) {
  std::string error;
  const auto plain = ParseCameraChoice("ptpip:192.168.1.10", error);
  ASSERT_TRUE(plain) << error;
  EXPECT_EQ(PtpipPortPath(*plain), "ptpip:192.168.1.10:15740:15740");
  const auto ported = ParseCameraChoice("ptpip:10.0.0.2:1234", error);
  ASSERT_TRUE(ported) << error;
  EXPECT_EQ(PtpipPortPath(*ported), "ptpip:10.0.0.2:1234:1234");
  const auto sim = ParseCameraChoice("sim", error);
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->Kind, TCameraChoice::TKind::Sim);
}

TEST(TCameraChoiceTest, WithoutAnOptionRealCamerasAreDrivenAndNothingFallsBackToTheRig) {
  ApplyCameraChoice(TCameraChoice{});
  EXPECT_EQ(CameraBackendInUse(), &Gphoto2CameraBackend());
  UseCameraBackend(nullptr);
  EXPECT_EQ(EdsInitializeSDK(), EdsResult_DeviceNotFound);
  EdsCameraListRef list = nullptr;
  EXPECT_EQ(EdsGetCameraList(&list), EdsResult_DeviceNotFound);
  EXPECT_EQ(list, nullptr);
}

}  // namespace
