// Fault injection over the whole program: the window set, the real buttons and
// the simulated rig, with one SDK fault (or one trouble on the host) per case.
// Each case checks what the operator is told, that every photo saved so far
// is still on disk exactly as the camera sent it, that the index lists exactly
// the scan's photos whenever it is written, and that the next connect and
// scan work. Waits are recorded, not waited. A summary line per case
// (RELIABILITY {...}) feeds the README's reliability table.

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <QMouseEvent>
#include <algorithm>
#include <utility>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/EDSDKError.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Timer.h"
#include "sdk/CameraSettings.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace Station;

namespace {

// Smaller under the sanitizers, which render ten times slower; the size matters not here.
const QSize PhotoSize = Sanitized ? QSize(160, 120) : QSize(320, 240);
const std::string Rig = "cameras=1,latency=0,size=" + std::to_string(PhotoSize.width()) + "x" +
                        std::to_string(PhotoSize.height());

int FaultsInjected = 0;
int ScansRun = 0;

std::vector<std::string> Join(std::vector<std::string> First,
                              const std::vector<std::string>& Then) {
  First.insert(First.end(), Then.begin(), Then.end());
  return First;
}

// '.' for the photos before Photo (1..17), then Outcome for Photo.
std::string At(int Photo, char Outcome) {
  return std::string(std::size_t(Photo - 1), '.') + Outcome;
}

// The log of single shots, one character each, as in ScanLog.
std::vector<std::string> SinglesLog(const std::string& Outcomes) {
  std::vector<std::string> lines;
  for (const char outcome : Outcomes) {
    if (outcome == 's') lines.push_back(ShutterFailed);
    if (outcome == 'u') lines.push_back(UnlockFailed);
    if (outcome == '.' || outcome == 'u') lines.push_back(Saved);
    if (outcome == 'k') lines.push_back(SavedCameraKeeps);
    if (outcome == 'd') lines.insert(lines.end(), {NotSaved, LeftOnCamera});
  }
  return lines;
}

std::string Hex(EdsError Code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", Code);
  return text;
}

// Function fails with Code on every call from First on, as when the camera is gone.
std::string FailFrom(const std::string& Function, int First, EdsError Code) {
  std::string items;
  for (int call = First; call < First + 40; ++call)
    items += ",fail=" + Function + ":" + std::to_string(call) + ":" + Hex(Code);
  return items;
}

enum class TPhase { Connect, Reconnect, Disconnect, SingleShots, Scan };

const char* PhaseName(TPhase Phase) {
  switch (Phase) {
    case TPhase::Connect:
      return "connect";
    case TPhase::Reconnect:
      return "second connect";
    case TPhase::Disconnect:
      return "disconnect";
    case TPhase::SingleShots:
      return "single shots";
    case TPhase::Scan:
      return "scan";
  }
  return "";
}

struct TCase;

struct TFault {
  std::string Id;     // test name
  std::string Fault;  // what goes wrong, for the summary
  TPhase Phase = TPhase::Scan;
  std::string RigItems;  // added to Rig
  // Every message logged from the first "Inicializace" on.
  std::vector<std::string> Log;
  int Singles = 0;  // presses of "Jeden"
  // The step whose photo the scan waits for until the time limit stops it; -1 when none.
  int WaitsAfter = -1;
  // The index cannot be written: the error box names it, the list is kept.
  bool IndexFails = false;
  // The camera is gone until the rig is set up anew.
  bool CameraGone = false;
  // Locks of the camera's own controls left after a successful connect.
  int LocksLeft = 0;
  // Sets up host trouble before the first click.
  std::function<void(TCase&)> Prepare;
  // Ends it once the faulty phase is over.
  std::function<void()> Finish;
};

// What one case works with.
struct TCase {
  TStation& Station;
  fs::path Dir;        // the output directory at the start
  fs::path PhotosDir;  // where the saved photos are at the end
};

void PrintTo(const TFault& Fault, std::ostream* Out) {
  *Out << Fault.Id;
}

std::string Name(const ::testing::TestParamInfo<TFault>& Info) {
  return Info.param.Id;
}

TFault ConnectFault(const std::string& Function, int Call, bool StillConnects,
                    const std::string& Extra = "") {
  TFault fault;
  fault.Id = "Connect_" + Function + "_" + std::to_string(Call) + (Extra.empty() ? "" : "_Legacy");
  fault.Fault = Function + " fails on call " + std::to_string(Call) +
                (Extra.empty() ? "" : " (legacy camera)");
  fault.Phase = TPhase::Connect;
  fault.RigItems = Extra + ",fail=" + Function + ":" + std::to_string(Call) + ":0x81";
  fault.Log = StillConnects ? Join({Connected}, ScanLog())
                            : std::vector<std::string>{NotConnected, TForm1::NoCameraText};
  return fault;
}

TFault SinglesFault(const std::string& Function, int Call, const std::string& Outcomes,
                    const std::string& Extra = "", EdsError Code = EdsResult_DeviceBusy) {
  TFault fault;
  fault.Id = "Single_" + Function + "_" + std::to_string(Call) + (Extra.empty() ? "" : "_Legacy");
  fault.Fault = Function + " fails on call " + std::to_string(Call) + " (" + Hex(Code) + ")" +
                (Extra.empty() ? "" : ", legacy camera");
  fault.Phase = TPhase::SingleShots;
  fault.RigItems = Extra + ",fail=" + Function + ":" + std::to_string(Call) + ":" + Hex(Code);
  fault.Singles = int(Outcomes.size());
  fault.Log = Join({Connected}, SinglesLog(Outcomes));
  return fault;
}

TFault ScanFault(const std::string& Function, int Call, const std::string& Outcomes,
                 const std::string& Extra = "", EdsError Code = EdsResult_DeviceBusy) {
  TFault fault;
  fault.Id = "Scan_" + Function + "_" + std::to_string(Call) + "_" + Hex(Code) +
             (Extra.empty() ? "" : "_Legacy");
  fault.Fault = Function + " fails on call " + std::to_string(Call) + " (" + Hex(Code) + ")" +
                (Extra.empty() ? "" : ", legacy camera");
  fault.Phase = TPhase::Scan;
  fault.RigItems = Extra + ",fail=" + Function + ":" + std::to_string(Call) + ":" + Hex(Code);
  fault.Log = Join({Connected}, ScanLog(Outcomes));
  const auto stop = Outcomes.find('w');
  if (stop != std::string::npos) fault.WaitsAfter = int(stop);
  return fault;
}

std::vector<TFault> Faults() {
  std::vector<TFault> faults;
  const auto add = [&](TFault Fault) { faults.push_back(std::move(Fault)); };
  const std::string legacy = ",legacy=1";

  // Connect. Only the unlock, the release of the camera list and the device
  // information may fail without refusing the camera; whoever connects must
  // then get whole scans.
  add(ConnectFault("EdsInitializeSDK", 1, false));
  add(ConnectFault("EdsGetCameraList", 1, false));
  add(ConnectFault("EdsGetChildCount", 1, false));
  add(ConnectFault("EdsGetChildAtIndex", 1, false));
  {
    TFault fault = ConnectFault("EdsGetDeviceInfo", 1, true);
    // The camera works; its name is unknown.
    fault.Log[0] = "Kamera  připojena";
    add(fault);
  }
  add(ConnectFault("EdsRelease", 1, true));
  add(ConnectFault("EdsOpenSession", 1, false));
  add(ConnectFault("EdsSetPropertyData", 1, false));
  add(ConnectFault("EdsSetPropertyData", 2, false));
  add(ConnectFault("EdsSendStatusCommand", 1, false));
  {
    TFault fault = ConnectFault("EdsSendStatusCommand", 2, true);
    // The unlock's failure is not examined: the camera's own controls stay locked.
    fault.LocksLeft = 1;
    add(fault);
  }
  add(ConnectFault("EdsSetCapacity", 1, false));
  add(ConnectFault("EdsSetPropertyEventHandler", 1, false));
  add(ConnectFault("EdsSetObjectEventHandler", 1, false));
  add(ConnectFault("EdsSendStatusCommand", 1, false, legacy));
  add(ConnectFault("EdsSetPropertyData", 2, false, legacy));
  add(ConnectFault("EdsSendStatusCommand", 2, false, legacy));
  {
    TFault fault;
    fault.Id = "Reconnect_EdsInitializeSDK_2";
    fault.Fault = "EdsInitializeSDK fails on the second connect";
    fault.Phase = TPhase::Reconnect;
    fault.RigItems = ",fail=EdsInitializeSDK:2:0x2";
    fault.Log = {Connected, NotConnected, TForm1::NoCameraText};
    add(fault);
  }

  // Disconnect.
  for (const char* function : {"EdsCloseSession", "EdsTerminateSDK"}) {
    TFault fault;
    fault.Id = std::string("Disconnect_") + function;
    fault.Fault = std::string(function) + " fails";
    fault.Phase = TPhase::Disconnect;
    fault.RigItems = std::string(",fail=") + function + ":1:0x81";
    fault.Log = {Connected, Disconnected};
    add(fault);
  }

  // Single shots ("Jeden" three times): the first and the third fail.
  add(SinglesFault("EdsSendCommand", 1, "s.."));
  add(SinglesFault("EdsSendCommand", 3, "..s"));
  for (const char* function : {"EdsGetDirectoryItemInfo", "EdsCreateFileStream",
                               "EdsSetProgressCallback", "EdsDownload"}) {
    add(SinglesFault(function, 1, "d.."));
    add(SinglesFault(function, 3, "..d"));
  }
  // Every byte came: the photo is kept.
  add(SinglesFault("EdsDownloadComplete", 1, "k.."));
  add(SinglesFault("EdsDownloadComplete", 3, "..k"));
  // Photo n releases its stream on call 2n and its item on call 2n + 1.
  add(SinglesFault("EdsRelease", 2, "..."));
  add(SinglesFault("EdsRelease", 7, "..."));
  // A legacy camera locks before shot n (call 2n + 1) and unlocks after it.
  add(SinglesFault("EdsSendStatusCommand", 3, "s..", legacy));
  add(SinglesFault("EdsSendStatusCommand", 6, ".u.", legacy));
  {
    TFault fault;
    fault.Id = "Single_Swallowed_2";
    fault.Fault = "the second shot is swallowed";
    fault.Phase = TPhase::SingleShots;
    fault.RigItems = ",swallow=2";
    fault.Singles = 3;
    fault.Log = Join({Connected}, SinglesLog(".w."));
    add(fault);
  }

  // A running scan: photo 1 and photo 9.
  add(ScanFault("EdsSendCommand", 1, At(1, 's')));
  add(ScanFault("EdsSendCommand", 9, At(9, 's')));
  for (const char* function : {"EdsGetDirectoryItemInfo", "EdsCreateFileStream",
                               "EdsSetProgressCallback", "EdsDownload"}) {
    add(ScanFault(function, 1, At(1, 'd')));
    add(ScanFault(function, 9, At(9, 'd')));
  }
  add(ScanFault("EdsDownloadComplete", 1, At(1, 'k')));
  add(ScanFault("EdsDownloadComplete", 9, At(9, 'k')));
  add(ScanFault("EdsDownload", 9, At(9, 'd'), "", EdsResult_DiskFull));
  add(ScanFault("EdsRelease", 2, ""));
  add(ScanFault("EdsRelease", 19, ""));
  add(ScanFault("EdsSendStatusCommand", 3, At(1, 's'), legacy));
  add(ScanFault("EdsSendStatusCommand", 20, At(9, 'u'), legacy));
  for (int shot : {1, 9}) {
    TFault fault;
    fault.Id = "Scan_Swallowed_" + std::to_string(shot);
    fault.Fault = "shot " + std::to_string(shot) + " is swallowed";
    fault.RigItems = ",swallow=" + std::to_string(shot);
    fault.Log = Join({Connected}, ScanLog(At(shot, 'w')));
    fault.WaitsAfter = shot - 1;
    add(fault);
  }
  {
    TFault fault;
    fault.Id = "Scan_CameraVanishes";
    fault.Fault = "the camera vanishes after photo 6 (every later call fails with 0x80)";
    fault.RigItems = FailFrom("EdsGetDirectoryItemInfo", 7, EdsResult_DeviceNotFound) +
                     FailFrom("EdsSendCommand", 8, EdsResult_DeviceNotFound);
    fault.Log = Join({Connected}, ScanLog("......d"));
    fault.CameraGone = true;
    add(fault);
  }
  {
    TFault fault;
    fault.Id = "Scan_OutputDirectoryRemoved";
    fault.Fault = "the output directory is moved away after photo 5";
    fault.Log = Join({Connected}, ScanLog(".....d"));
    fault.Prepare = [](TCase& Case) {
      Case.PhotosDir = Case.Dir.string() + ".moved";
      Case.Station.OnWait = [&Case](std::uint32_t) {
        // Step 5's wait: photo 5 is saved, photo 6 not yet taken.
        if (Stomper->Running && Stomper->Step == 5 && fs::exists(Case.Dir))
          fs::rename(Case.Dir, Case.PhotosDir);
      };
    };
    add(fault);
  }
  {
    TFault fault;
    // A photo is created exclusively, so no device file can stand in for it:
    // a file size limit makes the host refuse the write instead.
    fault.Id = "Scan_WriteRefused";
    fault.Fault = "the host refuses the write of photo 9 (a file size limit, EFBIG)";
    fault.Log = Join({Connected}, ScanLog(At(9, 'd')));
    static std::optional<rlimit> saved;
    fault.Prepare = [](TCase& Case) {
      Case.Station.OnWait = [](std::uint32_t) {
        if (!Stomper->Running || Stomper->Step != 8 || saved) return;
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
        saved = limit;
        limit.rlim_cur = 1;
        setrlimit(RLIMIT_FSIZE, &limit);
      };
    };
    fault.Finish = [] {
      if (saved) setrlimit(RLIMIT_FSIZE, &*saved);
      saved.reset();
      signal(SIGXFSZ, SIG_DFL);
    };
    add(fault);
  }
  {
    TFault fault;
    fault.Id = "Scan_IndexDirectoryRemoved";
    fault.Fault = "the output directory is moved away before the index is written";
    fault.Log = Join({Connected}, ScanLog());
    fault.IndexFails = true;
    fault.Prepare = [](TCase& Case) {
      Case.PhotosDir = Case.Dir.string() + ".moved";
      Case.Station.OnWait = [&Case](std::uint32_t Milliseconds) {
        if (Milliseconds == 600) fs::rename(Case.Dir, Case.PhotosDir);
      };
    };
    add(fault);
  }
  return faults;
}

// What the log and the error boxes told the operator, in short. The connect
// line counts only where connecting is what the case is about.
std::string Sees(const std::vector<std::string>& Messages, const std::vector<std::string>& Errors,
                 const fs::path& Dir, bool ConnectLines) {
  std::vector<std::string> parts;
  int photo = 0;
  int firstFailed = 0, lastFailed = 0;
  std::string lastStep;
  const auto flush = [&] {
    if (firstFailed == 0) return;
    parts.push_back("\"" + NotSaved + "\" for photo " + std::to_string(firstFailed) +
                    (lastFailed > firstFailed ? " to " + std::to_string(lastFailed) : ""));
    firstFailed = 0;
  };
  for (const std::string& message : Messages) {
    if (message.rfind("step_", 0) == 0) lastStep = message;
    if (message == Saved || message == NotSaved) ++photo;
    if (message == NotSaved) {
      if (firstFailed == 0) firstFailed = photo;
      lastFailed = photo;
      continue;
    }
    if (message == Saved || message == ScanEnded) {
      flush();
    } else if (message == ShutterFailed || message == UnlockFailed) {
      flush();
      parts.push_back(
          "\"" + message + "\"" +
          (lastStep.empty() ? " for shot " + std::to_string(photo + 1) : " after " + lastStep));
    } else if (message == SavedCameraKeeps || message == ScanStopped ||
               message.rfind("Snímek ke ", 0) == 0) {
      flush();
      if (message.rfind("Snímek ke ", 0) == 0)
        parts.push_back("the scan waits, main window hidden, until the photo time limit");
      parts.push_back("\"" + message + "\"");
    } else if (message.rfind("Kamera", 0) == 0 && ConnectLines) {
      flush();
      parts.push_back("\"" + message + "\"");
    }
    if (message == ScanEnded) parts.push_back("scan ends");
  }
  flush();
  for (std::string error : Errors) {
    const std::string dir = Dir.string();
    for (std::size_t at; (at = error.find(dir)) != std::string::npos;)
      error.replace(at, dir.size(), "<dir>");
    parts.push_back("error box: " + error);
  }
  if (parts.empty()) parts.push_back("the usual log");
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

class TFaultTest : public ::testing::TestWithParam<TFault> {};

TEST_P(TFaultTest, OperatorIsToldPhotosSurviveAndTheNextScanWorks) {
  const TFault& fault = GetParam();
  TWatchdog watchdog(fault.Id, Patience * 3);
  const fs::path dir = MakeTempDirectory("corvalet-fault");
  TRemoveAtEnd cleanup{{dir, dir.string() + ".moved"}};
  ASSERT_TRUE(SimConfigure(Rig + fault.RigItems));
  ++FaultsInjected;
  TStation station;
  TCase context{station, dir, dir};
  Koordinator->OutputDirectory = dir.string() + "/";
  if (fault.Prepare) fault.Prepare(context);

  station.Click("SpeedButton1");
  if (fault.Phase == TPhase::Reconnect) station.Click("SpeedButton1");
  if (Koordinator->Connected) {
    EXPECT_EQ(SimCameraState(0).UiLocks, fault.LocksLeft);
  }
  bool scanned = false;
  // Undone however the case ends: a limit left in place would break every later case.
  struct TUndo {
    TStation& Station;
    const TFault& Fault;
    bool Done = false;
    void Now() {
      if (std::exchange(Done, true)) return;
      Station.OnWait = nullptr;
      if (Fault.Finish) Fault.Finish();
    }
    ~TUndo() { Now(); }
  } undo{station, fault};
  switch (fault.Phase) {
    case TPhase::Connect:
    case TPhase::Reconnect:
      // Whoever says connected must deliver a whole scan.
      scanned = Koordinator->Connected;
      station.Click("SpeedButton10");
      if (scanned) {
        ASSERT_TRUE(station.Settle());
      } else {
        // Without a camera the windows stay as they are.
        EXPECT_TRUE(Form1->isVisible());
        EXPECT_FALSE(Form2->isVisible());
      }
      break;
    case TPhase::Disconnect:
      station.Click("SpeedButton4");
      break;
    case TPhase::SingleShots:
      for (int shot = 0; shot < fault.Singles; ++shot) {
        station.Click("SpeedButton2");
        ASSERT_TRUE(station.Settle()) << "shot " << shot + 1;
      }
      break;
    case TPhase::Scan:
      scanned = true;
      station.Click("SpeedButton10");
      ASSERT_TRUE(station.Settle());
      if (fault.WaitsAfter >= 0) {
        // No photo comes: the scan waits, main window hidden, until the time limit.
        EXPECT_TRUE(Stomper->Running);
        EXPECT_EQ(Stomper->Step, fault.WaitsAfter + 1);
        EXPECT_FALSE(Form1->isVisible());
        AdvanceTime(Stomper->PhotoTimeout - 1);
        EXPECT_TRUE(Stomper->Running);
        AdvanceTime(1);
      }
      break;
  }
  ScansRun += scanned;
  undo.Now();

  EXPECT_THAT(station.Messages, ElementsAreArray(fault.Log));
  EXPECT_THAT(station.WrongPatternSteps, IsEmpty());
  // The only waits are those asked for: 300 ms before each step's shutter,
  // 600 ms before the index, 500 ms before a single shot.
  std::vector<std::uint32_t> waits(std::size_t(fault.Singles), 500);
  for (const std::string& message : fault.Log) {
    if (message.rfind("step_", 0) == 0) waits.push_back(300);
    if (message == ScanEnded) waits.push_back(600);
  }
  EXPECT_EQ(station.Waits, waits);
  const std::vector<TSavedPhoto> saved = station.SavedPhotos();
  ExpectPhotosIntact(context.PhotosDir, saved, PhotoSize, "after the fault");
  std::vector<std::string> expectedFiles = station.SavedNames();
  const bool ended = std::find(fault.Log.begin(), fault.Log.end(), ScanEnded) != fault.Log.end();
  const fs::path index = context.PhotosDir / "corvalet.sbf";
  std::string survives;
  if (fault.IndexFails) {
    ASSERT_EQ(station.Errors.size(), 1u);
    const std::string path = (dir / "corvalet.sbf").string();
    EXPECT_THAT(station.Errors[0], HasSubstr(path));
    EXPECT_GT(station.Errors[0].size(), path.size() + 8) << "no reason given";
    EXPECT_EQ(Koordinator->CapturedFiles, station.ScanNames()) << "the list was not kept";
    EXPECT_FALSE(Stomper->Running);
    EXPECT_FALSE(Form1->isVisible());
    EXPECT_FALSE(fs::exists(index));
    survives = std::to_string(saved.size()) + " saved photos intact; no index, its " +
               std::to_string(Koordinator->CapturedFiles.size()) + " names kept";
  } else if (ended) {
    EXPECT_THAT(station.Errors, IsEmpty());
    EXPECT_EQ(ReadIndex(index), station.ScanNames());
    EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
    EXPECT_TRUE(Form1->isVisible());
    expectedFiles.push_back("corvalet.sbf");
    survives = std::to_string(saved.size()) + " of 17 photos saved intact; index lists them";
  } else {
    EXPECT_THAT(station.Errors, IsEmpty());
    EXPECT_FALSE(fs::exists(index));
    survives =
        saved.empty() ? "nothing to keep" : std::to_string(saved.size()) + " saved photos intact";
  }
  if (!ended && scanned && !fault.IndexFails) {
    EXPECT_FALSE(Stomper->Running);
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  }
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(FilesIn(context.PhotosDir), expectedFiles) << "a partial or stray file";
  std::string sees = Sees(station.Messages, station.Errors, dir,
                          fault.Phase != TPhase::Scan && fault.Phase != TPhase::SingleShots);
  if (fault.IndexFails) sees += " (main window stays hidden)";

  std::vector<TSavedPhoto> kept = saved;
  const auto expectScan = [&](const fs::path& Directory, const std::vector<std::string>& Before,
                              const std::string& What) {
    ++ScansRun;
    EXPECT_THAT(station.Messages, ElementsAreArray(ScanLogInto(Directory, Before))) << What;
    EXPECT_THAT(station.WrongPatternSteps, IsEmpty()) << What;
    EXPECT_THAT(station.Errors, IsEmpty()) << What;
    EXPECT_EQ(station.ScanNames().size(), 17u) << What;
    EXPECT_EQ(ReadIndex(Directory / "corvalet.sbf"), station.ScanNames()) << What;
    EXPECT_TRUE(Form1->isVisible()) << What;
    const std::vector<TSavedPhoto>& scan = station.SavedPhotos();
    kept.insert(kept.end(), scan.begin(), scan.end());
  };

  // A scan stopped by the time limit: the operator starts again in the same
  // session; the new index lists only the new photos.
  if (fault.WaitsAfter >= 0 && !fault.CameraGone) {
    ASSERT_TRUE(Form1->isVisible());
    station.Mark();
    const std::vector<std::string> before = FilesIn(dir);
    station.Click("SpeedButton10");
    ASSERT_TRUE(station.Settle());
    expectScan(dir, before, "the scan started again");
    survives += "; \"Snímání\" again gives a whole scan";
  }
  if (fault.CameraGone) {
    ASSERT_TRUE(SimConfigure("cameras=0"));
    station.ClickProjection();
    station.Mark();
    station.Click("SpeedButton1");
    EXPECT_THAT(station.Messages, ElementsAreArray({NotConnected}));
    survives += "; \"Inicializace\" while it is gone gives \"" + NotConnected + "\"";
  }

  // Then the fault is gone: the next connect and scan work.
  ASSERT_TRUE(SimConfigure(Rig));
  if (!Form1->isVisible()) station.ClickProjection();
  fs::path next = dir;
  if (!fs::exists(dir)) {
    next = MakeTempDirectory("corvalet-next");
    cleanup.Paths.push_back(next);
    station.ChooseDirectory(next);
    ASSERT_EQ(Koordinator->OutputDirectory, next.string() + "/");
  }
  station.Mark();
  station.Click("SpeedButton1");
  EXPECT_THAT(station.Messages, ElementsAreArray({Connected}));
  station.Mark();
  // Under the sanitizers a single shot stands for the scan where the fault
  // had nothing to do with one: the release build scans after every case.
  const bool wholeScan = !Sanitized || fault.Phase == TPhase::Scan;
  const std::vector<std::string> nextBefore = FilesIn(next);
  station.Click(wholeScan ? "SpeedButton10" : "SpeedButton2");
  ASSERT_TRUE(station.Settle());
  if (wholeScan) {
    expectScan(next, nextBefore, "the next scan");
    survives += "; next connect and scan work";
  } else {
    EXPECT_THAT(station.Messages, ElementsAreArray({Saved}));
    kept.insert(kept.end(), station.SavedPhotos().begin(), station.SavedPhotos().end());
    survives += "; next connect and shot work";
  }

  // Nothing saved before was lost on the way.
  std::vector<TSavedPhoto> before(kept.begin(), kept.begin() + std::ptrdiff_t(saved.size()));
  std::vector<TSavedPhoto> after(kept.begin() + std::ptrdiff_t(saved.size()), kept.end());
  ExpectPhotosIntact(context.PhotosDir, before, PhotoSize, "at the end");
  // The last scan's (or shot's) photos went to next, the others to dir.
  const std::ptrdiff_t last = wholeScan ? 17 : 1;
  ASSERT_GE(std::ptrdiff_t(after.size()), last);
  ExpectPhotosIntact(next, std::vector<TSavedPhoto>(after.end() - last, after.end()), PhotoSize,
                     "at the end");
  ExpectPhotosIntact(dir, std::vector<TSavedPhoto>(after.begin(), after.end() - last), PhotoSize,
                     "at the end");

  if (!HasFailure())
    PrintSummary({{"fault", fault.Fault},
                  {"phase", PhaseName(fault.Phase)},
                  {"sees", sees},
                  {"survives", survives}});
}

INSTANTIATE_TEST_SUITE_P(Each, TFaultTest, ::testing::ValuesIn(Faults()), Name);

// Risks that take more than one fault: messages from an earlier camera
// session, presses while a step runs, photos outside the scan's rhythm.
class TRiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDirectory("corvalet-risk");
    Cleanup.Paths.push_back(Dir);
    ASSERT_TRUE(SimConfigure(Rig));
    Station = std::make_unique<TStation>();
    Koordinator->OutputDirectory = Dir.string() + "/";
    ++FaultsInjected;
  }
  void TearDown() override { Station.reset(); }

  void ExpectWholeScan(const std::string& What) {
    ++ScansRun;
    EXPECT_THAT(Station->Messages, ElementsAreArray(ScanLog())) << What;
    EXPECT_THAT(Station->WrongPatternSteps, IsEmpty()) << What;
    EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), Station->ScanNames()) << What;
    EXPECT_EQ(Station->ScanNames().size(), 17u) << What;
    ExpectPhotosIntact(Dir, Station->SavedPhotos(), PhotoSize, What);
  }

  TRemoveAtEnd Cleanup;
  fs::path Dir;
  std::unique_ptr<TStation> Station;
  TWatchdog Watchdog{::testing::UnitTest::GetInstance()->current_test_info()->name(), Patience * 3};
};

// Photos of one scan are compared pixel by pixel: a camera that meters each
// one itself, by its exposure mode or by an automatic ISO, would make the dark
// field as bright as the lit one.
TEST_F(TRiskTest, AutomaticExposureOrIsoRefusesTheScanUntilTheCameraIsManual) {
  ASSERT_TRUE(SimConfigure(Rig + ",mode=aperture,iso=auto"));
  Station->Click("SpeedButton1");
  EXPECT_THAT(Station->Messages, ElementsAreArray({Connected}));
  EXPECT_THAT(Station->SettingsLines,
              ElementsAreArray({"Kamera: priorita clony, 1/30 s, f/8, automatické ISO"}));
  const std::string modeFix =
      "Nastavte manuální režim v Nastavení kamery (tlačítko \"...\" "
      "ve skupině Kamera) nebo voličem režimů na kameře";
  const std::string isoFix =
      "Nastavte pevné ISO v Nastavení kamery (tlačítko \"...\" "
      "ve skupině Kamera) nebo na kameře";
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  EXPECT_THAT(Station->Messages,
              ElementsAre("Snímání nezačalo: kamera sama volí expozici (priorita clony) i "
                          "citlivost (automatické ISO), snímky by se lišily jasem",
                          modeFix, isoFix));
  const EdsCameraRef camera = Koordinator->Controller->GetCameraRef();

  // Manual at the camera, the ISO still automatic: refused all the same.
  ASSERT_EQ(SimCameraSettings().Set(camera, TCameraSetting::ExposureMode, {0, "manual"}),
            EdsResult_Ok);
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  EXPECT_THAT(Station->Messages,
              ElementsAre("Snímání nezačalo: kamera sama volí citlivost (automatické ISO), "
                          "snímky by se lišily jasem",
                          isoFix));
  EXPECT_THAT(Station->SettingsLines,
              ElementsAreArray({"Kamera: manuál, 1/30 s, f/8, automatické ISO"}));
  EXPECT_EQ(SimStatistics().ShotsAccepted, 0u);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));

  // A fixed ISO: the next press scans, and shows the settings it scans with.
  ASSERT_EQ(SimCameraSettings().Set(camera, TCameraSetting::Iso, {200, {}}), EdsResult_Ok);
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  ExpectWholeScan("after the camera was set to manual");
  EXPECT_THAT(Station->SettingsLines,
              ElementsAreArray({"Kamera: manuál, 1/30 s, f/8, ISO 200"}));
}

TEST_F(TRiskTest, ACameraThatReportsNoExposureModeIsNotRefused) {
  ASSERT_TRUE(SimConfigure(Rig + ",mode=automatic"));
  // As a backend that cannot read the camera's settings.
  UseCameraSettings(nullptr);
  Station->Click("SpeedButton1");
  Station->Mark();
  Station->Click("SpeedButton10");
  const bool settled = Station->Settle();
  UseCameraSettings(&SimCameraSettings());
  ASSERT_TRUE(settled);
  ExpectWholeScan("with no settings reported");
  EXPECT_THAT(Station->SettingsLines, IsEmpty());
}

TEST_F(TRiskTest, ASettingChangedDuringTheScanIsLoggedWithItsStep) {
  // The operator turns the shutter dial right after the fifth shot (step_4).
  ASSERT_TRUE(SimConfigure(Rig + ",turn=5:shutter:1/125"));
  Station->Click("SpeedButton1");
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  std::vector<std::string> expected = ScanLog();
  const auto step4 = std::find(expected.begin(), expected.end(), "step_4");
  ASSERT_NE(step4, expected.end());
  expected.insert(step4 + 1, "Nastavení kamery změněno po step_4: čas 1/30 s -> 1/125 s");
  EXPECT_THAT(Station->Messages, ElementsAreArray(expected));
  EXPECT_THAT(Station->SettingsLines, ElementsAreArray({RigSettings}));
  // The scan still writes its index: the check tells what the change cost.
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), Station->ScanNames());
}

TEST_F(TRiskTest, TransferFromAnEndedSessionIsRefusedAndChangesNothing) {
  Station->Click("SpeedButton1");
  // A photo is announced, then the camera is disconnected before the
  // message is taken: it names an item of an SDK instance that has ended.
  Station->Click("SpeedButton2");
  ASSERT_TRUE(WaitForDeliveries(1));
  Station->Click("SpeedButton4");
  Application->ProcessMessages();
  // Again, now with a new session open when the old message arrives.
  Station->Click("SpeedButton1");
  Station->Click("SpeedButton2");
  ASSERT_TRUE(WaitForDeliveries(1));
  Station->Click("SpeedButton4");
  Station->Click("SpeedButton1");
  const TSimStatistics before = SimStatistics();
  Application->ProcessMessages();
  EXPECT_THAT(Station->Messages, ElementsAreArray({Connected, Disconnected, StaleDropped, Connected,
                                                   Disconnected, Connected, StaleDropped}));
  EXPECT_THAT(Koordinator->CapturedFiles, IsEmpty());
  EXPECT_THAT(FilesIn(Dir), IsEmpty());
  // The new session's own objects were not touched by the stale reference.
  EXPECT_EQ(SimStatistics().LiveReferences, before.LiveReferences);
  if (!HasFailure())
    PrintSummary({{"fault",
                   "a transfer message from an ended camera session arrives after "
                   "\"Odpojit\", and after a new \"Inicializace\""},
                  {"phase", "disconnect and reconnect"},
                  {"sees", "\"" + StaleDropped + "\""},
                  {"survives", "nothing written; the new session is unaffected; next scan works"}});

  Station->Rebase();
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  ExpectWholeScan("the next scan");
}

TEST_F(TRiskTest, SecondPressQueuedBehindTheFirstRestartsCleanly) {
  Station->Click("SpeedButton1");
  Station->Mark();
  // The operator's second press is already queued when the first one's step
  // processes pending events.
  auto* button = Form1->findChild<TSpeedButton*>("SpeedButton10");
  ASSERT_NE(button, nullptr);
  const QPointF at = button->rect().center();
  const QPointF global = button->mapToGlobal(at);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                              Qt::NoModifier));
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());

  // The second press came while the first waited for the screen: one scan,
  // its steps once each, in order.
  ExpectWholeScan("after two presses");
  EXPECT_EQ(SimStatistics().ShotsAccepted, 17u);
  EXPECT_EQ(FilesIn(Dir).size(), 18u);
  if (!HasFailure())
    PrintSummary({{"fault", "\"Snímání\" pressed twice, the second press queued behind the first"},
                  {"phase", "scan"},
                  {"sees", "one \"" + ScanStarted + "\", then one whole scan"},
                  {"survives", "17 photos intact; index lists them"}});
}

TEST_F(TRiskTest, RestartWhileAPhotoIsOnItsWayShootsEachPatternOnce) {
  Station->Click("SpeedButton1");
  Station->OnWait = [this](std::uint32_t) {
    // From step 4's shot on, photos stay on their way.
    if (Stomper->Running && Stomper->Step == 4) Station->HoldTransfers = true;
  };
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->RunUntil([this] { return Station->Held.size() == 1; }));
  Station->OnWait = nullptr;
  ASSERT_EQ(Stomper->Step, 5);
  const std::vector<std::string> interrupted = Station->ScanNames();
  ASSERT_EQ(interrupted.size(), 4u);

  // The operator restarts the scan; the interrupted scan's fifth photo comes
  // while the new scan waits for the screen.
  Station->ClickProjection();
  Station->HoldTransfers = false;
  Station->ReleaseHeld();
  Station->Mark();
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());

  // The late photo comes down while the new scan waits for the screen and
  // belongs to no step of it; the 17 patterns are shot once each, in order,
  // and listed line by line.
  std::vector<std::string> expected = ScanLog();
  expected.insert(expected.begin(), {Saved, NotListed});
  EXPECT_THAT(Station->Messages, ElementsAreArray(expected));
  EXPECT_THAT(Station->WrongPatternSteps, IsEmpty());
  EXPECT_EQ(SimStatistics().ShotsAccepted, 5u + 17u);
  const std::vector<std::string> names = Station->ScanNames();
  EXPECT_EQ(names.size(), 17u);
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), names);
  EXPECT_EQ(Station->SavedNames().size(), 18u);
  EXPECT_NE(Station->SavedNames().front(), names.front());
  ExpectPhotosIntact(Dir, Station->SavedPhotos(), PhotoSize);
  EXPECT_EQ(FilesIn(Dir).size(), 4u + 1u + 17u + 1u);
  ++ScansRun;
  if (!HasFailure())
    PrintSummary(
        {{"fault", "\"Snímání\" pressed again while the running scan's photo is on its way"},
         {"phase", "scan"},
         {"sees", "the late photo's \"" + Saved + "\" and \"" + NotListed + "\", then \"" +
                      ScanStarted + "\" and one whole scan"},
         {"survives", "every photo intact; the new index lists the 17 of the new scan"}});
}

TEST_F(TRiskTest, TransferDuringTheIndexWriteIsSavedAfterIt) {
  Station->Click("SpeedButton1");
  Station->Mark();
  std::vector<std::string> atWrite;
  Station->OnWait = [&](std::uint32_t Milliseconds) {
    if (Milliseconds != 600) return;
    // The camera's own shutter release: a photo outside the scan, announced
    // while the index file is being written.
    ASSERT_EQ(Koordinator->Shoot(), TShot::Taken);
    ASSERT_TRUE(WaitForDeliveries(18));
    atWrite = FilesIn(Dir);
  };
  Station->Click("SpeedButton10");
  ASSERT_TRUE(Station->Settle());
  Station->OnWait = nullptr;

  std::vector<std::string> expected = ScanLog();
  expected.push_back(Saved);
  EXPECT_THAT(Station->Messages, ElementsAreArray(expected));
  const std::vector<std::string> saved = Station->SavedNames();
  ASSERT_EQ(saved.size(), 18u);
  const std::vector<std::string> scan(saved.begin(), saved.end() - 1);
  EXPECT_EQ(ReadIndex(Dir / "corvalet.sbf"), scan);
  // When the index was written, the disk held exactly the photos it lists, and
  // the scan's lock, gone with the index.
  std::vector<std::string> sorted = scan;
  sorted.push_back("corvalet.lock");
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(atWrite, sorted);
  EXPECT_FALSE(fs::exists(Dir / "corvalet.lock"));
  EXPECT_THAT(Koordinator->CapturedFiles, ElementsAreArray({saved.back()}));
  ExpectPhotosIntact(Dir, Station->SavedPhotos(), PhotoSize);
  ++ScansRun;
  if (!HasFailure())
    PrintSummary({{"fault", "a photo is announced while the index file is being written"},
                  {"phase", "scan"},
                  {"sees", "the whole scan's log, then \"" + Saved + "\""},
                  {"survives", "index lists the 17; the late photo is saved after it, intact"}});
}

// The failures that Check reports, as texts, kept from the running test.
std::vector<std::string> FailuresOf(const std::function<void()>& Check) {
  ::testing::TestPartResultArray results;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    Check();
  }
  std::vector<std::string> texts;
  for (int i = 0; i < results.size(); ++i) texts.push_back(results.GetTestPartResult(i).message());
  return texts;
}

// The checks above rest on the rig's record of what it sent; both must see a change.
TEST(TPhotoCheckTest, RigRecordsWhatItSentAndTheCheckSeesAnyChange) {
  EXPECT_EQ(SimDigest(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(SimDigest("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(SimDigest("foobar"), 0x85944171f73967e8ull);

  const fs::path dir = MakeTempDirectory("corvalet-check");
  const TRemoveAtEnd cleanup{{dir}};
  ASSERT_TRUE(SimConfigure(Rig));
  TStation station;
  Koordinator->OutputDirectory = dir.string() + "/";
  station.Click("SpeedButton1");
  station.Click("SpeedButton2");
  ASSERT_TRUE(station.Settle());
  ASSERT_EQ(station.SavedPhotos().size(), 1u);
  const TSavedPhoto photo = station.SavedPhotos()[0];
  const std::string bytes = ReadFile(dir / photo.Name);
  const std::optional<TSimPhoto> sent = SimPhoto(photo.Name);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->Size, bytes.size());
  EXPECT_EQ(sent->Digest, SimDigest(bytes));
  EXPECT_FALSE(SimPhoto("IMG_0000.JPG").has_value());
  ExpectPhotosIntact(dir, {photo}, PhotoSize);

  std::string changed = bytes;
  changed[changed.size() / 2] ^= 0x01;
  std::ofstream(dir / photo.Name, std::ios::binary | std::ios::trunc) << changed;
  EXPECT_THAT(FailuresOf([&] { ExpectPhotosIntact(dir, {photo}, PhotoSize); }),
              Contains(HasSubstr("changed on disk since it was saved")));
  // A cut photo may still decode; its size and digest tell.
  std::ofstream(dir / photo.Name, std::ios::binary | std::ios::trunc)
      << bytes.substr(0, bytes.size() - 100);
  EXPECT_THAT(FailuresOf([&] { ExpectPhotosIntact(dir, {photo}, PhotoSize); }),
              Contains(HasSubstr("changed on disk since it was saved")));
  std::ofstream(dir / photo.Name, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_THAT(FailuresOf([&] { ExpectPhotosIntact(dir, {photo}, PhotoSize); }), IsEmpty());
  TSavedPhoto other = photo;
  other.Digest ^= 1;
  EXPECT_THAT(FailuresOf([&] { ExpectPhotosIntact(dir, {other}, PhotoSize); }),
              Contains(HasSubstr("saved other bytes than were sent")));
}

}  // namespace

int main(int argc, char** argv) {
  const int result = RunTestsWithWindowSet(argc, argv);
  std::printf("faults injected: %d, scans run: %d\n", FaultsInjected, ScansRun);
  return result;
}
