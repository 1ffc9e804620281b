#include "app/Ovl_1.h"

#include <QApplication>
#include <QCheckBox>
#include <string>

#include "app/AimWindow.h"
#include "app/CalibrationWindow.h"
#include "app/CameraSettingsDialog.h"
#include "app/CheckWindow.h"
#include "app/ChoiceMemory.h"
#include "app/WindowPlace.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "sdk/CameraProblems.h"
#include "session/Koordinator.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(QWidget* Parent) : TForm(Parent) {
  setObjectName("Form1");
  SetCaption("CorvaletScan");
  SetBorderStyle(TBorderStyle::bsSingle);
  SetStayOnTop(true);
  SetClientSize(387, 473);

  Memo1 = new TMemo(this, "Memo1", QRect(0, 0, 385, 345));

  GroupBox1 = new TGroupBox(this, "GroupBox1", "Kamera", QRect(1, 352, 88, 81));
  SpeedButton1 = AddButton(GroupBox1, "SpeedButton1", "Inicializace", QRect(10, 16, 71, 25),
                           &TForm1::SpeedButton1Click);
  SpeedButton4 = AddButton(GroupBox1, "SpeedButton4", "Odpojit", QRect(10, 48, 46, 25),
                           &TForm1::SpeedButton4Click);
  SpeedButton12 = AddButton(GroupBox1, "SpeedButton12", "...", QRect(58, 48, 23, 25),
                            &TForm1::SpeedButton12Click);
  SpeedButton12->setToolTip(QStringLiteral("Nastavení kamery"));

  GroupBox2 = new TGroupBox(this, "GroupBox2", "Body", QRect(96, 352, 161, 81));
  SpeedButton5 = AddButton(GroupBox2, "SpeedButton5", "Zobrazit", QRect(10, 16, 71, 25),
                           &TForm1::SpeedButton5Click);
  SpeedButton6 = AddButton(GroupBox2, "SpeedButton6", "Skrýt", QRect(82, 16, 71, 25),
                           &TForm1::SpeedButton6Click);
  SpeedButton7 = AddButton(GroupBox2, "SpeedButton7", "Definovat", QRect(10, 48, 71, 25),
                           &TForm1::SpeedButton7Click);
  SpeedButton8 = AddButton(GroupBox2, "SpeedButton8", "UkJeBo", QRect(82, 48, 71, 25),
                           &TForm1::SpeedButton8Click);

  GroupBox3 = new TGroupBox(this, "GroupBox3", "Snímání", QRect(264, 352, 121, 81));
  // "Zaměřit" shares the first row with "Adresář": aim, then scan, the order of the work.
  SpeedButton9 = AddButton(GroupBox3, "SpeedButton9", "Adresář", QRect(10, 16, 46, 25),
                           &TForm1::SpeedButton9Click);
  SpeedButton2 = AddButton(GroupBox3, "SpeedButton2", "Jeden", QRect(10, 48, 46, 25),
                           &TForm1::SpeedButton2Click);
  SpeedButton13 = AddButton(GroupBox3, "SpeedButton13", "Zaměřit", QRect(58, 16, 55, 25),
                            &TForm1::SpeedButton13Click);
  SpeedButton10 = AddButton(GroupBox3, "SpeedButton10", "Snímání", QRect(58, 48, 55, 25),
                            &TForm1::SpeedButton10Click);

  // "Kalibrace" and "Kontrola" take the end of the last row, under "Snímání": the
  // other buttons stay put.
  SpeedButton11 = AddButton(this, "SpeedButton11", "Konec", QRect(8, 440, 249, 25),
                            &TForm1::SpeedButton11Click);
  SpeedButton14 = AddButton(this, "SpeedButton14", "Kalibrace", QRect(264, 440, 60, 25),
                            &TForm1::SpeedButton14Click);
  SpeedButton15 = AddButton(this, "SpeedButton15", "Kontrola", QRect(325, 440, 60, 25),
                            &TForm1::SpeedButton15Click);
}

TForm1::~TForm1() {
  if (FHookInstalled && Application != nullptr) Application->SetMessageHook({});
  if (Koordinator == FKoordinator.get()) Koordinator = nullptr;
  if (Stomper == FStomper.get()) Stomper = nullptr;
  if (Form1 == this) Form1 = nullptr;
}

TSpeedButton* TForm1::AddButton(QWidget* Parent, const char* Name, const char* Caption,
                                const QRect& Bounds, void (TForm1::*Handler)()) {
  auto* button = new TSpeedButton(Parent, Name, Caption, Bounds);
  button->OnClick = [this, Handler] { (this->*Handler)(); };
  return button;
}

void TForm1::FormCreate() {
  FStomper = std::make_unique<TStomper>();
  Stomper = FStomper.get();
  Stomper->MainWindow = this;
  Stomper->ShutdownBegan = [this] { return ShutdownBegan(); };
  FKoordinator = std::make_unique<TKoordinator>(Memo1);
  Koordinator = FKoordinator.get();
  FAimReader = std::make_unique<TAimReader>();
  Stomper->Aimed = [this](const std::string& Dark, const std::string& Points) {
    AimPhotosTaken(Dark, Points);
  };
  Stomper->ScanListed = [this](const std::string& Folder) { ScanListed(Folder); };
  Application->SetMessageHook(
      [this](TMsg& Msg, bool& Handled) { ApplicationEvents1Message(Msg, Handled); });
  FHookInstalled = true;
}

void TForm1::FormClose() {
  FClosing = true;
  if (Koordinator == FKoordinator.get()) Koordinator = nullptr;
  FKoordinator.reset();
  if (Form2 != nullptr) Form2->ReleaseMatGen();
}

bool TForm1::ShutdownBegan() const {
  return FClosing || (Application != nullptr && Application->Terminated());
}

void TForm1::SpeedButton1Click() {
  if (Koordinator->Connect(Handle())) {
    Koordinator->Log("Kamera " + Koordinator->CameraName + " připojena");
    Stomper->CameraSettings.LogSettings();
  } else
    Koordinator->Log("Kamera nepřipojena");
  // Why not, and what to do, where the camera's backend could find out.
  for (const std::string& line : TakeCameraProblems()) Koordinator->Log(line);
}

void TForm1::SpeedButton4Click() {
  Koordinator->Disconnect();
}

void TForm1::SpeedButton12Click() {
  TCameraSettingsDialog dialog(this);
  dialog.exec();
}

void TForm1::SpeedButton5Click() {
  Form2->show();
  // No repaint: showing a hidden window paints it anyway.
  MatGen->DrawAllPoints();
}

void TForm1::SpeedButton6Click() {
  Form2->hide();
}

void TForm1::SpeedButton7Click() {
  // The dialog applies its values itself.
  PointDef->ShowModal();
  if (RemembersChoices) RememberRaster();
}

void TForm1::SpeedButton8Click() {
  // With the projection window hidden there would be no window left to click.
  if (Form2 == nullptr || !Form2->isVisible()) {
    Koordinator->Log("Projekce není zobrazena, okno zůstává (nejdřív Zobrazit)");
    return;
  }
  hide();
}

void TForm1::SpeedButton9Click() {
  // Opens at the folder in use: "Použít" at once keeps it.
  Form3->DirectoryListBox1->SetDirectory(Koordinator->OutputDirectory);
  Form3->CheckBox1->setChecked(Koordinator->FolderPerScan);
  if (Form3->ShowModal() != 1) {
    Koordinator->Log("Cesta neuložena.");
    return;
  }
  Koordinator->OutputDirectory = Form3->DirectoryListBox1->Directory() + "/";
  Koordinator->FolderPerScan = Form3->CheckBox1->isChecked();
  Koordinator->Log("Zvolen adresář " + Koordinator->OutputDirectory +
                   (Koordinator->FolderPerScan ? ", každé snímání do nového podadresáře" : ""));
  if (RemembersChoices) RememberFolder();
}

void TForm1::SpeedButton2Click() {
  if (!CameraReady()) return;
  Stomper->SingleShot();
}

void TForm1::SpeedButton13Click() {
  // Pressed again while aiming (a photo that never comes with no time limit): it starts over.
  if (!CameraReady() || Stomper->Running) return;
  // The aim window goes too, until the new photos are read.
  ShowProjectionOnly();
  Stomper->StartAim();
}

void TForm1::AimPhotosTaken(const std::string& Dark, const std::string& Points) {
  if (MatGen == nullptr) return;
  if (FAimWindow == nullptr) {
    FAimWindow = new TAimWindow(this);
    FAimWindow->OnAgain = [this] { SpeedButton13Click(); };
  }
  const TCheckRaster raster{MatGen->OffsetX(),     MatGen->OffsetY(),   MatGen->RowCount(),
                            MatGen->ColumnCount(), MatGen->PointSize(), MatGen->Spacing()};
  FAimReader->Start(raster, Dark, Points, FAimWindow->PictureFit(), [this](TAimOutcome Outcome) {
    if (Koordinator == nullptr || ShutdownBegan()) return;
    Koordinator->Log(Outcome.Result ? Outcome.Result->Summary()
                                    : "Zaměření nebylo možné: " + Outcome.Error);
    // Not over the projection of a scan or of new aiming photos begun meanwhile.
    if (!Stomper->Busy()) FAimWindow->ShowOutcome(Outcome);
  });
}

void TForm1::SpeedButton10Click() {
  if (!CameraReady()) return;
  ShowProjectionOnly();
  Stomper->StartScan();
}

void TForm1::SpeedButton14Click() {
  if (FCalibrationWindow == nullptr) {
    FCalibrationWindow = new TCalibrationWindow(this);
    FCalibrationWindow->ScanInto = [this](const std::string& Folder) { return ScanView(Folder); };
    FCalibrationWindow->adjustSize();
    PlaceBesideParent(*FCalibrationWindow);
  }
  FCalibrationWindow->show();
  FCalibrationWindow->raise();
  FCalibrationWindow->activateWindow();
}

void TForm1::SpeedButton15Click() {
  if (FCheckWindow == nullptr) {
    FCheckWindow = new TCheckWindow(this);
    PlaceBesideParent(*FCheckWindow);
  }
  if (!FCheckFolder.empty()) FCheckWindow->ShowScan(FCheckFolder, FCheckLine);
  FCheckWindow->Follow();
  FCheckWindow->show();
  FCheckWindow->raise();
  FCheckWindow->activateWindow();
}

void TForm1::CheckGiven(const std::string& Folder, const std::string& Line) {
  FCheckFolder = Folder;
  FCheckLine = Line;
  if (FCheckWindow == nullptr || !FCheckWindow->Following()) return;
  FCheckWindow->ShowScan(Folder, Line);
  // Never over the projection: during a scan or aiming the window waits for the next verdict.
  if (!Stomper->Busy()) FCheckWindow->show();
}

bool TForm1::ScanView(const std::string& Folder) {
  if (!CameraReady()) return false;
  ShowProjectionOnly();
  FViewFolder = Folder;
  if (Stomper->StartScan(Folder)) return true;
  FViewFolder.clear();
  FCalibrationWindow->show();
  return false;
}

void TForm1::ScanListed(const std::string& Folder) {
  if (FCalibrationWindow == nullptr || Folder != FViewFolder) return;
  FViewFolder.clear();
  // Back beside the main window, where its line about this view will show.
  FCalibrationWindow->show();
  FCalibrationWindow->ViewScanned(Folder);
}

bool TForm1::CameraReady() {
  if (Koordinator->Connected) return true;
  Koordinator->Log(NoCameraText);
  return false;
}

void TForm1::SpeedButton11Click() {
  Application->Terminate();
}

void TForm1::ShowProjectionOnly() {
  Form2->show();
  // On a single screen each would cover the projection: the aim window, a
  // dialog, a tooltip, this window.
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window != Form2 && window->isVisible()) window->hide();
}

void TForm1::ApplicationEvents1Message(TMsg& Msg, bool& Handled) {
  Handled = false;
  const bool cameraMessage =
      Msg.message >= CameraPropertyMessage && Msg.message <= DownloadProgressMessage;
  if (!cameraMessage) return;
  // What the camera still sends while the program ends must not reach released objects.
  if (ShutdownBegan()) {
    Handled = true;
    return;
  }
  // Property messages still go on to the window; a scan notes the change first.
  // While a scan runs Step is the step whose photograph is awaited.
  if (Msg.message == CameraPropertyMessage && Stomper->Running)
    Stomper->SettingsMayHaveChanged(Stomper->Step - 1);
  if (Msg.message != CameraTransferMessage) return;
  // Handled before the step runs: a failure inside it must not let the message through.
  Handled = true;
  Stomper->TransferArrived(Msg);
}
