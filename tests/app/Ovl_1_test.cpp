// The main window, its hook and the scan sequencer against the recording test
// SDK, with every wait recorded instead of waited.

#include "app/Ovl_1.h"

#include "app/AimWindow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/ProjectorFeed.h"
#include "platform/Sleep.h"
#include "platform/Timer.h"
#include "session/Koordinator.h"
#include "tests/support/Station.h"
#include "tests/support/TestSdk.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace Station;

namespace {

constexpr EdsError SomeFailure = EdsResult_InvalidHandle;

// What one recorded wait saw when it began.
struct TWait {
  std::uint32_t Milliseconds = 0;
  int ShutterCommands = 0;
  std::string LastMessage;
  bool IndexWritten = false;
  // Points whose state on the projector differs from the pattern of the
  // step about to be shot; -1 when the wait is no scan step's.
  int WrongPoints = -1;
};

class TMainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestSdk::Reset();
    TestSdk::AddCamera("Test camera");
    Dir = MakeTempDirectory("corvalet-app");
    Koordinator->OutputDirectory = Dir.string() + "/";
    Koordinator->CapturedFiles.clear();
    Stomper->Running = false;
    Stomper->Step = 0;
    Form1->Memo1->Lines().Clear();
    Form1->show();
    Form2->hide();
    Application->ProcessMessages();
    // Every line, also those the panel has already dropped.
    SeenLines = 0;
    LogWatch = QObject::connect(Form1->Memo1, &QPlainTextEdit::textChanged, [this] {
      const TMemoLines& lines = Form1->Memo1->Lines();
      if (lines.Count() > SeenLines)
        Messages.push_back(MessageOf(lines.Strings(lines.Count() - 1)));
      SeenLines = lines.Count();
    });
    SetSleepFunction(
        [this](std::uint32_t Milliseconds) { Waits.push_back(Observe(Milliseconds)); });
    Application->SetErrorBox([this](const std::string& Text) { Errors.push_back(Text); });
    SetManualTime(true);
  }

  void TearDown() override {
    QObject::disconnect(LogWatch);
    SetSleepFunction({});
    SetManualTime(false);
    Application->SetErrorBox({});
    Koordinator->Disconnect();
    Stomper->Running = false;
    Form2->hide();
    fs::remove_all(Dir);
  }

  TWait Observe(std::uint32_t Milliseconds) {
    TWait wait;
    wait.Milliseconds = Milliseconds;
    wait.ShutterCommands = ShutterCommands();
    wait.LastMessage = Messages.empty() ? "" : Messages.back();
    wait.IndexWritten = fs::exists(Dir / "corvalet.sbf");
    if (Stomper->Running && Stomper->Step >= 0 && Stomper->Step < TStomper::FinalStep)
      wait.WrongPoints = WrongPointsOnProjector(Stomper->Step);
    return wait;
  }

  static int ShutterCommands() { return TestSdk::CallCount("EdsSendCommand"); }

  static void Click(QWidget* Window, const char* Name) { Station::Click(Name, Window); }

  void Connect() {
    Click(Form1, "SpeedButton1");
    ASSERT_TRUE(Koordinator->Connected);
    Messages.clear();
    TestSdk::ClearCalls();
  }

  // The camera announces a new photograph; the loop takes the message.
  void Deliver(const std::string& Name) {
    const EdsDirectoryItemRef item = TestSdk::AddItem(Name, "jpeg of " + Name);
    TestSdk::FireObjectEvent(EdsObjectEvent_TransferRequest, item);
    Application->ProcessMessages();
  }

  static std::string PhotoName(int Number) {
    char name[24];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", Number);
    return name;
  }
  // The photographs First..Last, as a scan's index lists them.
  static std::vector<std::string> PhotoNames(int First, int Last) {
    std::vector<std::string> names;
    for (int n = First; n <= Last; ++n) names.push_back(PhotoName(n));
    return names;
  }

  fs::path Dir;
  std::vector<std::string> Messages;
  int SeenLines = 0;
  std::vector<TWait> Waits;
  std::vector<std::string> Errors;
  QMetaObject::Connection LogWatch;
};

TEST_F(TMainWindowTest, FullScanShootsSeventeenPatternsAndWritesTheIndex) {
  Connect();
  Click(Form1, "SpeedButton10");
  EXPECT_TRUE(Form2->isVisible());
  EXPECT_FALSE(Form1->isVisible());
  EXPECT_TRUE(Stomper->Running);
  for (int n = 1; n <= 17; ++n) {
    ASSERT_EQ(ShutterCommands(), n) << "before photograph " << n;
    Deliver(PhotoName(n));
  }

  EXPECT_EQ(ShutterCommands(), 17);
  EXPECT_THAT(Messages, ElementsAreArray(ScanLog()));
  EXPECT_EQ(Messages[20], "step_9");
  EXPECT_EQ(Messages[22], "step_10");
  // The panel keeps the newest 24: the last photo came after the last exposure.
  ASSERT_EQ(Form1->Memo1->Lines().Count(), 24);
  EXPECT_EQ(MessageOf(Form1->Memo1->Lines().Strings(23)), "snímek uložen");

  ASSERT_EQ(Waits.size(), 18u);
  for (int step = 0; step < 17; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    EXPECT_EQ(Waits[step].Milliseconds, 300u);
    // Each wait comes with its pattern on screen, before its shutter command.
    EXPECT_EQ(Waits[step].ShutterCommands, step);
    EXPECT_EQ(Waits[step].WrongPoints, 0);
  }
  EXPECT_EQ(Waits[17].Milliseconds, 600u);
  EXPECT_EQ(Waits[17].LastMessage, "snímek uložen");
  EXPECT_FALSE(Waits[17].IndexWritten);

  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), PhotoNames(1, 17));
  for (int n = 1; n <= 17; ++n) EXPECT_TRUE(fs::exists(Dir / PhotoName(n))) << n;

  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 17);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_TRUE(Form2->isVisible());
  EXPECT_EQ(MatGen->PlaneCounter(), 14);
  EXPECT_THAT(Errors, IsEmpty());
}

TEST_F(TMainWindowTest, SecondScanWithRestartedCameraNumberingKeepsTheFirstScan) {
  Connect();
  for (int scan = 1; scan <= 2; ++scan) {
    Click(Form1, "SpeedButton10");
    // The camera's numbering starts again, as after a reset.
    for (int n = 1; n <= 17; ++n) Deliver(PhotoName(n));
    ASSERT_TRUE(Form1->isVisible()) << "scan " << scan;
  }

  std::vector<std::string> second;
  for (int n = 1; n <= 17; ++n)
    second.push_back("IMG_" + std::string(n < 10 ? "000" : "00") + std::to_string(n) + "_2.JPG");
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), second);
  for (int n = 1; n <= 17; ++n) {
    EXPECT_EQ(ReadFile(Dir / PhotoName(n)), "jpeg of " + PhotoName(n)) << n;
    EXPECT_EQ(ReadFile(Dir / second[n - 1]), "jpeg of " + PhotoName(n)) << n;
  }
  EXPECT_THAT(Messages, ::testing::Contains("Soubor IMG_0017.JPG už v adresáři je, snímek "
                                            "dostal jméno IMG_0017_2.JPG"));
  // The first scan's index is kept beside, still naming the first scan's photos.
  std::vector<std::string> kept;
  for (const std::string& name : FilesIn(Dir))
    if (name.starts_with("corvalet-") && name.ends_with(".sbf")) kept.push_back(name);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadIndex(Dir / kept[0]), PhotoNames(1, 17));
  EXPECT_THAT(Messages, ::testing::Contains("Starší seznam snímků přejmenován na " + kept[0]));
  EXPECT_THAT(Errors, IsEmpty());
}

TEST_F(TMainWindowTest, PerScanFoldersTakeEachScanWholeAndSinglePhotosStayInTheFolder) {
  // A folder of an earlier session and a name that is no scan folder.
  fs::create_directory(Dir / "sken-007");
  fs::create_directory(Dir / "sken-1a");
  Koordinator->FolderPerScan = true;
  Connect();
  int photo = 0;
  auto scan = [&](int Number) {
    Click(Form1, "SpeedButton10");
    for (int n = 1; n <= 17; ++n) Deliver(PhotoName(++photo));
    EXPECT_TRUE(Form1->isVisible()) << "scan " << Number;
  };
  scan(1);
  scan(2);
  // The last scan's folder removed: its number is not given to the next scan.
  fs::remove_all(Dir / "sken-009");
  scan(3);
  Click(Form1, "SpeedButton2");
  Deliver(PhotoName(++photo));
  Koordinator->FolderPerScan = false;

  for (const auto& [folder, first] : {std::pair{"sken-008", 1}, std::pair{"sken-010", 35}}) {
    SCOPED_TRACE(folder);
    std::vector<std::string> names = PhotoNames(first, first + 16);
    EXPECT_EQ(ReadIndex(Dir / folder / "corvalet.sbf"), names);
    names.push_back("corvalet.sbf");
    EXPECT_EQ(FilesIn(Dir / folder), names);
    EXPECT_THAT(Messages, ::testing::Contains("Snímky do " + (Dir / folder).string() + "/"));
  }
  EXPECT_EQ(std::count(Messages.begin(), Messages.end(),
                       "Snímky do " + (Dir / "sken-009").string() + "/"),
            1);
  EXPECT_EQ(FilesIn(Dir), (std::vector<std::string>{".corvalet-sken", PhotoName(photo)}));
  EXPECT_EQ(ReadFile(Dir / ".corvalet-sken"), "10\n");
  EXPECT_THAT(Errors, IsEmpty());
}

TEST_F(TMainWindowTest, WithoutACameraScanSingleShotAndAimSayWhatToPressAndLeaveTheWindows) {
  Click(Form1, "SpeedButton10");
  Click(Form1, "SpeedButton2");
  Click(Form1, "SpeedButton13");
  EXPECT_THAT(Messages,
              ElementsAre(TForm1::NoCameraText, TForm1::NoCameraText, TForm1::NoCameraText));
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(ShutterCommands(), 0);
  EXPECT_THAT(Waits, IsEmpty());
}

TEST_F(TMainWindowTest, ThereIsAlwaysAWindowToClick) {
  // "UkJeBo" with the projection window hidden would leave nothing on screen.
  Click(Form1, "SpeedButton8");
  EXPECT_TRUE(Form1->isVisible());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_THAT(Messages[0], HasSubstr("Zobrazit"));
  Click(Form1, "SpeedButton5");
  Click(Form1, "SpeedButton8");
  EXPECT_FALSE(Form1->isVisible());
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  EXPECT_TRUE(Form1->isVisible());

  // A click on the projection image brings back a minimised main window too.
  Form1->showMinimized();
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(Form1->windowState() & Qt::WindowMinimized);
}

TEST_F(TMainWindowTest, ScanButtonDuringAScanRestartsIt) {
  Connect();
  Click(Form1, "SpeedButton10");
  for (int n = 1; n <= 5; ++n) Deliver(PhotoName(n));
  ASSERT_EQ(Stomper->Step, 6);
  ASSERT_EQ(Koordinator->CapturedFiles.size(), 5u);

  // The operator brings the main window back and presses "Snímání" again.
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  ASSERT_TRUE(Form1->isVisible());
  Messages.clear();
  Waits.clear();
  Click(Form1, "SpeedButton10");
  EXPECT_THAT(Messages, ElementsAre("Snímání začalo ...", SettleLogged, "step_0"));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_EQ(Stomper->Step, 1);
  EXPECT_FALSE(Form1->isVisible());

  // The photograph owed to the interrupted scan's step 5 comes after the new
  // step 0's shutter: no step of the new scan. It comes down in the next gap,
  // ahead of the new scan's first, and no list takes it.
  Deliver(PhotoName(6));
  EXPECT_EQ(Stomper->Step, 1);
  EXPECT_FALSE(fs::exists(Dir / PhotoName(6)));
  Deliver(PhotoName(7));
  EXPECT_THAT(Messages, ElementsAre("Snímání začalo ...", SettleLogged, "step_0", "snímek uložen",
                                    NotListed, "snímek uložen", "step_1"));
  EXPECT_TRUE(fs::exists(Dir / PhotoName(6)));
  Messages.erase(Messages.begin() + 3, Messages.begin() + 5);
  for (int n = 8; n <= 23; ++n) Deliver(PhotoName(n));
  EXPECT_EQ(ShutterCommands(), 6 + 17);
  EXPECT_THAT(Messages, ElementsAreArray(ScanLog()));
  EXPECT_EQ(Waits.size(), 18u);
  // Seventeen lines, line N the photograph of pattern N.
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), PhotoNames(7, 23));
}

TEST_F(TMainWindowTest, TransferWhileIdleIsSavedAndRunsNoStep) {
  Connect();
  Deliver("IMG_0100.JPG");
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("IMG_0100.JPG"));
  EXPECT_EQ(ReadFile(Dir / "IMG_0100.JPG"), "jpeg of IMG_0100.JPG");
  EXPECT_THAT(Messages, ElementsAre("snímek uložen"));
  // The line names the file written, folder and all.
  const TMemoLines& lines = Form1->Memo1->Lines();
  EXPECT_EQ(SavedPath(lines.Strings(lines.Count() - 1)), (Dir / "IMG_0100.JPG").string());
  EXPECT_THAT(Waits, IsEmpty());
  EXPECT_EQ(ShutterCommands(), 0);
  EXPECT_EQ(Stomper->Step, 0);

  // A failed download records nothing and says so.
  TestSdk::FailAlways("EdsDownload", SomeFailure);
  Deliver("IMG_0101.JPG");
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("IMG_0100.JPG"));
  EXPECT_THAT(Messages, ElementsAre("snímek uložen", "Snímek se nepodařilo uložit", LeftOnCamera));
}

TEST_F(TMainWindowTest, RunStepOutsideTheStepsDoesNothing) {
  Connect();
  Form2->show();
  MatGen->DrawAllPoints();
  Form2->Image1->Repaint();
  const QImage before = LatestProjectorFrame();
  for (int step : {-1, 18, 100}) {
    Stomper->Step = step;
    Stomper->RunStep();
    EXPECT_EQ(Stomper->Step, step);
  }
  EXPECT_THAT(Waits, IsEmpty());
  EXPECT_THAT(Messages, IsEmpty());
  EXPECT_EQ(ShutterCommands(), 0);
  EXPECT_EQ(LatestProjectorFrame(), before);
}

TEST_F(TMainWindowTest, FailedDownloadInAScanStopsItWithoutAnIndex) {
  Connect();
  Click(Form1, "SpeedButton10");
  TestSdk::FailOnCall("EdsDownload", 3, SomeFailure);
  for (int n = 1; n <= 3; ++n) Deliver(PhotoName(n));
  EXPECT_EQ(ShutterCommands(), 3);
  EXPECT_THAT(Messages, ElementsAreArray(ScanLog("..d")));
  EXPECT_FALSE(Stomper->Running);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
}

// Two stations on one folder: a scan does not start while another station's
// runs there; a scan holds its folder until its index is written or it stops.
TEST_F(TMainWindowTest, AFolderInUseByAnotherStationRefusesTheScanAndAScanHoldsItsFolder) {
  Connect();
  TKoordinator other(nullptr);
  std::string error;
  ASSERT_TRUE(other.LockFolder(Koordinator->OutputDirectory, error)) << error;
  Click(Form1, "SpeedButton10");
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_THAT(Messages[0], HasSubstr("Snímání nezačalo: složku " + Koordinator->OutputDirectory +
                                     " používá jiná stanice (počítač "));
  EXPECT_EQ(ShutterCommands(), 0);
  EXPECT_FALSE(Stomper->Running);
  EXPECT_TRUE(Form1->isVisible());
  other.UnlockFolder();

  Click(Form1, "SpeedButton10");
  EXPECT_FALSE(other.LockFolder(Koordinator->OutputDirectory, error));
  for (int n = 1; n <= 17; ++n) Deliver(PhotoName(n));
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), PhotoNames(1, 17));
  EXPECT_FALSE(fs::exists(Dir / "corvalet.lock"));

  Click(Form1, "SpeedButton10");
  EXPECT_TRUE(fs::exists(Dir / "corvalet.lock"));
  TestSdk::FailOnCall("EdsDownload", 1, SomeFailure);
  Deliver(PhotoName(18));
  EXPECT_FALSE(Stomper->Running);
  EXPECT_FALSE(fs::exists(Dir / "corvalet.lock"));
  EXPECT_TRUE(other.LockFolder(Koordinator->OutputDirectory, error)) << error;
}

TEST_F(TMainWindowTest, PhotoThatDoesNotComeStopsTheScanAtTheTimeLimit) {
  const std::string oldIndex = "SBF File : old\r\n";
  std::ofstream(Dir / "corvalet.sbf", std::ios::binary) << oldIndex;
  Connect();
  Click(Form1, "SpeedButton10");
  // Step 3's shot is accepted, its photograph never comes.
  for (int n = 1; n <= 3; ++n) Deliver(PhotoName(n));
  AdvanceTime(Stomper->PhotoTimeout - 1);
  EXPECT_TRUE(Stomper->Running);
  AdvanceTime(1);
  EXPECT_FALSE(Stomper->Running);
  EXPECT_THAT(std::vector<std::string>(Messages.end() - 3, Messages.end()),
              ElementsAre("step_3", "Snímek ke step_3 nepřišel do 30 s", ScanStopped));
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_EQ(ReadFile(Dir / "corvalet.sbf"), oldIndex);
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());

  // It comes late: saved and listed nowhere.
  Messages.clear();
  Deliver("IMG_0900.JPG");
  EXPECT_THAT(Messages, ElementsAre("snímek uložen", NotListed));
  EXPECT_TRUE(fs::exists(Dir / "IMG_0900.JPG"));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_EQ(ShutterCommands(), 4);

  // "Snímání" starts a whole new scan; its photographs arrive in time.
  Click(Form1, "SpeedButton10");
  for (int n = 10; n <= 26; ++n) {
    AdvanceTime(Stomper->PhotoTimeout - 1);
    Deliver(PhotoName(n));
  }
  // The index found there before is kept under its own time.
  ASSERT_GE(Messages.size(), 4u);
  EXPECT_EQ(Messages[Messages.size() - 4], "Snímání ukončeno ...");
  EXPECT_THAT(Messages.back(), ::testing::StartsWith("Starší seznam snímků přejmenován na "));
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), PhotoNames(10, 26));

  // With the limit off a scan waits for ever.
  Stomper->PhotoTimeout = 0;
  Click(Form1, "SpeedButton10");
  AdvanceTime(10 * TStomper::DefaultPhotoTimeout);
  EXPECT_TRUE(Stomper->Running);
  Stomper->PhotoTimeout = TStomper::DefaultPhotoTimeout;
}

TEST_F(TMainWindowTest, AimingListsItsPhotosNowhereAndEveryEndBringsTheMainWindowBack) {
  Connect();
  // Both photos come but are no pictures: the reading says so, in the log and its window.
  Click(Form1, "SpeedButton13");
  EXPECT_FALSE(Form1->isVisible());
  Deliver(PhotoName(1));
  Deliver(PhotoName(2));
  EXPECT_TRUE(Form1->isVisible());
  ASSERT_TRUE(RunLoopUntil([] { return Form1->AimWindow() && Form1->AimWindow()->isVisible(); }));
  ASSERT_EQ(Messages.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(Messages.begin(), Messages.begin() + 3),
              ElementsAre("Zaměřování ...", "snímek uložen", "snímek uložen"));
  EXPECT_THAT(Messages[3],
              ::testing::StartsWith("Zaměření nebylo možné: " + (Dir / PhotoName(1)).string() +
                                    ": cannot be read"));
  EXPECT_EQ(ShutterCommands(), 2);
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));

  // A refused shutter, a download that fails, a photo that does not come.
  Messages.clear();
  TestSdk::FailOnCall("EdsSendCommand", 1, SomeFailure);
  Click(Form1, "SpeedButton13");
  EXPECT_THAT(Messages, ElementsAre("Zaměřování ...", ShutterFailed, "Zaměření zastaveno"));
  EXPECT_TRUE(Form1->isVisible());

  Messages.clear();
  TestSdk::FailOnCall("EdsDownload", 1, SomeFailure);
  Click(Form1, "SpeedButton13");
  Deliver(PhotoName(3));
  EXPECT_THAT(Messages, ElementsAre("Zaměřování ...", NotSaved, LeftOnCamera,
                                    "Zaměření zastaveno: snímek se nepodařilo uložit"));
  EXPECT_TRUE(Form1->isVisible());

  Messages.clear();
  Click(Form1, "SpeedButton13");
  Deliver(PhotoName(4));
  AdvanceTime(Stomper->PhotoTimeout);
  EXPECT_THAT(Messages, ElementsAre("Zaměřování ...", "snímek uložen",
                                    "Zaměření zastaveno: snímek nepřišel do 30 s"));
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(Stomper->Aiming());
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
}

TEST_F(TMainWindowTest, PhotoAnnouncedBeforeAReconnectReachesNoSdkCall) {
  Connect();
  Click(Form1, "SpeedButton2");
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0400.JPG", "x");
  TestSdk::FireObjectEvent(EdsObjectEvent_TransferRequest, item);
  // "Odpojit" and "Inicializace" before the loop takes the message.
  Click(Form1, "SpeedButton4");
  Click(Form1, "SpeedButton1");
  Application->ProcessMessages();
  for (const std::string& call : TestSdk::CallTexts())
    EXPECT_THAT(call, ::testing::Not(HasSubstr(TestSdk::RefName(item))));
  EXPECT_THAT(Messages, ElementsAre("Kamera odpojena.", "Kamera Test camera připojena",
                                    "Snímek z odpojené kamery zahozen"));
  EXPECT_FALSE(fs::exists(Dir / "IMG_0400.JPG"));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
}

TEST_F(TMainWindowTest, FailedUnlockAfterAnAcceptedShotIsNoRefusedShutter) {
  TestSdk::Reset();
  TestSdk::AddCamera("Old camera", EdsDeviceSubType_Legacy);
  Connect();
  // Lock, shutter, unlock: only the unlock fails; the photograph comes.
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, SomeFailure});
  Click(Form1, "SpeedButton2");
  Deliver("IMG_0500.JPG");
  TestSdk::Script("EdsSendCommand", {SomeFailure});
  Click(Form1, "SpeedButton2");
  EXPECT_THAT(Messages, ElementsAre("Odemčení kamery selhalo", "snímek uložen", "Spoušť selhala"));
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("IMG_0500.JPG"));
}

TEST_F(TMainWindowTest, WholePhotoTheCameraDidNotConfirmIsKeptAndListed) {
  Connect();
  Click(Form1, "SpeedButton10");
  TestSdk::FailOnCall("EdsDownloadComplete", 2, SomeFailure);
  for (int n = 1; n <= 17; ++n) Deliver(PhotoName(n));
  EXPECT_THAT(Messages, ElementsAreArray(ScanLog(".k")));
  EXPECT_EQ(ReadFile(Dir / PhotoName(2)), "jpeg of " + PhotoName(2));
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), PhotoNames(1, 17));
}

TEST_F(TMainWindowTest, RefusedShutterStopsTheScanAtOnceAndKeepsItsPhotos) {
  Koordinator->FolderPerScan = true;
  Connect();
  TestSdk::FailOnCall("EdsSendCommand", 4, SomeFailure);
  Click(Form1, "SpeedButton10");
  for (int n = 1; n <= 3; ++n) Deliver(PhotoName(n));
  Koordinator->FolderPerScan = false;
  // No photograph comes for step 3: nothing waits for it.
  const fs::path folder = Dir / "sken-001";
  std::vector<std::string> log = ScanLog("...s");
  log.insert(log.begin() + 2, "Snímky do " + folder.string() + "/");
  log.push_back("Snímky zastaveného snímání zůstávají v " + folder.string() + "/");
  EXPECT_THAT(Messages, ElementsAreArray(log));
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 4);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_EQ(FilesIn(folder), PhotoNames(1, 3));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  AdvanceTime(Stomper->PhotoTimeout);
  EXPECT_EQ(Messages.size(), log.size());
  EXPECT_EQ(ShutterCommands(), 4);
}

TEST_F(TMainWindowTest, IndexThatCannotBeWrittenGoesToTheErrorBox) {
  Connect();
  // A directory in the index file's place.
  fs::create_directory(Dir / "corvalet.sbf");
  Click(Form1, "SpeedButton10");
  for (int n = 1; n <= 17; ++n) Deliver(PhotoName(n));

  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_THAT(Errors[0], HasSubstr((Dir / "corvalet.sbf").string()));
  EXPECT_GT(Errors[0].size(), (Dir / "corvalet.sbf").string().size() + 3) << "no reason given";
  EXPECT_EQ(Koordinator->CapturedFiles.size(), 17u);
  EXPECT_FALSE(Form1->isVisible());
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Messages[Messages.size() - 3], "Snímání ukončeno ...");

  // A click on the projection brings the main window back, and a new scan starts.
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  ASSERT_TRUE(Form1->isVisible());
  Click(Form1, "SpeedButton10");
  EXPECT_TRUE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 1);
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_EQ(Messages.back(), "step_0");
}

TEST_F(TMainWindowTest, SingleShotWaitsThenShootsAndNeverReachesAnIndex) {
  Connect();
  Click(Form1, "SpeedButton2");
  EXPECT_EQ(Waits.size(), 1u);
  EXPECT_EQ(Waits[0].Milliseconds, 500u);
  EXPECT_EQ(Waits[0].ShutterCommands, 0);
  EXPECT_EQ(ShutterCommands(), 1);
  EXPECT_THAT(Messages, IsEmpty());
  Deliver("IMG_0200.JPG");
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("IMG_0200.JPG"));
  EXPECT_EQ(Waits.size(), 1u);

  Click(Form1, "SpeedButton10");
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
}

TEST_F(TMainWindowTest, ConnectAndDisconnectButtonsLog) {
  Click(Form1, "SpeedButton1");
  EXPECT_THAT(Messages, ElementsAre("Kamera Test camera připojena"));
  Koordinator->CapturedFiles = {"a.jpg"};
  Click(Form1, "SpeedButton4");
  EXPECT_FALSE(Koordinator->Connected);
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_THAT(Messages, ElementsAre("Kamera Test camera připojena", "Kamera odpojena."));
}

TEST_F(TMainWindowTest, ShowHideAndHideMainButtons) {
  MatGen->FillField(0);
  Click(Form1, "SpeedButton5");
  EXPECT_TRUE(Form2->isVisible());
  Application->ProcessMessages();
  // Showing the hidden window painted the points.
  EXPECT_EQ(WrongPointsOnProjector(2), 0);

  // While shown, "Zobrazit" paints the bitmap but asks for no repaint.
  MatGen->FillField(0);
  Form2->Image1->Repaint();
  Click(Form1, "SpeedButton5");
  EXPECT_EQ(LatestProjectorFrame().pixelColor(11, 11).green(), 0);
  Form2->Image1->Repaint();
  EXPECT_EQ(WrongPointsOnProjector(2), 0);

  Click(Form1, "SpeedButton6");
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_TRUE(LatestProjectorFrame().isNull());

  // Hiding the main window too would leave no window: it stays, and says why.
  Click(Form1, "SpeedButton8");
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_EQ(Messages.size(), 1u);
}

TEST_F(TMainWindowTest, DirectoryButtonOpensAtTheFolderInUseAndLogsTheChoice) {
  // "Použít" at once keeps the folder in use, wherever the program was started.
  Koordinator->OutputDirectory = (Dir / "sub").string() + "/";
  fs::create_directory(Dir / "sub");
  EXPECT_EQ(FolderTheDialogOpensAt(), (Dir / "sub").string());
  QTimer::singleShot(0, [] { Click(Form3, "SpeedButton1"); });
  Click(Form1, "SpeedButton9");
  EXPECT_EQ(Koordinator->OutputDirectory, (Dir / "sub").string() + "/");

  ChooseFolder(Dir);
  EXPECT_EQ(Koordinator->OutputDirectory, Dir.string() + "/");
  // The root already ends in the separator; one more is appended all the same.
  ChooseFolder("/", true);
  EXPECT_EQ(Koordinator->OutputDirectory, "//");
  EXPECT_TRUE(Koordinator->FolderPerScan);
  EXPECT_THAT(Messages, ElementsAre("Cesta neuložena.", "Zvolen adresář " + Dir.string() + "/sub/",
                                    "Zvolen adresář " + Dir.string() + "/",
                                    "Zvolen adresář //, každé snímání do nového podadresáře"));
  Koordinator->FolderPerScan = false;

  // The close box keeps the previous directory.
  Messages.clear();
  QTimer::singleShot(0, [this] {
    Form3->DirectoryListBox1->SetDirectory(Dir.string());
    Form3->close();
  });
  Click(Form1, "SpeedButton9");
  EXPECT_EQ(Koordinator->OutputDirectory, "//");
  EXPECT_THAT(Messages, ElementsAre("Cesta neuložena."));
  EXPECT_FALSE(Form3->isVisible());
}

TEST_F(TMainWindowTest, HookHandlesTransfersInsideModalLoopsAndPassesTheRest) {
  Connect();
  // Counts the message events that reach the main window, i.e. that the hook let through.
  struct TCounter : QObject {
    std::vector<UINT> Seen;
    bool eventFilter(QObject*, QEvent* Event) override {
      if (Event->type() == TMessageEvent::EventType())
        Seen.push_back(static_cast<TMessageEvent*>(Event)->Msg.message);
      return false;
    }
  } counter;
  Form1->installEventFilter(&counter);

  // A transfer while the settings dialog runs its own loop is saved at once.
  bool savedWhileOpen = false;
  QTimer::singleShot(0, [] {
    TestSdk::FireObjectEvent(EdsObjectEvent_TransferRequest, TestSdk::AddItem("IMG_0300.JPG", "x"));
  });
  QTimer::singleShot(50, [&] {
    savedWhileOpen = PointDef->isVisible() && Koordinator->CapturedFiles.size() == 1;
    PointDef->close();
  });
  Click(Form1, "SpeedButton7");
  EXPECT_TRUE(savedWhileOpen);
  EXPECT_FALSE(PointDef->isVisible());

  // And inside an explicit processing of pending messages.
  TestSdk::FireObjectEvent(EdsObjectEvent_TransferRequest, TestSdk::AddItem("IMG_0301.JPG", "y"));
  Application->ProcessMessages();
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("IMG_0300.JPG", "IMG_0301.JPG"));

  // Property and progress messages go on to the window and change nothing.
  ASSERT_TRUE(PostMessageA(Form1->Handle(), CameraPropertyMessage, 0x101, 0x402));
  TestSdk::FireProgress(50);
  Application->ProcessMessages();
  EXPECT_THAT(counter.Seen, ElementsAre(CameraPropertyMessage, DownloadProgressMessage));
  EXPECT_THAT(Messages, ElementsAre("snímek uložen", "snímek uložen"));
  EXPECT_EQ(Koordinator->CapturedFiles.size(), 2u);
  EXPECT_THAT(Waits, IsEmpty());
  Form1->removeEventFilter(&counter);
}

TEST_F(TMainWindowTest, ScanAndAimBeginOnlyOnceTheWindowSystemShowsTheProjectionAlone) {
  Connect();
  Form2->show();
  Application->ProcessMessages();
  // The main window is still on screen: nothing is shot, and at the limit the scan does not begin.
  Stomper->StartScan();
  AdvanceTime(TStomper::ProjectionTimeout - 1);
  EXPECT_EQ(ShutterCommands(), 0);
  EXPECT_TRUE(Stomper->Busy());
  AdvanceTime(1);
  EXPECT_THAT(Messages, ElementsAre("Snímání nezačalo: okno \"CorvaletScan\" nezmizelo z "
                                    "obrazovky do 10 s, snímky by ho ukázaly"));
  EXPECT_FALSE(Stomper->Busy());
  EXPECT_FALSE(Stomper->Running);

  // Hidden, it is gone only when the window system says so; then the scan begins.
  Messages.clear();
  Stomper->StartScan();
  Form1->hide();
  EXPECT_EQ(ShutterCommands(), 0);
  ASSERT_TRUE(RunLoopUntil([] { return ShutterCommands() == 1; }));
  EXPECT_THAT(Messages, ElementsAre(ScanStarted, SettleLogged, "step_0"));
  ASSERT_EQ(Waits.size(), 1u);
  EXPECT_EQ(Waits[0].WrongPoints, 0);

  // Aiming with the projection window hidden: it never shows, and the main window comes back.
  Stomper->StopScan();
  Form1->hide();
  Form2->hide();
  Messages.clear();
  Stomper->StartAim();
  AdvanceTime(TStomper::ProjectionTimeout);
  EXPECT_THAT(Messages, ElementsAre("Zaměření nezačalo: projekce \"Velkar\" se do 10 s neukázala"));
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(Stomper->Busy());
  EXPECT_EQ(ShutterCommands(), 1);
}

TEST_F(TMainWindowTest, ShowProjectionOnlyHidesEveryOtherWindow) {
  // Any window of the program, also one without a name of its own.
  QWidget stray;
  stray.show();
  Form3->show();
  PointDef->show();
  Stomper->Step = 5;
  Koordinator->CapturedFiles = {"kept.jpg"};
  Form1->ShowProjectionOnly();
  EXPECT_TRUE(Form2->isVisible());
  EXPECT_FALSE(Form1->isVisible());
  EXPECT_FALSE(Form3->isVisible());
  EXPECT_FALSE(PointDef->isVisible());
  EXPECT_FALSE(stray.isVisible());
  EXPECT_THAT(Messages, IsEmpty());
  EXPECT_EQ(Stomper->Step, 5);
  EXPECT_FALSE(Stomper->Running);
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAre("kept.jpg"));
  EXPECT_THAT(Waits, IsEmpty());
}

}  // namespace

int main(int argc, char** argv) {
  return Station::RunTestsWithWindowSet(argc, argv);
}
