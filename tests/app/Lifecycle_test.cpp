// Start-up and the two ways out, each in a process of its own that is built
// like the program: the four windows in order, the loop, the exit. The
// simulated rig is the camera; each scenario must end with exit code 0.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/Ovl_1.h"
#include "app/Windows.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Sleep.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

namespace fs = std::filesystem;
using Station::WaitForDeliveries;

namespace {

// Failed checks of the child process; it exits with 1 when there are any.
std::vector<std::string> Failures;
// The program's output directory in the scenario.
fs::path OutputDirectory;

#define CHECK(Condition)                                                              \
  do {                                                                                \
    if (!(Condition)) Failures.push_back(std::to_string(__LINE__) + ": " #Condition); \
  } while (false)

void Click(QWidget* Window, const char* Name) {
  auto* button = Window->findChild<TSpeedButton*>(Name);
  CHECK(button != nullptr);
  if (button != nullptr) QTest::mouseClick(button, Qt::LeftButton);
}

fs::path MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "corvalet-life-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Failures.push_back("mkdtemp failed");
  return pattern;
}

// Photos and indexes: the lock file of a scan still running is neither.
int FilesIn(const fs::path& Directory) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(Directory))
    count += entry.is_regular_file() && entry.path().filename() != "corvalet.lock";
  return count;
}

// Builds the program's window set, lets Scenario drive the running loop, then
// checks the state after the loop with After; the application and its
// windows go out of scope as in the program, and the process exits.
[[noreturn]] void RunProgram(const std::string& RigConfig, const std::function<void()>& Scenario,
                             const std::function<void(int ExitCode)>& After) {
  SimConfigure(RigConfig);
  // Waits are recorded, not waited; the scenarios do not depend on them.
  SetSleepFunction([](std::uint32_t) {});
  OutputDirectory = MakeTempDirectory();
  {
    int argc = 1;
    char name[] = "corvaletscan";
    char* argv[] = {name, nullptr};
    TApplication application(argc, argv);
    CreateWindows(application);
    Koordinator->OutputDirectory = OutputDirectory.string() + "/";
    QTimer::singleShot(0, Scenario);
    const int code = application.Run();
    After(code);
  }
  fs::remove_all(OutputDirectory);
  for (const std::string& failure : Failures)
    std::fprintf(stderr, "check failed at line %s\n", failure.c_str());
  std::exit(Failures.empty() ? 0 : 1);
}

TEST(LifecycleDeathTest, StartUpCreatesFourWindowsAndShowsOnlyTheMainOne) {
  EXPECT_EXIT(RunProgram(
                  "cameras=1",
                  [] {
                    CHECK(Application->MainForm() == Form1);
                    CHECK(Form1 && Form2 && PointDef && Form3);
                    // Handles are numbered in the order the windows were made.
                    CHECK(Form1->Handle() < Form2->Handle());
                    CHECK(Form2->Handle() < PointDef->Handle());
                    CHECK(PointDef->Handle() < Form3->Handle());
                    CHECK(Form1->isVisible());
                    CHECK(!Form2->isVisible() && !PointDef->isVisible() && !Form3->isVisible());
                    CHECK(Form1->Caption() == "CorvaletScan");
                    CHECK(Stomper != nullptr && !Stomper->Running && Stomper->Step == 0 &&
                          Stomper->Delay == 300);
                    CHECK(Koordinator != nullptr && Koordinator->LogPanel == Form1->Memo1 &&
                          !Koordinator->Connected);
                    CHECK(Form1->Memo1->Lines().Count() == 0);
                    // No camera work happens before "Inicializace".
                    CHECK(SimCallCount("EdsInitializeSDK") == 0);
                    CHECK(MatGen != nullptr && MatGen->RowCount() == 80 &&
                          MatGen->ColumnCount() == 120 && MatGen->Spacing() == 8 &&
                          MatGen->PointSize() == 3 && MatGen->OffsetX() == 10 &&
                          MatGen->OffsetY() == 10 && MatGen->PlaneCounter() == 0);
                    const ColourTriple point = MatGen->PointColour();
                    const ColourTriple background = MatGen->BackgroundColour();
                    CHECK(point.Green == 0xFF && point.Red == 0 && point.Blue == 0);
                    CHECK(background.Green == 0 && background.Red == 0 && background.Blue == 0);
                    TBitmap& bitmap = Form2->Image1->Picture().Bitmap();
                    CHECK(bitmap.Width() == 1016 && bitmap.Height() == 734);
                    CHECK(bitmap.PixelFormat() == TPixelFormat::pf24bit);
                    bool black = true;
                    for (int y = 0; y < bitmap.Height(); ++y) {
                      const auto* row = static_cast<const std::uint8_t*>(bitmap.ScanLine(y));
                      for (int x = 0; x < bitmap.Width() * 3; ++x) black = black && row[x] == 0;
                    }
                    CHECK(black);
                    Click(Form1, "SpeedButton11");
                  },
                  [](int Code) { CHECK(Code == 0); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(LifecycleDeathTest, ClosingTheMainWindowReleasesAndIgnoresLateCameraMessages) {
  EXPECT_EXIT(RunProgram(
                  "cameras=1,latency=0,size=320x240",
                  [] {
                    Click(Form1, "SpeedButton1");
                    CHECK(Koordinator != nullptr && Koordinator->Connected);
                    Click(Form1, "SpeedButton10");
                    CHECK(Stomper->Running);
                    // The photograph of step 0 arrives and waits in the queue.
                    CHECK(WaitForDeliveries(1));
                    const int lines = Form1->Memo1->Lines().Count();
                    Form1->close();
                    CHECK(Koordinator == nullptr);
                    CHECK(MatGen == nullptr);
                    CHECK(Application->Terminated());
                    // What is queued now and what comes later is ignored.
                    CHECK(PostMessageA(Form1->Handle(), CameraTransferMessage, 0x208, 0x10));
                    CHECK(PostMessageA(Form1->Handle(), CameraPropertyMessage, 0x101, 0x402));
                    CHECK(PostMessageA(Form1->Handle(), DownloadProgressMessage, 50, 0));
                    Application->ProcessMessages();
                    CHECK(Form1->Memo1->Lines().Count() == lines);
                    CHECK(Stomper->Step == 1);
                    // The photograph that was waiting was not downloaded.
                    CHECK(FilesIn(OutputDirectory) == 0);
                  },
                  [](int Code) {
                    CHECK(Code == 0);
                    CHECK(!Form1->isVisible());
                  }),
              ::testing::ExitedWithCode(0), "");
}

TEST(LifecycleDeathTest, KonecEndsWithoutTheCloseHandlerAndTheProcessExitsCleanly) {
  EXPECT_EXIT(RunProgram(
                  "cameras=1,latency=0,size=320x240",
                  [] {
                    Click(Form1, "SpeedButton1");
                    CHECK(Koordinator->Connected);
                    // A photograph is still on its way when the program ends.
                    Click(Form1, "SpeedButton10");
                    CHECK(SimStatistics().ShotsAccepted == 1);
                    Form1->show();
                    Click(Form1, "SpeedButton11");
                    CHECK(Application->Terminated());
                  },
                  [](int Code) {
                    CHECK(Code == 0);
                    // No close handler ran: the coordinator, the camera session and MatGen remain.
                    CHECK(Koordinator != nullptr && Koordinator->Connected);
                    CHECK(SimCameraState(0).SessionOpen);
                    CHECK(MatGen != nullptr);
                    // The photograph of step 0 comes after the end request and is ignored.
                    const int lines = Form1->Memo1->Lines().Count();
                    CHECK(WaitForDeliveries(1));
                    Application->ProcessMessages();
                    CHECK(Form1->Memo1->Lines().Count() == lines);
                    CHECK(Koordinator->CapturedFiles.empty());
                    CHECK(FilesIn(OutputDirectory) == 0);
                    CHECK(Stomper->Step == 1);
                  }),
              ::testing::ExitedWithCode(0), "");
}

TEST(LifecycleDeathTest, WithoutACameraScanAndShotOnlySayWhatToPress) {
  EXPECT_EXIT(RunProgram(
                  "cameras=0",
                  [] {
                    std::vector<std::uint32_t> waits;
                    SetSleepFunction(
                        [&waits](std::uint32_t Milliseconds) { waits.push_back(Milliseconds); });
                    Click(Form1, "SpeedButton1");
                    CHECK(Form1->Memo1->Lines().Count() == 1);
                    CHECK(Form1->Memo1->Lines().Strings(0).ends_with(" : Kamera nepřipojena"));
                    CHECK(Koordinator->CameraName == "Camera is not detected!");

                    Click(Form1, "SpeedButton10");
                    CHECK(!Form2->isVisible() && Form1->isVisible());
                    CHECK(Form1->Memo1->Lines().Count() == 2);
                    CHECK(Form1->Memo1->Lines().Strings(1).ends_with(
                        " : Kamera nepřipojena, nejdřív stiskněte Inicializace"));
                    CHECK(!Stomper->Running && Stomper->Step == 0);

                    Click(Form1, "SpeedButton2");
                    CHECK(waits.empty());
                    CHECK(SimStatistics().ShotsAccepted == 0);
                    CHECK(Form1->Memo1->Lines().Count() == 3);
                    SetSleepFunction([](std::uint32_t) {});
                    Form1->close();
                  },
                  [](int Code) {
                    CHECK(Code == 0);
                    CHECK(Koordinator == nullptr && MatGen == nullptr);
                  }),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Each scenario starts a fresh process of its own.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
