#pragma once

// The capture station as an operator drives it in the reliability tests: the
// program's window set in this process, its real buttons, and the simulated
// rig as the camera. Records what the operator sees (log lines, error boxes),
// the waits the program asks for, and every photo it reports as saved.

#include <QSize>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Ovl_1.h"
#include "platform/Application.h"

namespace Station {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

// Bound of any one wait for the rig or the loop; instrumented builds run slower.
constexpr std::chrono::milliseconds Patience{Sanitized ? 120000 : 30000};

// The messages of the log lines (what follows "time : ").
inline const std::string Connected = "Kamera Simulated camera připojena";
inline const std::string NotConnected = "Kamera nepřipojena";
inline const std::string Disconnected = "Kamera odpojena.";
inline const std::string ScanStarted = "Snímání začalo ...";
inline const std::string ScanEnded = "Snímání ukončeno ...";
inline const std::string Saved = "snímek uložen";
inline const std::string NotSaved = "Snímek se nepodařilo uložit";
inline const std::string ShutterFailed = "Spoušť selhala";
inline const std::string UnlockFailed = "Odemčení kamery selhalo";
inline const std::string SavedCameraKeeps = "Snímek uložen, kamera si může ponechat kopii";
inline const std::string NotListed = "Snímek do snímání nepatří, není v seznamu";
inline const std::string StaleDropped = "Snímek z odpojené kamery zahozen";
inline const std::string ScanStopped = "Snímání zastaveno, seznam snímků nezapsán";
// The log line of a scan step whose photo did not come within the default limit.
std::string PhotoMissing(int Step);

// Waits, without running the loop, until the rig has delivered Count photos
// in its present SDK instance: their messages then wait in the queue.
bool WaitForDeliveries(unsigned Count);

// Creates the program's four windows in their order; call once in main.
void BuildWindowSet();

// A new empty directory under the system's temporary directory.
fs::path MakeTempDirectory(const std::string& Prefix);
// Removes its directories, with everything in them, when it goes.
struct TRemoveAtEnd {
  std::vector<fs::path> Paths;
  ~TRemoveAtEnd();
};
std::string ReadFile(const fs::path& Path);
// The photo names that an index file lists (its lines after the rule), or
// none when the file is absent or not an index file.
std::optional<std::vector<std::string>> ReadIndex(const fs::path& Path);
// Regular files directly in Directory, by name.
std::vector<std::string> FilesIn(const fs::path& Directory);
// The resident memory of this process in kB, from /proc/self/status.
long ResidentKilobytes();

// The log a scan writes when every step goes as Outcomes says: one character
// per step 0..16, '.' the photo saved, 'k' saved but the camera did not take
// the download as done, 'd' its download failed (the scan stops), 's' the
// shutter failed and 'w' the shot was swallowed (the scan waits there until
// the photo time limit stops it), 'u' the unlock after the shot failed but
// the photo came. Steps past the string's end go well.
std::vector<std::string> ScanLog(const std::string& Outcomes = "");

// A photo that the program reported as saved, as it lay on disk at that moment.
struct TSavedPhoto {
  std::string Name;
  std::uint64_t Size = 0;
  std::uint64_t Digest = 0;
};

class TStation {
 public:
  // Takes over the log, the sleep function, the error box and the hook.
  TStation();
  // Gives them back and disconnects the camera.
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;

  // A button of the main window, by object name, clicked with the mouse.
  void Click(const char* Name);
  // A click on the projection image: brings the main window back.
  void ClickProjection();
  // "Adresář" with Directory chosen and confirmed in the dialog.
  void ChooseDirectory(const fs::path& Directory);

  // Runs the loop until no photo is on its way and every one the rig
  // delivered was handled; false when Patience ran out first.
  bool Settle();
  // Runs the loop until Done holds or Patience ran out.
  bool RunUntil(const std::function<bool()>& Done);

  // Forgets what was recorded so far.
  void Mark();

  // The photos saved since Mark, and of them those listed since the last scan start.
  const std::vector<TSavedPhoto>& SavedPhotos() const { return FSaved; }
  std::vector<std::string> SavedNames() const;
  std::vector<std::string> ScanNames() const;

  // Every log message since Mark, also those the panel has dropped.
  std::vector<std::string> Messages;
  // Texts of the error boxes since Mark.
  std::vector<std::string> Errors;
  // Waits asked for since Mark, in milliseconds.
  std::vector<std::uint32_t> Waits;
  // Runs inside each recorded wait, after it was recorded.
  std::function<void(std::uint32_t Milliseconds)> OnWait;
  // Scan steps whose shutter wait began with another pattern on the projector
  // than the step's own (start-up raster assumed).
  std::vector<int> WrongPatternSteps;
  // Transfer messages that reached the program's hook since the station was built.
  unsigned Transfers = 0;
  // While set, transfer messages are taken from the queue and kept in Held
  // instead of reaching the program, as if the photos were still on their way.
  bool HoldTransfers = false;
  std::vector<TMsg> Held;
  // Posts the held messages again, in their order: the photos arrive now.
  void ReleaseHeld();

  // Takes every delivered photo as handled; for after messages from an
  // earlier SDK instance were handled.
  void Rebase();

 private:
  void LineAdded(const std::string& Message);

  std::vector<TSavedPhoto> FSaved;
  // Per saved photo: whether the program listed it.
  std::vector<bool> FListed;
  std::size_t FScanStart = 0;
  int FSeenLines = 0;
  unsigned FTransfersAtStart = 0;
  unsigned FDeliveredAtStart = 0;
  QMetaObject::Connection FLogWatch;
  TApplication::TMessageHook FPreviousHook;
};

// Every check failure goes to GoogleTest with Context. Checks that each of
// Photos lies in Directory byte for byte as the rig delivered it and as it
// was when saved, and decodes as a JPEG of Size.
void ExpectPhotosIntact(const fs::path& Directory, const std::vector<TSavedPhoto>& Photos,
                        QSize Size, const std::string& Context = "");

// Ends the process with a message when it is not disarmed within Limit: a
// hang then fails the test at once, naming what hung.
class TWatchdog {
 public:
  TWatchdog(std::string Label, std::chrono::milliseconds Limit);
  ~TWatchdog();
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  struct TState;
  std::shared_ptr<TState> FState;
  std::thread FThread;
};

// One line of the machine-readable summary: a JSON object on a line of its own,
// prefixed with "RELIABILITY ".
void PrintSummary(const std::map<std::string, std::string>& Fields);

}  // namespace Station
