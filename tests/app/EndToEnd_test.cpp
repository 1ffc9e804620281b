// Whole scans through the real buttons, with real waits and the simulated
// camera: the photographs must spell out every point's number.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <cstdlib>
#include <filesystem>

#include "app/AimWindow.h"
#include "app/CalibrationInForce.h"
#include "app/CalibrationWindow.h"
#include "app/CheckWindow.h"
#include "app/Ovl_1.h"
#include "app/ScanCheckLog.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/OwnHome.h"
#include "tests/support/ScanDecode.h"
#include "tests/support/Station.h"

namespace fs = std::filesystem;
using namespace Station;

namespace {

constexpr int PhotoWidth = 2048;
constexpr int PhotoHeight = 1536;

class TEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDirectory("corvalet-e2e");
    Form1->show();
    Form2->hide();
    Application->ProcessMessages();
  }
  void TearDown() override {
    Stomper->Check = nullptr;
    Koordinator->Disconnect();
    Stomper->Running = false;
    Stomper->PhotoTimeout = TStomper::DefaultPhotoTimeout;
    fs::remove_all(Dir);
  }

  void ConnectRig(const std::string& Config) {
    ASSERT_TRUE(SimConfigure(Config));
    Click("SpeedButton1");
    ASSERT_TRUE(Koordinator->Connected);
    Koordinator->OutputDirectory = Dir.string() + "/";
  }

  std::vector<std::string> Photos() const {
    std::vector<std::string> names = FilesIn(Dir);
    std::erase_if(names, [](const std::string& Name) { return !Name.ends_with(".JPG"); });
    return names;
  }

  fs::path Dir;
};

// The newest log line that begins with Prefix, without its time; empty when none.
std::string LastLogLine(const std::string& Prefix) {
  const TMemoLines& lines = Form1->Memo1->Lines();
  for (int i = lines.Count() - 1; i >= 0; --i) {
    const std::string line = lines.Strings(i);
    const auto at = line.find(" : " + Prefix);
    if (at != std::string::npos) return line.substr(at + 3);
  }
  return {};
}

TEST_F(TEndToEndTest, FullScanSpellsOutEveryPointNumber) {
  ConnectRig("cameras=1,latency=0,seed=17");
  const auto check = CreateLoggedScanCheck();
  Stomper->Check = check.get();
  // Rasters the generator refuses, typed in the dialog: the start-up raster stays in force.
  TypeRaster({"10", "10", "80", "120", "3", "0"});
  TypeRaster({"10", "10", "-80", "120", "3", "8"});
  EXPECT_EQ(LastLogLine("Špatně"), "Špatně vyplněné hodnoty !");
  Click("SpeedButton10");
  ASSERT_FALSE(Form1->isVisible());
  ASSERT_TRUE(RunLoopUntilScanEnds()) << "the scan never ended";
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 17);

  ExpectWholeScan(Dir.string(), QSize(PhotoWidth, PhotoHeight));
  const std::string index = ReadFile(Dir / "corvalet.sbf");
  EXPECT_EQ(Photos().size(), 17u);

  // The check, run while the scan ran, agrees and leaves its report beside the index; the
  // scan's last line names its folder and the verdict (after the line, in a message of
  // its own, that 3D points need a calibration).
  const std::string verdict = "Sken " + Dir.string() + "/ – Kontrola: ";
  ASSERT_TRUE(RunLoopUntil([&] { return !LastLogLine(verdict).empty(); }));
  EXPECT_EQ(LastLogLine("Sken "), verdict + "9600/9600 bodů čitelných");
  EXPECT_TRUE(fs::exists(Dir / "corvalet-check.txt"));
  EXPECT_TRUE(fs::exists(Dir / "corvalet-check.png"));
  EXPECT_EQ(ReadFile(Dir / "corvalet.sbf"), index);
}

TEST_F(TEndToEndTest, SwallowedShotStopsTheScanAtThePhotoTimeLimit) {
  // The sixth shot is accepted but never delivered.
  ConnectRig("cameras=1,latency=0,size=640x480,swallow=6");
  Stomper->PhotoTimeout = 2000;
  QElapsedTimer clock;
  clock.start();
  Click("SpeedButton10");
  ASSERT_TRUE(RunLoopUntilScanEnds()) << "the scan never stopped";
  EXPECT_GE(clock.elapsed(), 2000);
  EXPECT_EQ(SimStatistics().ShotsSwallowed, 1u);
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 6);
  EXPECT_EQ(Photos().size(), 5u);
  EXPECT_TRUE(Koordinator->CapturedFiles.empty());
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));
  const TMemoLines& log = Form1->Memo1->Lines();
  ASSERT_GE(log.Count(), 2);
  EXPECT_TRUE(log.Strings(log.Count() - 2).ends_with(" : Snímek ke step_5 nepřišel do 2 s"));
  EXPECT_TRUE(
      log.Strings(log.Count() - 1).ends_with(" : Snímání zastaveno, seznam snímků nezapsán"));
}

TEST_F(TEndToEndTest, AimShowsWhichPointsTheCameraSeesAndAgainTakesThePhotosAnew) {
  ConnectRig("cameras=1,latency=0,seed=5");
  for (const std::size_t photos : {2u, 4u}) {
    SCOPED_TRACE(photos);
    if (photos == 2)
      Click("SpeedButton13");
    else
      Click("AgainButton", Form1->AimWindow());
    EXPECT_FALSE(Form1->isVisible());
    ASSERT_TRUE(RunLoopUntil([] { return Form1->AimWindow() && Form1->AimWindow()->isVisible(); }))
        << "no aim window";
    // The main window is back and usable beside it; the points stay on the projector.
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_TRUE(Form2->isVisible());
    const auto& result = Form1->AimWindow()->Result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->InView, 9600) << result->Summary();
    const auto* summary = Form1->AimWindow()->findChild<QLabel*>("AimSummary");
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ(summary->text().toStdString(), result->Summary());
    EXPECT_EQ(LastLogLine("Zaměření: "), result->Summary());
    const auto* picture = Form1->AimWindow()->findChild<QLabel*>("AimPicture");
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull());
    // Saved and logged like single shots, listed in no index.
    EXPECT_EQ(Photos().size(), photos);
    EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));
    EXPECT_TRUE(Koordinator->CapturedFiles.empty());
    EXPECT_EQ(LastLogLine("snímek uložen: "), "snímek uložen: " + (Dir / Photos().back()).string());
    EXPECT_EQ(LastLogLine("Snímek do snímání nepatří"), "");
  }
}

TEST_F(TEndToEndTest, CalibrationViewsAreScansOfTheSessionAndTheCalibrationInForceReachesTheCheck) {
  const fs::path truth = Dir / "truth";
  Koordinator->OutputDirectory = Dir.string() + "/";
  Click("SpeedButton14");
  TCalibrationWindow* window = Form1->CalibrationWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  // Without a camera no view is taken, and the window stays.
  Click("ViewButton", window);
  EXPECT_EQ(LastLogLine("Kamera "), TForm1::NoCameraText);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->Views().empty());

  ConnectRig("cameras=1,latency=0,seed=9,scene=board,board=9x6:25,pose=3,truth=" + truth.string());
  const auto check = CreateLoggedScanCheck();
  Stomper->Check = check.get();
  ASSERT_EQ(CalibrationInForce(), nullptr);
  Click("SpeedButton14");
  EXPECT_EQ(Form1->CalibrationWindow(), window);
  const auto* log = window->findChild<QPlainTextEdit*>("CalibrationLog");
  ASSERT_NE(log, nullptr);

  // The second view is scanned once the rig's own geometry, written during the
  // first, is in force, as "Spočítat" would put a result in force between views.
  for (const int view : {1, 2}) {
    SCOPED_TRACE(view);
    const std::string line = "Pohled " + std::to_string(view) + ": 54 rohů desky, ";
    Click("ViewButton", window);
    EXPECT_FALSE(window->isVisible());
    ASSERT_TRUE(RunLoopUntil(
        [&] { return log->toPlainText().toStdString().find(line) != std::string::npos; },
        ScanPatience))
        << log->toPlainText().toStdString() << "\n"
        << LastLogLine("Sn");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_EQ(LastLogLine("Kalibrace – Pohled ").rfind("Kalibrace – " + line, 0), 0u);
    ASSERT_EQ(window->Views().size(), std::size_t(view));
    const fs::path folder = window->Views().back();
    EXPECT_EQ(folder.parent_path().parent_path(), fs::path(window->SessionFolder()).parent_path());
    EXPECT_TRUE(fs::exists(folder / "corvalet.sbf"));
    // Each scan's report names the calibration it was taken under; only with one
    // are its points placed in space.
    const std::string verdict = "Sken " + window->Views().back() + " – Kontrola: ";
    ASSERT_TRUE(RunLoopUntil([&] { return !LastLogLine(verdict).empty(); }));
    const std::string report = ReadFile(folder / "corvalet-check.txt");
    EXPECT_NE(report.find("\n" + CalibrationInForceLine() + "\n"), std::string::npos) << report;
    EXPECT_EQ(fs::exists(folder / "corvalet-points.ply"), view == 2);
    if (view == 1) {
      EXPECT_NE(report.find("\nKalibrace: žádná\n"), std::string::npos) << report;
      std::string error;
      ASSERT_TRUE(PutCalibrationInForce((truth / "rig.yml").string(), &error)) << error;
    }
  }
  // Photos of the session's views stay out of the output folder itself.
  EXPECT_TRUE(Photos().empty());
  // "Kontrola" shows the last verdict with the scan's picture and its points in space.
  Click("SpeedButton15");
  ASSERT_NE(Form1->CheckWindow(), nullptr);
  EXPECT_TRUE(Form1->CheckWindow()->isVisible());
  const auto* verdict = Form1->CheckWindow()->findChild<QLabel*>("CheckVerdict");
  ASSERT_NE(verdict, nullptr);
  EXPECT_EQ(verdict->text().toStdString(), LastLogLine("Sken " + window->Views().back()));
  EXPECT_NE(verdict->text().toStdString().find("; 3D: "), std::string::npos);
  for (const char* picture : {"CheckPicture", "Points3dPicture"}) {
    const auto* label = Form1->CheckWindow()->findChild<QLabel*>(picture);
    ASSERT_NE(label, nullptr) << picture;
    EXPECT_FALSE(label->pixmap().isNull()) << picture;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The calibration put in force is remembered: in settings of the test's own.
  const fs::path home = Station::UseOwnHome("corvalet-e2e-home");
  const int result = Station::RunTestsWithWindowSet(argc, argv);
  fs::remove_all(home);
  return result;
}
