#pragma once

// The capture station as the GUI tests, the reliability suite and the
// benchmarks drive it: the program's window set in this process, its real
// buttons, the loop, the log and the index. The station with the simulated
// rig is in RigStation.h, the settings dialog's own world in DialogWorld.h.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/Widgets.h"
#include "tests/support/TestFiles.h"

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

// Any sanitizer, the thread sanitizer included: the waits' bounds grow with it.
#if defined(__SANITIZE_THREAD__)
constexpr bool Instrumented = true;
#else
constexpr bool Instrumented = Sanitized;
#endif

// Bound of any one wait for the rig or the loop; instrumented builds run slower.
constexpr std::chrono::milliseconds Patience{Instrumented ? 120000 : 30000};
// Bound of the wait for a whole scan of 17 photos rendered and checked as it runs: under
// the thread sanitizer, beside another test, a scan took 84 s on an idle machine and over
// 90 s on a busy one. A bound, not a target; below the tests' own time limits.
constexpr std::chrono::milliseconds ScanPatience{Instrumented ? 600000 : 180000};

// The messages of the log lines (what follows "time : ").
inline const std::string Connected = "Kamera Simulated camera připojena";
inline const std::string NotConnected = "Kamera nepřipojena";
// The start of the line that shows the camera's settings.
inline const std::string CameraSettingsPrefix = "Kamera: ";
// That line for the rig's camera and the PTP/IP emulator as they start.
inline const std::string RigSettings = "Kamera: manuál, 1/30 s, f/8, ISO 100";
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
// A photo not downloaded stays on the camera; its name is compared where a test asks for it.
inline const std::string LeftOnCamera = "Snímek zůstává v kameře";
// The last photo is taken; the time the object kept still is compared where a test asks for it.
inline const std::string MayMove = "Předmět se smí pohnout";
// The settle wait as a scan's start logs it, by default.
inline const std::string SettleLogged = "Ustálení vzoru 300 ms";
// The progress of the downloads left after the last exposure: photo Number of 17 is next.
std::string Downloading(int Number);
// The log line of a scan step whose photo did not come within the default limit.
std::string PhotoMissing(int Step);

// Creates the program's four windows in their order, as the program does,
// and shows the main window; call once in main.
void BuildWindowSet();

// The main of a test over the window set: the application, the windows as
// BuildWindowSet makes them, then every test; returns the tests' exit code.
int RunTestsWithWindowSet(int& Argc, char** Argv);

// A button of Window (the main window when none), by object name, clicked with the mouse.
void Click(const char* Name, QWidget* Window = nullptr);
// "Adresář" as the operator uses it: Directory opened in the dialog, the
// per-scan box set to PerScan, then "Použít".
void ChooseFolder(const fs::path& Directory, bool PerScan = false);
// "Definovat" as the operator uses it: the first fields typed with Texts
// (LHX, LHY, rows, ...), "Použít", then the close box.
void TypeRaster(const std::vector<std::string>& Texts);
// The directory the dialog shows when "Adresář" opens it; the dialog is then closed.
std::string FolderTheDialogOpensAt();
// Runs the loop until Done holds or Limit ran out; false when it ran out.
bool RunLoopUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = Patience);
// Runs the loop until a whole scan ends (the main window is back) or ScanPatience ran out.
bool RunLoopUntilScanEnds();

// The message of a log line "time : message"; a saved photo's line without its
// file, a photo left on the camera without its name (LeftOnCamera), the
// object's release without its time (MayMove).
std::string MessageOf(const std::string& Line);
// The file a log line "... snímek uložen: PATH" names; empty for another line.
std::string SavedPath(const std::string& Line);
// The messages of every line in Memo (the main window's log when none).
std::vector<std::string> LogMessages(const TMemo* Memo = nullptr);
// Whether the point with Index is lit in the pattern of Step (0..16).
bool PointLitAt(int Step, int Index);
// Points of the start-up raster whose centre pixel on the projector differs
// from the pattern of Step, looking at every Every-th point, plus one when a
// pixel between the points is lit outside the lit field.
int WrongPointsOnProjector(int Step, int Every = 1);

// The resident memory of this process in kB, from /proc/self/status.
long ResidentKilobytes();

// The log a scan writes when every step goes as Outcomes says: one character
// per step 0..16, '.' the photo saved, 'k' saved but the camera did not take
// the download as done, 'd' its download failed (the scan stops; the photo
// stays on the camera), 's' the shutter failed (the scan stops at once), 'w'
// the shot was swallowed (the scan waits there until the photo time limit
// stops it), 'u' the unlock after the shot failed but the photo came. Steps
// past the string's end go well. Each photo is saved while the next pattern
// settles, as a link faster than the settle wait allows; the last one after
// the object may move.
std::vector<std::string> ScanLog(const std::string& Outcomes = "");
// The log of a whole scan into Dir, whose files were Before when it started:
// ScanLog(), then, when an index lay there, the line naming the one new
// "corvalet-<time>.sbf" it was kept under (a test failure when there is not
// exactly one).
std::vector<std::string> ScanLogInto(const fs::path& Dir, const std::vector<std::string>& Before);

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
