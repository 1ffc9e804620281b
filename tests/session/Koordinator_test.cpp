#include "session/Koordinator.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "platform/LocalTime.h"
#include "platform/Widgets.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSdk.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

constexpr HWND Window = 41;
constexpr EdsError Busy = EdsResult_InvalidHandle + 0x20;
const std::string Rule = std::string(80, '-') + "\r\n";

using Station::ReadFile;
using Station::WriteFile;

std::vector<std::string> Functions() {
  std::vector<std::string> names;
  for (const TestSdk::TCall& call : TestSdk::Calls()) names.push_back(call.Function);
  return names;
}

int IndexOf(const std::vector<std::string>& Names, const std::string& Name, int Occurrence) {
  for (int i = 0; i < int(Names.size()); ++i)
    if (Names[i] == Name && --Occurrence == 0) return i;
  return -1;
}

class TKoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestSdk::Reset();
    Dir = Station::MakeTempDirectory("corvalet-session");
    Memo = std::make_unique<TMemo>(nullptr, "Memo1", QRect(0, 0, 385, 345));
    Coordinator = std::make_unique<TKoordinator>(Memo.get());
    Coordinator->OutputDirectory = Dir.string() + "/";
  }
  void TearDown() override {
    Coordinator.reset();
    TestSdk::Reset();
    fs::remove_all(Dir);
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < Memo->Lines().Count(); ++i) lines.push_back(Memo->Lines().Strings(i));
    return lines;
  }

  // A transfer message from the present session, or from none.
  TMsg Transfer(EdsDirectoryItemRef Item) const {
    const WPARAM session = Coordinator->Controller ? Coordinator->Controller->GetSession() : 0;
    return TMsg{Window, CameraTransferMessage, session, reinterpret_cast<LPARAM>(Item)};
  }

  // A connected coordinator with its connect calls forgotten.
  void ConnectCamera() {
    TestSdk::AddCamera("Camera One");
    ASSERT_TRUE(Coordinator->Connect(Window));
    TestSdk::ClearCalls();
  }

  fs::path Dir;
  std::unique_ptr<TMemo> Memo;
  std::unique_ptr<TKoordinator> Coordinator;
};

TEST_F(TKoordinatorTest, StartsDisconnectedWithTheDefaultDirectory) {
  TKoordinator fresh(Memo.get());
  EXPECT_EQ(fresh.Controller, nullptr);
  EXPECT_FALSE(fresh.Connected);
  EXPECT_EQ(fresh.CameraName, "");
  EXPECT_THAT(fresh.CapturedFiles, IsEmpty());
  EXPECT_EQ(fresh.OutputDirectory, TKoordinator::DefaultOutputDirectory());
  EXPECT_EQ(Memo->Lines().Count(), 0);
}

TEST_F(TKoordinatorTest, ConnectWithoutCameraReleasesTheControllerAtOnce) {
  EXPECT_FALSE(Coordinator->Connect(Window));
  EXPECT_FALSE(Coordinator->Connected);
  EXPECT_EQ(Coordinator->Controller, nullptr);
  EXPECT_EQ(Coordinator->CameraName, "Camera is not detected!");
  // Every step ran before the release.
  const auto names = Functions();
  EXPECT_GE(IndexOf(names, "EdsOpenSession", 1), 0);
  EXPECT_EQ(names.back(), "EdsTerminateSDK");

  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused);
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
}

TEST_F(TKoordinatorTest, ConnectFindsTheCameraAndShoots) {
  TestSdk::AddCamera("Camera One");
  EXPECT_TRUE(Coordinator->Connect(Window));
  EXPECT_TRUE(Coordinator->Connected);
  EXPECT_NE(Coordinator->Controller, nullptr);
  EXPECT_EQ(Coordinator->CameraName, "Camera One");
  EXPECT_EQ(TestSdk::CallCount("EdsSetObjectEventHandler"), 1);

  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->Shoot(3), TShot::Taken);
  EXPECT_EQ(TestSdk::CallCount("EdsSendCommand"), 1);

  TestSdk::Script("EdsSendCommand", {Busy});
  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused);
  EXPECT_EQ(TestSdk::CallCount("EdsSendCommand"), 2);
  // Only the accepted shot owes a photograph.
  ASSERT_EQ(Coordinator->OwedPhotos.size(), 1u);
  EXPECT_EQ(Coordinator->OwedPhotos.front().Scan, 3u);
}

TEST_F(TKoordinatorTest, LegacyShotWhoseUnlockFailsIsTakenStillLocked) {
  TestSdk::AddCamera("Old", EdsDeviceSubType_Legacy);
  ASSERT_TRUE(Coordinator->Connect(Window));
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, Busy});
  EXPECT_EQ(Coordinator->Shoot(), TShot::TakenStillLocked);
  EXPECT_EQ(Coordinator->OwedPhotos.size(), 1u);
}

// A camera whose session or save-to destination fails stays held, not connected.
struct TFailedSetup {
  std::string Function;
  int Call;  // 1 = the session setup, 2 = the later save-to step
};

class TFailedConnectTest : public TKoordinatorTest,
                           public ::testing::WithParamInterface<TFailedSetup> {};

TEST_P(TFailedConnectTest, KeepsTheControllerButRefusesToShoot) {
  TestSdk::AddCamera("Camera One");
  TestSdk::FailOnCall(GetParam().Function, GetParam().Call, Busy);
  EXPECT_FALSE(Coordinator->Connect(Window));
  EXPECT_FALSE(Coordinator->Connected);
  EXPECT_NE(Coordinator->Controller, nullptr);
  EXPECT_EQ(Coordinator->CameraName, "Camera One");
  // The handlers are registered whatever came before.
  EXPECT_EQ(TestSdk::CallCount("EdsSetObjectEventHandler"), 1);
  EXPECT_EQ(TestSdk::CallCount("EdsTerminateSDK"), 0);

  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused);
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Setup, TFailedConnectTest,
                         ::testing::Values(TFailedSetup{"EdsOpenSession", 1},
                                           TFailedSetup{"EdsSetPropertyData", 1},
                                           TFailedSetup{"EdsSetPropertyData", 2}));

TEST_F(TKoordinatorTest, SecondConnectReleasesTheFirstControllerBeforeCreatingTheNext) {
  TestSdk::AddCamera("Camera One");
  ASSERT_TRUE(Coordinator->Connect(Window));
  TestSdk::FailAlways("EdsOpenSession", Busy);
  EXPECT_FALSE(Coordinator->Connect(Window));
  EXPECT_FALSE(Coordinator->Connected);

  const auto names = Functions();
  const int firstEnd = IndexOf(names, "EdsTerminateSDK", 1);
  const int secondStart = IndexOf(names, "EdsInitializeSDK", 2);
  ASSERT_GE(firstEnd, 0);
  ASSERT_GE(secondStart, 0);
  EXPECT_LT(IndexOf(names, "EdsCloseSession", 1), firstEnd);
  EXPECT_LT(firstEnd, secondStart);
  EXPECT_EQ(TestSdk::CallCount("EdsTerminateSDK"), 1);
}

TEST_F(TKoordinatorTest, DisconnectReleasesTheCameraLogsAndEmptiesTheList) {
  ConnectCamera();
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  Coordinator->Disconnect();
  EXPECT_EQ(Coordinator->Controller, nullptr);
  EXPECT_FALSE(Coordinator->Connected);
  EXPECT_THAT(Coordinator->CapturedFiles, IsEmpty());
  EXPECT_THAT(Functions(), ElementsAre("EdsCloseSession", "EdsTerminateSDK"));
  ASSERT_EQ(Memo->Lines().Count(), 1);
  EXPECT_THAT(Memo->Lines().Strings(0), ::testing::EndsWith(" : Kamera odpojena."));

  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->Shoot(), TShot::Refused);
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
}

TEST_F(TKoordinatorTest, DisconnectWithoutConnectionStillLogsAndEmptiesTheList) {
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  Coordinator->Disconnect();
  EXPECT_THAT(Coordinator->CapturedFiles, IsEmpty());
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
  ASSERT_EQ(Memo->Lines().Count(), 1);
  EXPECT_THAT(Memo->Lines().Strings(0), ::testing::EndsWith(" : Kamera odpojena."));
}

TEST_F(TKoordinatorTest, DestructionClosesTheSession) {
  ConnectCamera();
  Coordinator.reset();
  EXPECT_THAT(Functions(), ElementsAre("EdsCloseSession", "EdsTerminateSDK"));
}

TEST_F(TKoordinatorTest, TransferredPhotoLandsInTheOutputDirectoryUnlisted) {
  ConnectCamera();
  const auto first = TestSdk::AddItem("IMG_0001.JPG", "first photo");
  const auto second = TestSdk::AddItem("IMG_0001.JPG", "second photo");
  EXPECT_EQ(Coordinator->SaveTransferredImage(Transfer(first)), TTransfer::Saved);
  EXPECT_EQ(ReadFile(Dir / "IMG_0001.JPG"), "first photo");
  EXPECT_EQ(Coordinator->SaveTransferredImage(Transfer(second)), TTransfer::Saved);
  // A name already taken: both photos kept, the log names the new one.
  EXPECT_EQ(ReadFile(Dir / "IMG_0001.JPG"), "first photo");
  EXPECT_EQ(ReadFile(Dir / "IMG_0001_2.JPG"), "second photo");
  EXPECT_EQ(Coordinator->LastSavedFile, "IMG_0001_2.JPG");
  EXPECT_THAT(LogLines().back(),
              ::testing::EndsWith(" : Soubor IMG_0001.JPG už v adresáři je, snímek dostal jméno "
                                  "IMG_0001_2.JPG"));
  // Listing is the sequencer's to decide.
  EXPECT_THAT(Coordinator->CapturedFiles, IsEmpty());
  EXPECT_EQ(TestSdk::ReleaseCount(first), 1);
}

TEST_F(TKoordinatorTest, FailedDownloadSavesNothingButAWholeOneIsKept) {
  ConnectCamera();
  TestSdk::FailOnCall("EdsDownload", 1, Busy);
  EXPECT_EQ(Coordinator->SaveTransferredImage(Transfer(TestSdk::AddItem("IMG_0001.JPG", "x"))),
            TTransfer::Failed);
  // A name the controller refuses is no photo either.
  EXPECT_EQ(Coordinator->SaveTransferredImage(Transfer(TestSdk::AddItem("../up.JPG", "x"))),
            TTransfer::Failed);
  EXPECT_FALSE(fs::exists(Dir / "IMG_0001.JPG"));
  EXPECT_FALSE(fs::exists(Dir.parent_path() / "up.JPG"));
  EXPECT_EQ(Coordinator->LastSavedFile, "");

  TestSdk::FailOnCall("EdsDownloadComplete", 1, Busy);
  EXPECT_EQ(Coordinator->SaveTransferredImage(Transfer(TestSdk::AddItem("IMG_0002.JPG", "whole"))),
            TTransfer::SavedCameraMayKeepCopy);
  EXPECT_EQ(ReadFile(Dir / "IMG_0002.JPG"), "whole");
  EXPECT_EQ(Coordinator->LastSavedFile, "IMG_0002.JPG");
}

TEST_F(TKoordinatorTest, TransferFromAnEndedSessionReachesNoSdkCall) {
  ConnectCamera();
  const auto item = TestSdk::AddItem("IMG_0001.JPG", "x");
  const TMsg old = Transfer(item);
  Coordinator->Disconnect();
  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->SaveTransferredImage(old), TTransfer::Stale);
  // Nor under a new session, whose SDK could hand out the same address again.
  ASSERT_TRUE(Coordinator->Connect(Window));
  TestSdk::ClearCalls();
  EXPECT_EQ(Coordinator->SaveTransferredImage(old), TTransfer::Stale);
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
  EXPECT_FALSE(fs::exists(Dir / "IMG_0001.JPG"));
  EXPECT_NE(Transfer(item).wParam, old.wParam);
}

TEST_F(TKoordinatorTest, OtherMessagesAreNoTransfer) {
  ConnectCamera();
  const auto item = TestSdk::AddItem("IMG_0001.JPG", "x");
  TMsg progress = Transfer(item);
  progress.message = DownloadProgressMessage;
  EXPECT_EQ(Coordinator->SaveTransferredImage(progress), TTransfer::Failed);
  EXPECT_THAT(TestSdk::Calls(), IsEmpty());
}

TEST_F(TKoordinatorTest, LogLineIsTimeSeparatorAndMessage) {
  const std::string before = LongTimeString();
  Coordinator->Log("Kamera nepřipojena");
  const std::string after = LongTimeString();
  ASSERT_EQ(Memo->Lines().Count(), 1);
  const std::string line = Memo->Lines().Strings(0);
  EXPECT_TRUE(line == before + " : Kamera nepřipojena" || line == after + " : Kamera nepřipojena")
      << line;
  // The tests run in the C locale: 24-hour time with two-digit fields.
  EXPECT_THAT(line, ::testing::MatchesRegex("[0-9][0-9]:[0-9][0-9]:[0-9][0-9] : .*"));
}

TEST_F(TKoordinatorTest, LogKeepsTheNewest24Lines) {
  for (int i = 1; i <= 24; ++i) Coordinator->Log("line " + std::to_string(i));
  ASSERT_EQ(Memo->Lines().Count(), 24);
  EXPECT_THAT(Memo->Lines().Strings(0), ::testing::EndsWith(" : line 1"));

  Coordinator->Log("line 25");
  ASSERT_EQ(Memo->Lines().Count(), 24);
  EXPECT_THAT(Memo->Lines().Strings(0), ::testing::EndsWith(" : line 2"));
  EXPECT_THAT(Memo->Lines().Strings(23), ::testing::EndsWith(" : line 25"));
}

TEST_F(TKoordinatorTest, EveryLineGoesToTheDaysLogFileAndAFileThatFailsIsSaidOnce) {
  const char* previous = getenv("XDG_STATE_HOME");
  const std::optional<std::string> before =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  const fs::path state = Dir / "state";
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  Coordinator->LogDirectory = TKoordinator::DefaultLogDirectory();
  EXPECT_EQ(Coordinator->LogDirectory, (state / "corvaletscan").string());
  for (int i = 1; i <= 30; ++i) Coordinator->Log("line " + std::to_string(i));
  EXPECT_EQ(Memo->Lines().Count(), 24);

  const fs::path path = Coordinator->LogFilePath();
  EXPECT_EQ(path.parent_path(), state / "corvaletscan");
  EXPECT_THAT(path.filename().string(),
              ::testing::MatchesRegex("corvaletscan-[0-9]{4}-[0-9]{2}-[0-9]{2}\\.log"));
  std::vector<std::string> lines;
  std::istringstream file(ReadFile(path));
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 30u);
  const std::string day = path.stem().string().substr(std::string("corvaletscan-").size());
  for (int i = 1; i <= 30; ++i) {
    EXPECT_THAT(lines[i - 1], ::testing::StartsWith(day + " ")) << i;
    EXPECT_THAT(lines[i - 1], ::testing::EndsWith(" : line " + std::to_string(i))) << i;
  }

  // A size limit cuts a line short: the write of its rest tells why, said once.
  {
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = rlim_t(fs::file_size(path) + 5);
    setrlimit(RLIMIT_FSIZE, &limit);
    Memo->Lines().Clear();
    Coordinator->Log("a line longer than five bytes");
    Coordinator->Log("the next line");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    ASSERT_EQ(Memo->Lines().Count(), 3);
    EXPECT_THAT(Memo->Lines().Strings(1),
                ::testing::EndsWith(" : Záznam nelze ukládat do " + path.string() + ": " +
                                    std::strerror(EFBIG)));
  }

  // A folder that cannot be made: said once in the panel, the panel goes on.
  WriteFile(Dir / "blocker", "a file");
  Coordinator->LogDirectory = (Dir / "blocker" / "corvaletscan").string();
  Memo->Lines().Clear();
  Coordinator->Log("a");
  Coordinator->Log("b");
  ASSERT_EQ(Memo->Lines().Count(), 3);
  EXPECT_THAT(Memo->Lines().Strings(1),
              HasSubstr(" : Záznam nelze ukládat do " + Coordinator->LogFilePath() + ": "));
  EXPECT_THAT(Memo->Lines().Strings(2), ::testing::EndsWith(" : b"));
  if (before)
    setenv("XDG_STATE_HOME", before->c_str(), 1);
  else
    unsetenv("XDG_STATE_HOME");
}

class TScanIndexTest : public TKoordinatorTest {
 protected:
  fs::path IndexPath() const { return Dir / "corvalet.sbf"; }

  // Writes the index and checks its header against the clock around the write.
  // Gives the bytes after the header line.
  std::string WriteAndReadBody() {
    const std::string before = LongTimeString() + " " + ShortDateString();
    Coordinator->WriteScanIndex();
    const std::string after = LongTimeString() + " " + ShortDateString();
    const std::string bytes = ReadFile(IndexPath());
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string::npos) {
      ADD_FAILURE() << "no line end in " << bytes;
      return bytes;
    }
    const std::string header = bytes.substr(0, end);
    const std::string fixed = "SBF File : 0, 1, points, 14x code pics, ";
    EXPECT_TRUE(header == fixed + before || header == fixed + after) << header;
    return bytes.substr(end + 2);
  }
};

TEST_F(TScanIndexTest, CompleteScanListsSeventeenNamesInOrder) {
  std::string expected = Rule;
  for (int i = 1; i <= 17; ++i) {
    const std::string name = "IMG_00" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".JPG";
    Coordinator->AddCapturedFile(name);
    expected += name + "\r\n";
  }
  EXPECT_EQ(WriteAndReadBody(), expected);
  EXPECT_THAT(Coordinator->CapturedFiles, IsEmpty());
  EXPECT_EQ(ReadFile(IndexPath()).substr(0, 3), "SBF");

  // A second write has nothing left to list.
  EXPECT_EQ(WriteAndReadBody(), Rule);
}

TEST_F(TScanIndexTest, NothingCapturedGivesTwoLines) {
  EXPECT_EQ(WriteAndReadBody(), Rule);
}

TEST_F(TScanIndexTest, NamesAreWrittenAsTheyAreAndRepeated) {
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  Coordinator->AddCapturedFile("snímek_č2.JPG");
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  EXPECT_EQ(WriteAndReadBody(), Rule + "IMG_0001.JPG\r\n" + "sn\xc3\xadmek_\xc4\x8d" + "2.JPG\r\n" +
                                    "IMG_0001.JPG\r\n");
}

TEST_F(TScanIndexTest, EarlierIndexAndItsCheckFilesAreKeptUnderTheirScanTime) {
  const std::map<std::string, std::string> earlier = {{"corvalet.sbf", "earlier index"},
                                                      {"corvalet-check.txt", "report"},
                                                      {"corvalet-check.png", "picture"},
                                                      {"corvalet-points.csv", "points"},
                                                      {"corvalet-points.ply", "cloud"},
                                                      {"corvalet-3d.png", "view"}};
  for (const auto& [name, bytes] : earlier) WriteFile(Dir / name, bytes);
  // Written at 2026-12-08 14:05:12 local time, the second of one more kept index.
  std::tm local{};
  local.tm_year = 2026 - 1900, local.tm_mon = 11, local.tm_mday = 8;
  local.tm_hour = 14, local.tm_min = 5, local.tm_sec = 12, local.tm_isdst = -1;
  const timespec written[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, IndexPath().c_str(), written, 0), 0);
  WriteFile(Dir / "corvalet-2026-12-08_140512.sbf", "kept before");

  Coordinator->AddCapturedFile("IMG_0001.JPG");
  EXPECT_EQ(WriteAndReadBody(), Rule + "IMG_0001.JPG\r\n");

  const std::map<std::string, std::string> kept = {
      {"corvalet-2026-12-08_140512_2.sbf", "earlier index"},
      {"corvalet-check-2026-12-08_140512_2.txt", "report"},
      {"corvalet-check-2026-12-08_140512_2.png", "picture"},
      {"corvalet-points-2026-12-08_140512_2.csv", "points"},
      {"corvalet-points-2026-12-08_140512_2.ply", "cloud"},
      {"corvalet-3d-2026-12-08_140512_2.png", "view"},
      {"corvalet-2026-12-08_140512.sbf", "kept before"}};
  for (const auto& [name, bytes] : kept) EXPECT_EQ(ReadFile(Dir / name), bytes) << name;
  EXPECT_THAT(Station::FilesIn(Dir),
              ::testing::UnorderedElementsAre("corvalet.sbf", "corvalet-2026-12-08_140512_2.sbf",
                                              "corvalet-check-2026-12-08_140512_2.txt",
                                              "corvalet-check-2026-12-08_140512_2.png",
                                              "corvalet-points-2026-12-08_140512_2.csv",
                                              "corvalet-points-2026-12-08_140512_2.ply",
                                              "corvalet-3d-2026-12-08_140512_2.png",
                                              "corvalet-2026-12-08_140512.sbf"));
  EXPECT_THAT(LogLines().back(), ::testing::EndsWith(" : Starší seznam snímků přejmenován na "
                                                     "corvalet-2026-12-08_140512_2.sbf"));
}

TEST_F(TScanIndexTest, MissingDirectoryThrowsWithPathAndReason) {
  Coordinator->OutputDirectory = (Dir / "gone").string() + "/";
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  try {
    Coordinator->WriteScanIndex();
    FAIL() << "no exception";
  } catch (const std::runtime_error& Error) {
    const std::string text = Error.what();
    const std::string path = (Dir / "gone" / "corvalet.sbf").string();
    EXPECT_THAT(text, HasSubstr("\"" + path + "\""));
    EXPECT_THAT(text, HasSubstr("No such file or directory"));
  }
  EXPECT_THAT(Coordinator->CapturedFiles, ElementsAre("IMG_0001.JPG"));
  EXPECT_FALSE(fs::exists(Dir / "gone"));
}

TEST_F(TScanIndexTest, IndexNameTakenByADirectoryThrowsAndLeavesIt) {
  fs::create_directory(IndexPath());
  WriteFile(IndexPath() / "inside", "kept");
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  try {
    Coordinator->WriteScanIndex();
    FAIL() << "no exception";
  } catch (const std::runtime_error& Error) {
    const std::string text = Error.what();
    EXPECT_THAT(text, HasSubstr("\"" + IndexPath().string() + "\". "));
    EXPECT_GT(text.size(), text.find("\". ") + 3) << "no reason given: " << text;
  }
  EXPECT_THAT(Coordinator->CapturedFiles, ElementsAre("IMG_0001.JPG"));
  EXPECT_EQ(ReadFile(IndexPath() / "inside"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

TEST_F(TScanIndexTest, FailedWriteKeepsThePreviousIndex) {
  const std::string previous = "SBF File : old\r\n" + Rule + "OLD_0001.JPG\r\n";
  WriteFile(IndexPath(), previous);
  for (int i = 0; i < 400; ++i) Coordinator->AddCapturedFile("IMG_" + std::to_string(i) + ".JPG");

  // A file size limit makes the write fail part way, as a full disk would.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1024;
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string text;
  try {
    Coordinator->WriteScanIndex();
  } catch (const std::runtime_error& Error) {
    text = Error.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);

  EXPECT_THAT(text, HasSubstr("Stream write error"));
  EXPECT_THAT(text, HasSubstr(IndexPath().string()));
  EXPECT_EQ(ReadFile(IndexPath()), previous);
  EXPECT_EQ(Coordinator->CapturedFiles.size(), 400u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

// Scan A's index and check files, written at 2026-12-08 14:05:12 local time.
const std::map<std::string, std::string> ScanA = {{"corvalet.sbf", "A index"},
                                                  {"corvalet-check.txt", "A report"},
                                                  {"corvalet-check.png", "A picture"},
                                                  {"corvalet-points.csv", "A points"}};
constexpr char StampA[] = "2026-12-08_140512";

void PutScanA(const fs::path& Dir) {
  for (const auto& [name, bytes] : ScanA) WriteFile(Dir / name, bytes);
  std::tm local{};
  local.tm_year = 2026 - 1900, local.tm_mon = 11, local.tm_mday = 8;
  local.tm_hour = 14, local.tm_min = 5, local.tm_sec = 12, local.tm_isdst = -1;
  const timespec written[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
  utimensat(AT_FDCWD, (Dir / "corvalet.sbf").c_str(), written, 0);
}

// The name A's file has under its scan time: "corvalet-check-<time>.txt".
std::string KeptName(const std::string& Name, const std::string& Stamp) {
  const auto dot = Name.rfind('.');
  return Name.substr(0, dot) + "-" + Stamp + Name.substr(dot);
}

// A process stopped at each file operation of an index write in turn, as a
// crash would stop it: the folder keeps a whole index for every complete scan,
// check files under the plain names only beside their own index, and the next
// write completes what was begun.
TEST_F(TScanIndexTest, AWriteStoppedAtAnyStepLosesNoIndexAndTheNextOneCompletesIt) {
  for (int stop = 1;; ++stop) {
    SCOPED_TRACE("stopped before step " + std::to_string(stop));
    fs::remove_all(Dir);
    fs::create_directory(Dir);
    PutScanA(Dir);
    // Scan B's write, in a process of its own that ends at the step.
    TKoordinator writer(nullptr);
    writer.OutputDirectory = Dir.string() + "/";
    writer.AddCapturedFile("B.JPG");
    int step = 0;
    writer.IndexStep = [&](const std::string&) {
      if (++step == stop) _exit(0);
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      writer.WriteScanIndex();
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const bool completed = WEXITSTATUS(status) == 3;

    // Every file of A is there under one of its names, with its bytes.
    const std::vector<std::string> files = Station::FilesIn(Dir);
    auto has = [&](const std::string& Name) {
      return std::find(files.begin(), files.end(), Name) != files.end();
    };
    for (const auto& [name, bytes] : ScanA) {
      const bool plain = has(name) && ReadFile(Dir / name) == bytes;
      const bool kept =
          has(KeptName(name, StampA)) && ReadFile(Dir / KeptName(name, StampA)) == bytes;
      EXPECT_TRUE(plain || kept) << name << " lost";
      // A plain check file sits beside its own index.
      if (has(name) && name != "corvalet.sbf") {
        EXPECT_EQ(ReadFile(Dir / "corvalet.sbf"), "A index") << name << " beside another index";
      }
    }
    if (completed) {
      EXPECT_THAT(ReadFile(IndexPath()), HasSubstr("B.JPG"));
      EXPECT_FALSE(has("corvalet.lock"));
      break;
    }
    ASSERT_LT(stop, 20) << "the write never completes";

    // The next scan's write, by the station started again.
    Memo->Lines().Clear();
    Coordinator->AddCapturedFile("C.JPG");
    Coordinator->WriteScanIndex();
    std::vector<std::string> expected = {"corvalet.sbf"};
    for (const auto& [name, bytes] : ScanA) {
      expected.push_back(KeptName(name, StampA));
      EXPECT_EQ(ReadFile(Dir / KeptName(name, StampA)), bytes);
    }
    EXPECT_THAT(Station::FilesIn(Dir), ::testing::UnorderedElementsAreArray(expected));
    EXPECT_EQ(ReadFile(IndexPath()).substr(ReadFile(IndexPath()).find("\r\n") + 2),
              Rule + "C.JPG\r\n");
    // The stopped process's lock was taken over, and said so.
    EXPECT_THAT(LogLines().front(), HasSubstr("po ukončené stanici převzat (počítač "));
  }
}

// Check files without their index (left by a write of an earlier version that
// stopped) are kept under their own time, not replaced by the next scan's.
TEST_F(TScanIndexTest, CheckFilesWithoutTheirIndexAreKeptUnderTheirOwnTime) {
  PutScanA(Dir);
  fs::rename(IndexPath(), Dir / KeptName("corvalet.sbf", StampA));
  for (const char* name : {"corvalet-check.txt", "corvalet-check.png", "corvalet-points.csv"}) {
    std::tm local{};
    local.tm_year = 2026 - 1900, local.tm_mon = 11, local.tm_mday = 8;
    local.tm_hour = 14, local.tm_min = 5, local.tm_sec = 20, local.tm_isdst = -1;
    const timespec written[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (Dir / name).c_str(), written, 0), 0);
  }
  Coordinator->AddCapturedFile("C.JPG");
  Coordinator->WriteScanIndex();
  for (const auto& [name, bytes] : ScanA) {
    const std::string kept = KeptName(name, name == "corvalet.sbf" ? StampA : "2026-12-08_140520");
    EXPECT_EQ(ReadFile(Dir / kept), bytes) << kept;
  }
  EXPECT_THAT(LogLines(), ::testing::Contains(::testing::EndsWith(
                              " : Soubor corvalet-points.csv bez seznamu snímků přejmenován na "
                              "corvalet-points-2026-12-08_140520.csv")));
  EXPECT_EQ(Station::FilesIn(Dir).size(), 5u);
}

// Two stations on one folder: the second is refused while the first holds it,
// its index write replaces nothing, and a lock of an ended process is taken over.
TEST_F(TScanIndexTest, ASecondStationIsKeptOutOfAFolderInUse) {
  TKoordinator first(nullptr);
  first.OutputDirectory = Coordinator->OutputDirectory;
  std::string error;
  ASSERT_TRUE(first.LockFolder(first.OutputDirectory, error)) << error;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string holder =
      "(počítač " + std::string(host) + ", proces " + std::to_string(getpid()) + ", od ";
  EXPECT_FALSE(Coordinator->LockFolder(Coordinator->OutputDirectory, error));
  EXPECT_THAT(error, HasSubstr("složku " + Coordinator->OutputDirectory + " používá jiná stanice " +
                               holder));
  EXPECT_THAT(error, HasSubstr("smažte " + (Dir / "corvalet.lock").string()));

  WriteFile(IndexPath(), "first station's index");
  Coordinator->AddCapturedFile("IMG_0001.JPG");
  std::string refusal = "no exception";
  try {
    Coordinator->WriteScanIndex();
  } catch (const std::runtime_error& Error) {
    refusal = Error.what();
  }
  EXPECT_THAT(refusal, HasSubstr("Seznam snímků " + IndexPath().string() + " nezapsán: "));
  EXPECT_THAT(refusal, HasSubstr(holder));
  EXPECT_EQ(ReadFile(IndexPath()), "first station's index");
  EXPECT_THAT(Coordinator->CapturedFiles, ElementsAre("IMG_0001.JPG"));

  // The first station's index ends its scan and frees the folder.
  first.WriteScanIndex();
  EXPECT_FALSE(fs::exists(Dir / "corvalet.lock"));
  ASSERT_TRUE(Coordinator->LockFolder(Coordinator->OutputDirectory, error)) << error;
  EXPECT_FALSE(first.LockFolder(first.OutputDirectory, error));
  Coordinator->UnlockFolder();

  // Another computer's lock is never judged from here; one of this host's ended processes is.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  WriteFile(Dir / "corvalet.lock",
            "host=station-b\npid=" + std::to_string(ended) + "\nsince=2026-12-08 14:05:12\n");
  EXPECT_FALSE(Coordinator->LockFolder(Coordinator->OutputDirectory, error));
  EXPECT_THAT(error, HasSubstr("(počítač station-b, proces " + std::to_string(ended) +
                               ", od 2026-12-08 14:05:12)"));
  WriteFile(Dir / "corvalet.lock", "host=" + std::string(host) + "\npid=" + std::to_string(ended) +
                                       "\nsince=2026-12-08 14:05:12\n");
  Memo->Lines().Clear();
  EXPECT_TRUE(Coordinator->LockFolder(Coordinator->OutputDirectory, error)) << error;
  EXPECT_THAT(LogLines(), ElementsAre(::testing::EndsWith(
                              " : Zámek " + (Dir / "corvalet.lock").string() +
                              " po ukončené stanici převzat (počítač " + host + ", proces " +
                              std::to_string(ended) + ", od 2026-12-08 14:05:12)")));
  EXPECT_THAT(ReadFile(Dir / "corvalet.lock"), HasSubstr("pid=" + std::to_string(getpid()) + "\n"));
}

TEST(TDefaultOutputDirectory, IsTheWritableExecutableDirectory) {
  const std::string directory = TKoordinator::DefaultOutputDirectory();
  EXPECT_EQ(directory, QCoreApplication::applicationDirPath().toStdString() + "/");
  EXPECT_EQ(access(directory.c_str(), W_OK), 0);
}

TEST(TDefaultOutputDirectory, KeepsASingleSlash) {
  EXPECT_EQ(TKoordinator::OutputDirectoryFor("/"), "/");
  EXPECT_EQ(TKoordinator::OutputDirectoryFor(fs::temp_directory_path().string() + "/"),
            fs::temp_directory_path().string() + "/");
}

// A home of its own with no user-dirs.dirs: the pictures directory is HOME/Pictures.
class TFreshHome : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("HOME", QByteArray::fromStdString(Home.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Home / ".config").string()));
  }
  void TearDown() override {
    qputenv("HOME", SavedHome);
    if (SavedConfig.isNull())
      qunsetenv("XDG_CONFIG_HOME");
    else
      qputenv("XDG_CONFIG_HOME", SavedConfig);
    fs::remove_all(Home);
  }
  const QByteArray SavedHome = qgetenv("HOME");
  const QByteArray SavedConfig = qgetenv("XDG_CONFIG_HOME");
  const fs::path Home = Station::MakeTempDirectory("corvalet-home");
};

TEST_F(TFreshHome, UnwritableProgramDirectoryFallsBackToThePicturesDirectory) {
  const std::string directory = TKoordinator::OutputDirectoryFor("/nonexistent/corvalet/app");
  EXPECT_EQ(directory, (Home / "Pictures").string() + "/");
  EXPECT_TRUE(fs::is_directory(Home / "Pictures"));
}

TEST_F(TFreshHome, InstalledProgramStartsInThePicturesDirectoryEvenWhereItCouldWrite) {
  // Installed for the user, or run as root from /usr/bin: its bin/ is writable.
  const fs::path bin = Home / ".local" / "bin";
  fs::create_directories(bin);
  EXPECT_EQ(TKoordinator::OutputDirectoryFor(bin.string()), (Home / "Pictures").string() + "/");
  EXPECT_EQ(TKoordinator::OutputDirectoryFor(bin.string() + "/"), (Home / "Pictures").string() + "/");
  // A writable folder merely named like one is not a bin/ directory.
  const fs::path cabin = Home / "cabin";
  fs::create_directories(cabin);
  EXPECT_EQ(TKoordinator::OutputDirectoryFor(cabin.string()), cabin.string() + "/");
}

TEST_F(TFreshHome, PicturesDirectoryThatCannotBeMadeLeavesTheHomeDirectory) {
  Station::WriteFile(Home / "Pictures", "a file where the folder would be");
  EXPECT_EQ(TKoordinator::OutputDirectoryFor("/usr/bin"), Home.string() + "/");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
