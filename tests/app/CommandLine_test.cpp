// The program's command line: the camera choice, and refusals before any window opens.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include "sdk/choice/CameraChoice.h"

namespace {

struct TRun {
  int ExitCode = -1;
  bool Finished = false;
  std::string Out, Err;
};

// Runs the program with a windowing platform that does not exist: a program
// that got as far as making its windowing application would abort.
TRun RunProgram(const QStringList& Arguments) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "no-such-platform");
  process.setProcessEnvironment(environment);
  process.start(CORVALETSCAN, Arguments);
  TRun run;
  run.Finished = process.waitForFinished(30000);
  if (!run.Finished) process.kill();
  process.waitForFinished(5000);
  run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.Out = process.readAllStandardOutput().toStdString();
  run.Err = process.readAllStandardError().toStdString();
  return run;
}

TEST(TCommandLineTest, AMalformedCameraIsRefusedBeforeAnyWindow) {
  for (const char* value : {"", "simulated", "ptpip:", "ptpip:camera.local", "ptpip:1.2.3",
                            "ptpip:256.1.1.1", "ptpip:10.0.0.1:0", "ptpip:10.0.0.1:65536",
                            "ptpip:10.0.0.1:15740:15740", "ptpip:10.0.0.1:", "usb:001,004"}) {
    const TRun run = RunProgram({"--camera", value});
    ASSERT_TRUE(run.Finished) << value;
    EXPECT_EQ(run.ExitCode, 1) << value << ": " << run.Err;
    EXPECT_NE(run.Err.find(std::string("--camera \"") + value + "\""), std::string::npos)
        << value << ": " << run.Err;
  }
  const TRun missing = RunProgram({"--camera"});
  EXPECT_EQ(missing.ExitCode, 1) << missing.Err;
  EXPECT_NE(missing.Err.find("Missing value"), std::string::npos) << missing.Err;
}

TEST(TCommandLineTest, HelpAndVersionAnswerWithoutAWindow) {
  const TRun help = RunProgram({"--help"});
  EXPECT_EQ(help.ExitCode, 0) << help.Err;
  EXPECT_NE(help.Out.find("--camera <camera>"), std::string::npos) << help.Out;
  const TRun version = RunProgram({"--version"});
  EXPECT_EQ(version.ExitCode, 0) << version.Err;
  EXPECT_EQ(version.Out, "corvaletscan " CORVALET_VERSION "\n");
}

TEST(TCommandLineTest, ANetworkCameraGetsBothPortsInItsPath) {
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

}  // namespace
