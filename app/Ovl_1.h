#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/CameraSettingsWatch.h"
#include "app/ScanLink.h"
#include "platform/Forms.h"
#include "platform/Messages.h"
#include "platform/Timer.h"
#include "platform/Widgets.h"

class TAimReader;
class TAimWindow;
class TKoordinator;
class TScanCheck;

// The scan sequencer: puts the 17 patterns on the projection window one after
// another and has the camera photograph each. Step 0 runs at the scan start;
// every later step runs when the camera has taken the photograph of the step
// before; the photographs are downloaded meanwhile (TScanLink).
class TStomper {
 public:
  static constexpr std::int32_t FinalStep = 17;
  static constexpr std::uint32_t DefaultPhotoTimeout = 30000;
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
  // Ends the scan without an index: its list is dropped, the main window
  // comes back. Every photograph taken is then on disk, or, after a failed
  // download (DownloadFailed), named in the log as left on the camera.
  void StopScan(bool DownloadFailed = false);

  // Starts a scan at step 0 with an empty file list; nothing without a camera,
  // and not while the camera chooses its own exposure (the main window comes back).
  // Photographs still owed by earlier shots are listed nowhere when they come.
  // With per-scan folders the scan goes into a new one; when none can be
  // made, the log says why, the main window comes back and nothing is shot.
  void StartScan();
  // One photograph outside a scan, half a second after the press; a refused
  // shutter is logged.
  void SingleShot();
  // Aiming: shows the dark field, then all points, and photographs each as a
  // scan does, into the output folder and no index; when both photos are in,
  // the main window comes back and Aimed gets their paths. Nothing without a
  // camera or while a scan runs; started again while aiming, it starts over.
  // A refused shutter, a failed download or a photo that does not come ends
  // it with a log line.
  void StartAim();
  bool Aiming() const { return FAimStep > 0; }
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
  // Told of each scan, photo and index as they come; null: no check.
  TScanCheck* Check = nullptr;
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
  // Where the last scan that wrote its index put it; ends in "/".
  std::string FinishedFolder;
  // The camera's settings: shown, and held for a scan.
  TCameraSettingsWatch CameraSettings;

 private:
  // Shows the pattern that Draw paints, then fires the shutter and logs the step.
  template <class TDraw>
  void ShootPattern(TDraw Draw);

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
  TTimer FPhotoTimer{[this] { PhotoTimedOut(); }};
  TScanLink FLink;
  // While a stopping scan's owed photographs come down.
  bool FStopping = false;
};

// The main window "CorvaletScan": the activity log and the operator's buttons.
// It also carries the application-wide message hook that hands camera
// transfers to the sequencer.
class TForm1 : public TForm {
 public:
  explicit TForm1(QWidget* Parent = nullptr);
  ~TForm1() override;

  void SpeedButton1Click();   // "Inicializace"
  void SpeedButton4Click();   // "Odpojit"
  void SpeedButton12Click();  // "...": camera settings
  void SpeedButton5Click();   // "Zobrazit"
  void SpeedButton6Click();   // "Skrýt"
  void SpeedButton7Click();   // "Definovat"
  void SpeedButton8Click();   // "UkJeBo"
  void SpeedButton9Click();   // "Adresář"
  void SpeedButton2Click();   // "Jeden"
  void SpeedButton13Click();  // "Zaměřit"
  void SpeedButton10Click();  // "Snímání"
  void SpeedButton11Click();  // "Konec"
  // Shows the projection window and hides every other window.
  void ShowProjectionOnly();

  // Logged when "Jeden", "Zaměřit" or "Snímání" finds no connected camera.
  static constexpr char NoCameraText[] = "Kamera nepřipojena, nejdřív stiskněte Inicializace";
  void ApplicationEvents1Message(TMsg& Msg, bool& Handled);

  // True once the window began to close or the application was asked to end:
  // from then on camera messages are ignored and no step goes on.
  bool ShutdownBegan() const;

  // Owned by the form (Qt parent).
  TMemo* Memo1 = nullptr;                 // the activity log
  TGroupBox* GroupBox1 = nullptr;         // "Kamera"
  TSpeedButton* SpeedButton1 = nullptr;   // "Inicializace": connect the camera
  TSpeedButton* SpeedButton4 = nullptr;   // "Odpojit": disconnect it
  TSpeedButton* SpeedButton12 = nullptr;  // "...": the camera settings dialog
  TGroupBox* GroupBox2 = nullptr;         // "Body"
  TSpeedButton* SpeedButton5 = nullptr;   // "Zobrazit": show the projection window
  TSpeedButton* SpeedButton6 = nullptr;   // "Skrýt": hide it
  TSpeedButton* SpeedButton7 = nullptr;   // "Definovat": the raster settings dialog
  TSpeedButton* SpeedButton8 = nullptr;   // "UkJeBo": hide this window
  TGroupBox* GroupBox3 = nullptr;         // "Snímání"
  TSpeedButton* SpeedButton9 = nullptr;   // "Adresář": choose the output directory
  TSpeedButton* SpeedButton2 = nullptr;   // "Jeden": one photograph
  TSpeedButton* SpeedButton13 = nullptr;  // "Zaměřit": two photos show which points the camera sees
  TSpeedButton* SpeedButton10 = nullptr;  // "Snímání": start a scan
  TSpeedButton* SpeedButton11 = nullptr;  // "Konec": end the program

  // Whether the choices made in the two dialogs are remembered for the next start.
  bool RemembersChoices = false;

  // The aim window, null before the first aiming ended.
  TAimWindow* AimWindow() const { return FAimWindow; }

 protected:
  // Creates the sequencer, then the coordinator bound to Memo1, and installs the hook.
  void FormCreate() override;
  // Releases the coordinator, then the raster generator.
  void FormClose() override;

 private:
  // True with a connected camera; otherwise logs NoCameraText.
  bool CameraReady();
  TSpeedButton* AddButton(QWidget* Parent, const char* Name, const char* Caption,
                          const QRect& Bounds, void (TForm1::*Handler)());

  // Reads the aiming photos, then shows the aim window and logs its line.
  void AimPhotosTaken(const std::string& Dark, const std::string& Points);

  // The sequencer lives as long as the window; Stomper refers to it.
  std::unique_ptr<TStomper> FStomper;
  // Released by FormClose; Koordinator refers to it until then.
  std::unique_ptr<TKoordinator> FKoordinator;
  bool FClosing = false;
  bool FHookInstalled = false;
  std::unique_ptr<TAimReader> FAimReader;
  TAimWindow* FAimWindow = nullptr;  // owned by the form (Qt parent)
};

extern TForm1* Form1;      // the main window
extern TStomper* Stomper;  // the scan sequencer, owned by Form1
