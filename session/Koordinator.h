#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "camera/appmaster.h"
#include "platform/Messages.h"
#include "session/FolderLock.h"
#include "session/IndexFiles.h"

class TMemo;

// What became of a shutter command.
enum class TShot {
  Refused,
  Taken,
  // The camera took the shot, then refused to unlock its controls (legacy camera).
  TakenStillLocked,
};

// What became of a transfer message.
enum class TTransfer {
  // From a camera session that has ended: dropped without any SDK call.
  Stale,
  Failed,
  Saved,
  // Saved whole, but the camera did not take the download as done and may keep its copy.
  SavedCameraMayKeepCopy,
};

// An accepted shot whose photograph has not come yet.
struct TOwedPhoto {
  // MonotonicMilliseconds at the shutter.
  std::int64_t ShotAt = 0;
  // The scan that shot it; 0 for a single shot.
  unsigned Scan = 0;
  // Where the photograph goes, ends in "/".
  std::string Directory;
};

// The scan coordinator: owns the camera controller while one exists, turns its
// SDK results into outcomes, downloads each transferred photograph,
// keeps the list of captured file names, writes the scan index file and the
// time-stamped activity log. All of it runs on the GUI thread.
//
// The application, the sequencer and the dialogs read and write the fields directly.
class TKoordinator {
 public:
  // Logs go to LogPanel; null logs nowhere.
  explicit TKoordinator(TMemo* LogPanel);
  // Releases the controller, which closes the camera session and ends the SDK use.
  virtual ~TKoordinator();

  TKoordinator(const TKoordinator&) = delete;
  TKoordinator& operator=(const TKoordinator&) = delete;

  // Connects to the first camera; camera messages go to MainWindow. True when
  // the camera is ready to shoot and its event handlers are registered. A
  // controller that found a camera stays held after a failed connect. The
  // earlier session's owed photographs are forgotten: they can never come.
  bool Connect(HWND MainWindow);
  // Releases the controller, forgets the owed photographs, empties
  // CapturedFiles and logs, connected or not.
  void Disconnect();
  // Fires the shutter once; refused without a connection. A shot taken is
  // owed a photograph, recorded in OwedPhotos under Scan, to be saved in
  // Directory (OutputDirectory when empty).
  TShot Shoot(unsigned Scan = 0, const std::string& Directory = {});
  // Downloads the photograph named by a CameraTransferMessage into the
  // directory of the oldest owed shot (OutputDirectory when none is owed),
  // puts its bare name in LastSavedFile and the directory in
  // LastSavedDirectory; lists nothing. A camera name already taken there gets
  // a free name beside it, and the log says so. A message from another than
  // the present controller's session is Stale.
  TTransfer SaveTransferredImage(const TMsg& Msg);
  // Forgets the owed photographs shot more than Milliseconds ago.
  void WriteOffOwedPhotos(std::int64_t Milliseconds);
  void AddCapturedFile(const std::string& FileName);
  // Appends "time : Message" to the log panel, which keeps the newest
  // MaxLogLines, and "date time : Message" to the day's log file in
  // LogDirectory. A log file that cannot be written is said once in the panel
  // and not tried again.
  void Log(const std::string& Message);
  // The day's log file in LogDirectory: "corvaletscan-YYYY-MM-DD.log"; empty without one.
  std::string LogFilePath() const;
  // $XDG_STATE_HOME/corvaletscan, by default ~/.local/state/corvaletscan.
  static std::string DefaultLogDirectory();
  // Writes Directory + IndexFileName with the header, the rule and
  // CapturedFiles, then empties CapturedFiles. An earlier index there and its
  // check files are kept under its scan time (PutScanIndex, which says how no
  // stop of the write loses one). The folder's lock is held for the write and
  // released after it, written or not: the index ends a scan. Throws
  // std::runtime_error naming the path and the reason when the file cannot be
  // written, or naming the station that holds the folder; CapturedFiles then
  // stays as it was.
  void WriteScanIndex(const std::string& Directory);
  // Into OutputDirectory.
  void WriteScanIndex();
  // Called before each file operation of WriteScanIndex with its name; tests stop there.
  TIndexStep IndexStep;

  // Takes the lock file of Directory for a scan into it, and keeps it until
  // UnlockFolder or the scan's WriteScanIndex. False, with Error naming the
  // station that holds it (or why the lock cannot be made), when it cannot be
  // taken. A lock left by an ended process of this host is taken over, and the
  // log says whose it was.
  bool LockFolder(const std::string& Directory, std::string& Error);
  void UnlockFolder();

  // Creates the next numbered scan folder in OutputDirectory: "sken-001",
  // "sken-002", ..., one past the highest there and the highest ever made
  // there (recorded in ScanNumberFileName), so that a number never names two
  // scans, even after its folder was removed. Its path ending in "/", or empty
  // with Error naming the path and the reason.
  std::string MakeScanFolder(std::string& Error) const;

  // Where photos go at a first start; ends in "/". A program run where it was built: its own
  // directory when writable. An installed one (in a bin/ directory) or one whose directory
  // cannot be written: the user's pictures directory, made if missing, else the home directory.
  static std::string DefaultOutputDirectory();
  // The same choice for a given executable directory.
  static std::string OutputDirectoryFor(const std::string& ExecutableDirectory);

  static constexpr int MaxLogLines = 24;
  static constexpr char IndexFileName[] = "corvalet.sbf";
  // The number of the last scan folder made in OutputDirectory.
  static constexpr char ScanNumberFileName[] = ".corvalet-sken";

  std::unique_ptr<TAppMaster> Controller;
  // Always ends in "/".
  std::string OutputDirectory;
  // Each scan into a new numbered folder of OutputDirectory (MakeScanFolder).
  bool FolderPerScan = false;
  // Bare names of the photographs listed since the list was last emptied, in order.
  std::vector<std::string> CapturedFiles;
  // The bare name of the photograph saved last, listed or not, and its directory (ends in "/").
  std::string LastSavedFile;
  std::string LastSavedDirectory;
  // Shots of the present session whose photographs have not come, oldest
  // first; photographs come in the order of their shots.
  std::deque<TOwedPhoto> OwedPhotos;
  // As the controller reported it at the last Connect; empty before the first.
  std::string CameraName;
  // Not owned: the main window's panel.
  TMemo* LogPanel = nullptr;
  // Where the log files go; empty keeps the log in the panel only.
  std::string LogDirectory;
  // The log file that could not be written, not tried again; another (the next day's,
  // another folder's) is.
  std::string LogFileFailed;
  bool Connected = false;

 private:
  TFolderLock::TResult TakeLock(const std::string& Directory, std::string& Error);

  TFolderLock FLock;
};

// The one coordinator, set by the main window; null before and after its life.
extern TKoordinator* Koordinator;
