#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/CameraSettingsWatch.h"
#include "app/ScanLink.h"
#include "platform/ExposureWait.h"
#include "platform/Messages.h"
#include "platform/Timer.h"

class QWidget;
class TScanCheck;

// The scan sequencer: puts the 17 patterns on the projection window one after
// another and has the camera photograph each. Step 0 runs once the window
// system shows the projection alone; every later step runs when the camera
// has taken the photograph of the step before; the photographs are downloaded
// meanwhile (TScanLink).
class TStomper {
 public:
  static constexpr std::int32_t FinalStep = 17;
  static constexpr std::uint32_t DefaultPhotoTimeout = 30000;
  // Milliseconds a scan or aiming waits for the window system to take the
  // program's other windows off the screen and show the projection.
  static constexpr std::uint32_t ProjectionTimeout = 10000;
  static constexpr std::int32_t DefaultSettle = 300;

  TStomper();

  void ResetSteps();
  std::int32_t AdvanceStep();
  // Runs the routine of the current Step; nothing outside 0..17.
  void RunStep();

  void ShootDarkField();
  void ShootLitField();
  void ShootAllPoints();
  void ShootFirstBitPlane();
  void ShootNextBitPlane();
  // Ends the exposures: the dark field goes on screen and the log says how
  // long the object kept still; then the photographs still owed come down
  // ("Stahování 12/17"), the index file is written and the main window shows again.
  void FinishScan();
  // Reads the camera's settings again during a scan; a change is logged and goes to the check.
  void SettingsMayHaveChanged(int LastStep);
  // Ends the scan without an index: its list is dropped, its photos stay on
  // disk, the main window comes back. Every photograph taken is then on disk,
  // or, after a failed download (DownloadFailed), named in the log as left on
  // the camera.
  void StopScan(bool DownloadFailed = false);

  // Starts a scan at step 0 with an empty file list once the projection is on
  // screen alone (the caller hides every other window); nothing without a
  // camera, and not while the camera chooses its own exposure. A scan under
  // way ends unlisted. When the window system does not confirm the screen
  // within ProjectionTimeout, or no per-scan folder can be made, the log says
  // why, the main window comes back and nothing is shot. Photographs still
  // owed by earlier shots are listed nowhere when they come. Into (ending in
  // "/"): the folder this scan goes into instead of the output or a per-scan
  // folder. False when the scan cannot start at all (the log says why).
  bool StartScan(const std::string& Into = {});
  // One photograph outside a scan, half a second after the press; a refused
  // shutter is logged.
  void SingleShot();
  // Aiming: once the projection is on screen alone, shows the dark field, then
  // all points, and photographs each as a scan does, into the output folder
  // and no index; when both photos are in, the main window comes back and
  // Aimed gets their paths. Nothing without a camera or while a scan runs;
  // started again while aiming, it starts over. A refused shutter, a failed
  // download or a photo that does not come ends it with a log line.
  void StartAim();
  bool Aiming() const { return FAimStep > 0; }
  // A scan or aiming runs, or waits for the screen to begin.
  bool Busy() const { return Running || Aiming() || FProjection.Waiting(); }
  std::function<void(const std::string& Dark, const std::string& Points)> Aimed;
  // The camera has taken the photograph that a transfer message names: it is
  // owed a download. The one owed to the running scan's last shutter moves
  // the scan on (in the serial order once it is on disk); any other waits for
  // a gap in the running scan, or is downloaded at once outside one.
  void TransferArrived(const TMsg& Msg);
  // What a finished download means: the running scan's photograph is listed
  // under its step and goes to the check; one that was not saved stops the
  // scan. Any other photograph is listed only outside a scan and only when no
  // ended scan or aiming shot it. False when the scan stopped.
  bool PhotoDownloaded(const TDownloaded& Done);

  bool Running = false;
  // Told of each scan, photo and index as they come, and of the calibration
  // in force at each scan's start; null: no check.
  TScanCheck* Check = nullptr;
  // The index of the scan into Folder (as ScanDirectory gave it) is written.
  std::function<void(const std::string& Folder)> ScanListed;
  // Milliseconds between a pattern on screen and its shutter command (--settle).
  std::int32_t Delay = DefaultSettle;
  // Downloads fill the waits of a scan; false: each photograph is on disk
  // before the next pattern (the serial order).
  bool DownloadsInGaps = true;
  // Microseconds the object kept still in the last scan that took all its
  // photographs: its first pattern on screen to its last photograph taken.
  std::int64_t HoldStill = 0;
  // The next step to run, 0..17.
  std::int32_t Step = 0;
  // Milliseconds a scan waits for a step's photograph before it stops; 0 waits for ever.
  std::uint32_t PhotoTimeout = DefaultPhotoTimeout;
  // Where the running (or last) scan puts its photographs and index; ends in "/".
  std::string ScanDirectory;
  // The camera's settings: shown, and held for a scan.
  TCameraSettingsWatch CameraSettings;
  // Shown again when a scan or aiming ends or cannot start; null: none.
  QWidget* MainWindow = nullptr;
  // True once the program began to end: from then on no step goes on. Unset:
  // only the application's end counts.
  std::function<bool()> ShutdownBegan;

 private:
  bool ShuttingDown() const;
  void ShowMainWindow();
  // Runs Begin once the projection is on screen alone; otherwise logs Refusal
  // with the reason and brings the main window back.
  void AwaitProjection(const std::string& Refusal, std::function<void()> Begin);
  void BeginScan();
  void BeginAim();
  // Shows the pattern that Draw paints, then fires the shutter and logs the step.
  template <class TDraw>
  void ShootPattern(TDraw Draw);
  // Puts the pattern that Draw paints on screen: painted, and taken by the window system.
  template <class TDraw>
  void Project(TDraw Draw);

  void PhotoTimedOut();
  // Shows the pattern that Draw paints and fires the shutter for aiming.
  template <class TDraw>
  void ShootAimPattern(TDraw Draw);
  void AimPhotoArrived(const std::string& Path);
  void EndAim(const std::string& Why);

  // Step routines begun so far; tells a step whether another ran inside it.
  unsigned FStepsBegun = 0;
  // Number of the running (or last) scan; its shots are owed under it.
  unsigned FScan = 0;
  // Aiming shoots under a number of its own; 1 while the dark field's photo is
  // awaited, 2 while the all-points photo is, 0 otherwise.
  unsigned FAimScan = 0;
  int FAimStep = 0;
  std::string FAimDark;
  // The folder StartScan was given for the scan waiting for the screen; empty: the usual one.
  std::string FInto;
  TTimer FPhotoTimer{[this] { PhotoTimedOut(); }};
  TExposureWait FProjection;
  TScanLink FLink;
  // While a stopping scan's owed photographs come down.
  bool FStopping = false;
};

extern TStomper* Stomper;  // the scan sequencer, owned by the main window
