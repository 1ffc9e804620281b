#include "app/Ovl_1.h"

#include <QCheckBox>
#include <optional>
#include <string>

#include "app/AimWindow.h"
#include "app/CameraSettingsDialog.h"
#include "app/ChoiceMemory.h"
#include "check/LiveCheck.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Sleep.h"
#include "sdk/CameraProblems.h"
#include "session/Koordinator.h"

TForm1* Form1 = nullptr;
TStomper* Stomper = nullptr;

namespace {

// Until a main window exists nothing has begun to end.
bool ShuttingDown() {
  if (Form1 != nullptr) return Form1->ShutdownBegan();
  return Application != nullptr && Application->Terminated();
}

// "30" or "0,5": seconds as the log writes them.
std::string SecondsText(std::uint32_t Milliseconds) {
  std::string text = std::to_string(Milliseconds / 1000);
  if (const std::uint32_t rest = Milliseconds % 1000) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "," + fraction;
  }
  return text;
}

void LogShot(TShot Shot) {
  // Without a shot no photograph comes; say so.
  if (Shot == TShot::Refused) Koordinator->Log("Spoušť selhala");
  // The photograph still comes; the camera's own controls may stay locked.
  if (Shot == TShot::TakenStillLocked) Koordinator->Log("Odemčení kamery selhalo");
}

}  // namespace

void TStomper::ResetSteps() {
  Step = 0;
}

std::int32_t TStomper::AdvanceStep() {
  return ++Step;
}

void TStomper::RunStep() {
  // After shutdown began the coordinator and the generator may be gone.
  if (Koordinator == nullptr || MatGen == nullptr || ShuttingDown()) return;
  switch (Step) {
    case 0:
      ShootDarkField();
      break;
    case 1:
      ShootLitField();
      break;
    case 2:
      ShootAllPoints();
      break;
    case 3:
      ShootFirstBitPlane();
      break;
    case FinalStep:
      FinishScan();
      break;
    default:
      if (Step >= 4 && Step < FinalStep) ShootNextBitPlane();
      break;
  }
}

template <class TDraw>
void TStomper::ShootPattern(TDraw Draw) {
  const unsigned begun = ++FStepsBegun;
  Draw();
  Form2->Image1->Repaint();
  Application->ProcessMessages();
  // The loop above may have run the main window's close handler.
  if (Koordinator == nullptr || ShuttingDown()) return;
  // Or a step of its own, for a second photo on its way or a new scan start:
  // that step has shot in this one's place, and shooting again would take
  // another pattern under the next step's number.
  if (FStepsBegun != begun) return;
  Sleep(std::uint32_t(Delay));
  const TShot shot = Koordinator->Shoot(FScan, ScanDirectory);
  Koordinator->Log("step_" + std::to_string(Step));
  LogShot(shot);
  AdvanceStep();
  // Also after a refused shutter: the scan must not wait for ever for a photograph.
  if (Running && PhotoTimeout > 0) FPhotoTimer.Start(PhotoTimeout);
}

void TStomper::ShootDarkField() {
  ShootPattern([] { MatGen->FillField(0); });
}

void TStomper::ShootLitField() {
  ShootPattern([] { MatGen->FillField(1); });
}

void TStomper::ShootAllPoints() {
  ShootPattern([] { MatGen->DrawAllPoints(); });
}

void TStomper::ShootFirstBitPlane() {
  ShootPattern([] {
    MatGen->ResetPlanes();
    MatGen->NextPlane();
  });
}

void TStomper::ShootNextBitPlane() {
  ShootPattern([] { MatGen->NextPlane(); });
}

void TStomper::SettingsMayHaveChanged(int LastStep) {
  // The check's report keeps them too: a change explains points lost after it.
  for (const std::string& change : CameraSettings.CheckDuringScan(LastStep))
    if (Check) Check->SettingChanged(change);
}

void TStomper::FinishScan() {
  Running = false;
  FPhotoTimer.Stop();
  SettingsMayHaveChanged(FinalStep - 1);
  Koordinator->Log("Snímání ukončeno ...");
  Sleep(std::uint32_t(2 * Delay));
  // A failure here goes to the error box; the main window then stays hidden.
  const std::string folder = ScanDirectory.empty() ? Koordinator->OutputDirectory : ScanDirectory;
  Koordinator->WriteScanIndex(folder);
  FinishedFolder = folder;
  if (Check) Check->IndexWritten(folder);
  Form1->show();
}

void TStomper::StopScan() {
  Running = false;
  FPhotoTimer.Stop();
  Koordinator->CapturedFiles.clear();
  Koordinator->UnlockFolder();
  Koordinator->Log("Snímání zastaveno, seznam snímků nezapsán");
  if (!ScanDirectory.empty() && ScanDirectory != Koordinator->OutputDirectory)
    Koordinator->Log("Snímky zastaveného snímání zůstávají v " + ScanDirectory);
  if (Form1 != nullptr) Form1->show();
}

void TStomper::PhotoTimedOut() {
  if (Koordinator == nullptr || ShuttingDown()) return;
  if (Aiming()) {
    EndAim("snímek nepřišel do " + SecondsText(PhotoTimeout) + " s");
    return;
  }
  if (!Running) return;
  Koordinator->Log("Snímek ke step_" + std::to_string(Step - 1) + " nepřišel do " +
                 SecondsText(PhotoTimeout) + " s");
  StopScan();
}

void TStomper::StartScan() {
  if (Koordinator == nullptr || !Koordinator->Connected) return;
  if (!CameraSettings.ScanMayStart()) {
    if (Form1 != nullptr) Form1->show();
    return;
  }
  ScanDirectory = Koordinator->OutputDirectory;
  if (Koordinator->FolderPerScan) {
    std::string error;
    ScanDirectory = Koordinator->MakeScanFolder(error);
    if (ScanDirectory.empty()) {
      ScanDirectory = Koordinator->OutputDirectory;
      // No "Snímání začalo": nothing was shot.
      Koordinator->Log("Snímání nezačalo: " + error);
      if (Form1 != nullptr) Form1->show();
      return;
    }
  }
  // Another station's scan into the same folder would replace this one's index.
  if (std::string error; !Koordinator->LockFolder(ScanDirectory, error)) {
    Koordinator->Log("Snímání nezačalo: " + error);
    if (Form1 != nullptr) Form1->show();
    return;
  }
  Koordinator->Log("Snímání začalo ...");
  if (ScanDirectory != Koordinator->OutputDirectory) Koordinator->Log("Snímky do " + ScanDirectory);
  // A photograph overdue by more than the limit is not expected any more:
  // a swallowed shot would otherwise take every later scan's first photograph.
  Koordinator->WriteOffOwedPhotos(PhotoTimeout > 0 ? PhotoTimeout : DefaultPhotoTimeout);
  ++FScan;
  // Photos still owed to an aiming are saved but go nowhere.
  FAimStep = 0;
  FPhotoTimer.Stop();
  ResetSteps();
  Koordinator->CapturedFiles.clear();
  Running = true;
  if (Check && MatGen)
    Check->ScanStarted({MatGen->OffsetX(), MatGen->OffsetY(), MatGen->RowCount(),
                        MatGen->ColumnCount(), MatGen->PointSize(), MatGen->Spacing()},
                       CameraSettings.Summary());
  RunStep();
}

template <class TDraw>
void TStomper::ShootAimPattern(TDraw Draw) {
  Draw();
  Form2->Image1->Repaint();
  Application->ProcessMessages();
  // The loop above may have run the close handler, or a scan start that ended the aiming.
  if (Koordinator == nullptr || ShuttingDown() || !Aiming()) return;
  Sleep(std::uint32_t(Delay));
  const TShot shot = Koordinator->Shoot(FAimScan, Koordinator->OutputDirectory);
  LogShot(shot);
  if (shot == TShot::Refused) {
    EndAim({});
    return;
  }
  if (PhotoTimeout > 0) FPhotoTimer.Start(PhotoTimeout);
}

void TStomper::StartAim() {
  if (Koordinator == nullptr || !Koordinator->Connected || Running || MatGen == nullptr) return;
  Koordinator->Log("Zaměřování ...");
  Koordinator->WriteOffOwedPhotos(PhotoTimeout > 0 ? PhotoTimeout : DefaultPhotoTimeout);
  // A number of its own: no scan lists these photos, and an ended aiming's late ones go nowhere.
  FAimScan = ++FScan;
  FAimStep = 1;
  FPhotoTimer.Stop();
  ShootAimPattern([] { MatGen->FillField(0); });
}

void TStomper::AimPhotoArrived(const std::string& Path) {
  FPhotoTimer.Stop();
  if (FAimStep == 1) {
    FAimDark = Path;
    FAimStep = 2;
    ShootAimPattern([] { MatGen->DrawAllPoints(); });
    return;
  }
  FAimStep = 0;
  // The points stay on the projector while the operator moves the camera.
  if (Form1 != nullptr) Form1->show();
  if (Aimed) Aimed(FAimDark, Path);
}

void TStomper::EndAim(const std::string& Why) {
  FAimStep = 0;
  FPhotoTimer.Stop();
  Koordinator->Log(Why.empty() ? "Zaměření zastaveno" : "Zaměření zastaveno: " + Why);
  if (Form1 != nullptr) Form1->show();
}

void TStomper::SingleShot() {
  if (Koordinator == nullptr || !Koordinator->Connected) return;
  Sleep(500);
  LogShot(Koordinator->Shoot());
}

void TStomper::TransferArrived(const TMsg& Msg) {
  if (Koordinator == nullptr) return;
  const TTransfer transfer = Koordinator->SaveTransferredImage(Msg);
  if (transfer == TTransfer::Stale) {
    Koordinator->Log("Snímek z odpojené kamery zahozen");
    return;
  }
  // Photographs come in the order of their shots: this is the oldest owed one.
  std::optional<TOwedPhoto> owed;
  if (!Koordinator->OwedPhotos.empty()) {
    owed = Koordinator->OwedPhotos.front();
    Koordinator->OwedPhotos.pop_front();
  }
  const bool scanPhoto = Running && owed && owed->Scan == FScan;
  const bool aimPhoto = !Running && Aiming() && owed && owed->Scan == FAimScan;
  // Line N of the index is pattern N: nothing else may join a scan's list.
  const bool listed = scanPhoto || (!Running && (!owed || owed->Scan == 0));
  if (transfer == TTransfer::Failed) {
    Koordinator->Log("Snímek se nepodařilo uložit");
    // Without this step's photograph every later line would name the wrong pattern.
    if (scanPhoto) StopScan();
    if (aimPhoto) EndAim("snímek se nepodařilo uložit");
    return;
  }
  if (listed) Koordinator->AddCapturedFile(Koordinator->LastSavedFile);
  // While waiting for photograph n, Step is n.
  if (Check && scanPhoto)
    Check->PhotoSaved(Step - 1, Koordinator->LastSavedDirectory + Koordinator->LastSavedFile);
  // Which file, and where: with folders per scan the name alone would not say.
  Koordinator->Log(transfer == TTransfer::Saved
                     ? "snímek uložen: " + Koordinator->LastSavedDirectory + Koordinator->LastSavedFile
                     : "Snímek uložen, kamera si může ponechat kopii");
  if (aimPhoto) {
    AimPhotoArrived(Koordinator->LastSavedDirectory + Koordinator->LastSavedFile);
    return;
  }
  if (!listed) Koordinator->Log("Snímek do snímání nepatří, není v seznamu");
  if (!scanPhoto) return;
  FPhotoTimer.Stop();
  RunStep();
}

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

  SpeedButton11 = AddButton(this, "SpeedButton11", "Konec", QRect(8, 440, 377, 25),
                            &TForm1::SpeedButton11Click);
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
  FKoordinator = std::make_unique<TKoordinator>(Memo1);
  Koordinator = FKoordinator.get();
  FAimReader = std::make_unique<TAimReader>();
  Stomper->Aimed = [this](const std::string& Dark, const std::string& Points) {
    AimPhotosTaken(Dark, Points);
  };
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
  const TCheckRaster raster{MatGen->OffsetX(),    MatGen->OffsetY(),   MatGen->RowCount(),
                            MatGen->ColumnCount(), MatGen->PointSize(), MatGen->Spacing()};
  FAimReader->Start(raster, Dark, Points, FAimWindow->PictureFit(), [this](TAimOutcome Outcome) {
    if (Koordinator == nullptr || ShutdownBegan()) return;
    Koordinator->Log(Outcome.Result ? Outcome.Result->Summary()
                                  : "Zaměření nebylo možné: " + Outcome.Error);
    // Not over the projection of a scan or of new aiming photos begun meanwhile.
    if (!Stomper->Running && !Stomper->Aiming()) FAimWindow->ShowOutcome(Outcome);
  });
}

void TForm1::SpeedButton10Click() {
  if (!CameraReady()) return;
  ShowProjectionOnly();
  Stomper->StartScan();
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
  hide();
  // On a single screen it would cover the projection.
  if (FAimWindow != nullptr) FAimWindow->hide();
  Form3->hide();
  PointDef->hide();
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
