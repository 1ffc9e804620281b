#pragma once

#include <memory>
#include <string>

#include "app/Stomper.h"
#include "platform/Forms.h"
#include "platform/Messages.h"
#include "platform/Widgets.h"

class TAimReader;
class TAimWindow;
class TCalibrationWindow;
class TCheckWindow;
class TKoordinator;

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
  void SpeedButton14Click();  // "Kalibrace"
  void SpeedButton15Click();  // "Kontrola"
  void SpeedButton11Click();  // "Konec"
  // Shows the projection window and hides every other window of the program.
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
  TSpeedButton* SpeedButton14 = nullptr;  // "Kalibrace": the calibration window
  TSpeedButton* SpeedButton15 = nullptr;  // "Kontrola": the last scan's check and 3D points

  // Whether the choices made in the two dialogs are remembered for the next start.
  bool RemembersChoices = false;

  // The aim window, null before the first aiming ended.
  TAimWindow* AimWindow() const { return FAimWindow; }
  // The calibration window, null before "Kalibrace" was first pressed.
  TCalibrationWindow* CalibrationWindow() const { return FCalibrationWindow; }
  // The check window, null before "Kontrola" was first pressed.
  TCheckWindow* CheckWindow() const { return FCheckWindow; }

  // A scan's verdict Line reached the log: the check window, when the operator
  // keeps it open, shows it with the scan's pictures once no scan runs.
  void CheckGiven(const std::string& Folder, const std::string& Line);

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
  // A view of the calibration: a scan into Folder; false when it cannot start.
  bool ScanView(const std::string& Folder);
  // The scan into Folder wrote its index: a view's goes to the calibration window.
  void ScanListed(const std::string& Folder);

  // The sequencer lives as long as the window; Stomper refers to it.
  std::unique_ptr<TStomper> FStomper;
  // Released by FormClose; Koordinator refers to it until then.
  std::unique_ptr<TKoordinator> FKoordinator;
  bool FClosing = false;
  bool FHookInstalled = false;
  std::unique_ptr<TAimReader> FAimReader;
  TAimWindow* FAimWindow = nullptr;                  // owned by the form (Qt parent)
  TCalibrationWindow* FCalibrationWindow = nullptr;  // owned by the form (Qt parent)
  TCheckWindow* FCheckWindow = nullptr;              // owned by the form (Qt parent)
  // The last verdict given and the folder of its scan.
  std::string FCheckFolder, FCheckLine;
  // The folder of the view being scanned; empty while none is.
  std::string FViewFolder;
};

extern TForm1* Form1;  // the main window
