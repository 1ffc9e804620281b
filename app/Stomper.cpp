#include "app/Stomper.h"

#include <QWidget>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/CalibrationInForce.h"
#include "check/LiveCheck.h"
#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Sleep.h"
#include "session/Koordinator.h"

TStomper* Stomper = nullptr;

namespace {

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

// "7,1": microseconds as seconds with one decimal, as the log writes them.
std::string TenthsText(std::int64_t Microseconds) {
  const std::int64_t tenths = std::max<std::int64_t>(0, (Microseconds + 50000) / 100000);
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10);
}

void LogShot(TShot Shot) {
  // Without a shot no photograph comes; say so.
  if (Shot == TShot::Refused) Koordinator->Log("Spoušť selhala");
  // The photograph still comes; the camera's own controls may stay locked.
  if (Shot == TShot::TakenStillLocked) Koordinator->Log("Odemčení kamery selhalo");
}

// Why the projection cannot be photographed yet: the windows still on screen, or the
// projection not there.
std::string InTheWay(const TExposure& Exposure, const std::string& Projection) {
  const std::string within = " do " + SecondsText(TStomper::ProjectionTimeout) + " s";
  std::string why;
  if (!Exposure.Others.empty()) {
    std::string names;
    for (const std::string& title : Exposure.Others)
      names += (names.empty() ? "" : ", ") + (title.empty() ? "bez názvu" : "\"" + title + "\"");
    why = Exposure.Others.size() == 1
              ? "okno " + names + " nezmizelo z obrazovky" + within + ", snímky by ho ukázaly"
              : "okna " + names + " nezmizela z obrazovky" + within + ", snímky by je ukázaly";
  }
  if (!Exposure.Shown)
    why +=
        (why.empty() ? "" : "; ") + ("projekce \"" + Projection + "\" se" + within + " neukázala");
  return why;
}

}  // namespace

TStomper::TStomper() {
  FLink.Downloaded = [this](const TDownloaded& Done) { return PhotoDownloaded(Done); };
}

bool TStomper::ShuttingDown() const {
  if (ShutdownBegan) return ShutdownBegan();
  return Application != nullptr && Application->Terminated();
}

void TStomper::ShowMainWindow() {
  if (MainWindow != nullptr) MainWindow->show();
}

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
void TStomper::Project(TDraw Draw) {
  Draw();
  Form2->Image1->Repaint();
  // The painted pattern is on screen once the window system has taken it, not
  // when it was handed over: a camera photographing the screen must find it there.
  Application->SyncWithWindowSystem();
}

template <class TDraw>
void TStomper::ShootPattern(TDraw Draw) {
  const unsigned begun = ++FStepsBegun;
  Project(Draw);
  // The loop inside may have run the main window's close handler.
  if (Koordinator == nullptr || ShuttingDown()) return;
  // Or a step of its own, for a second photo on its way or a new scan start:
  // that step has shot in this one's place, and shooting again would take
  // another pattern under the next step's number. Or a stop, or a start that
  // waits for the screen: nothing may be shot before it is clear.
  if (FStepsBegun != begun || !Running) return;
  // The object keeps still from the first pattern on.
  if (Step == 0) FLink.HoldFromNow();
  if (!FLink.Settle(Delay) || !Running || FStepsBegun != begun) return;
  TShot shot = Koordinator->Shoot(FScan, ScanDirectory, Step);
  // A camera that takes no photo while one is owed: the owed ones first, then
  // the shutter once more, and each photo before the next pattern from now on.
  if (shot == TShot::Refused && !Koordinator->Downloads.Empty()) {
    Koordinator->Log("Kamera nespustí, dokud má snímek ke stažení: stahuje se před každým vzorem");
    FLink.Serial();
    if (!FLink.Drain() || !Running) return;
    shot = Koordinator->Shoot(FScan, ScanDirectory, Step);
  }
  Koordinator->Log("step_" + std::to_string(Step));
  LogShot(shot);
  AdvanceStep();
  // No photograph comes for a refused shutter: waiting for it would only hold the screen.
  if (shot == TShot::Refused) {
    StopScan();
    return;
  }
  if (PhotoTimeout > 0) FPhotoTimer.Start(PhotoTimeout);
  // While the camera makes its photo the link is free.
  if (Running && !Koordinator->OwedPhotos.empty())
    FLink.CameraAtWork(Koordinator->OwedPhotos.back().ShotAtUs);
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
  FPhotoTimer.Stop();
  // The last photo is taken: the object may move while the rest come down.
  HoldStill = FLink.HeldFor();
  MatGen->FillField(0);
  Form2->Image1->Repaint();
  Koordinator->Log("Předmět se smí pohnout: " + TenthsText(HoldStill) + " s nehybnosti");
  if (Check) Check->HoldStill(double(HoldStill) / 1e6);
  SettingsMayHaveChanged(FinalStep - 1);
  Koordinator->Log("Snímání ukončeno ...");
  const std::int64_t ended = Koordinator->Downloads.Clock();
  const unsigned scan = FScan;
  const bool drained = FLink.Drain([&](const TOwedDownload& Next) {
    // Between photos the windows repaint and the operator's clicks are seen.
    Application->ProcessMessages();
    if (Koordinator == nullptr || ShuttingDown() || !Running || FScan != scan) return false;
    if (Next.Scan == scan)
      Koordinator->Log("Stahování " + std::to_string(Next.Step + 1) + "/" +
                       std::to_string(FinalStep));
    return true;
  });
  if (!drained || Koordinator == nullptr || !Running || FScan != scan) return;
  Running = false;
  // The index follows "Snímání ukončeno ..." by twice the settle wait, downloads or not.
  const std::int64_t left = ended + 2 * std::int64_t(Delay) * 1000 - Koordinator->Downloads.Clock();
  Sleep(std::uint32_t(std::max<std::int64_t>(0, (left + 999) / 1000)));
  // A failure here goes to the error box; the main window then stays hidden.
  const std::string folder = ScanDirectory.empty() ? Koordinator->OutputDirectory : ScanDirectory;
  Koordinator->WriteScanIndex(folder);
  if (Check) Check->IndexWritten(folder);
  ShowMainWindow();
  if (ScanListed) ScanListed(folder);
}

void TStomper::StopScan(bool DownloadFailed) {
  FPhotoTimer.Stop();
  // The link is not asked again after a failed download: a stream broken off
  // could hand later photos over out of step.
  FStopping = true;
  if (DownloadFailed)
    Koordinator->LeaveOwedOnCamera();
  else
    FLink.Drain();
  FStopping = false;
  Running = false;
  Koordinator->CapturedFiles.clear();
  Koordinator->UnlockFolder();
  Koordinator->Log("Snímání zastaveno, seznam snímků nezapsán");
  if (!ScanDirectory.empty() && ScanDirectory != Koordinator->OutputDirectory)
    Koordinator->Log("Snímky zastaveného snímání zůstávají v " + ScanDirectory);
  ShowMainWindow();
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

void TStomper::AwaitProjection(const std::string& Refusal, std::function<void()> Begin) {
  FProjection.Start(Form2, ProjectionTimeout, [this, Refusal, Begin](const TExposure& Exposure) {
    // The wait ran the loop: the program may have begun to end meanwhile.
    if (Koordinator == nullptr || MatGen == nullptr || Form2 == nullptr || ShuttingDown()) return;
    if (Exposure.Alone()) {
      Begin();
      return;
    }
    Koordinator->Log(Refusal + InTheWay(Exposure, Form2->Caption()));
    ShowMainWindow();
  });
}

bool TStomper::StartScan(const std::string& Into) {
  if (Koordinator == nullptr || !Koordinator->Connected || Form2 == nullptr) return false;
  if (!CameraSettings.ScanMayStart()) {
    ShowMainWindow();
    return false;
  }
  // A scan or aiming under way ends here: none of its photos is listed or shot any more.
  if (Running) Koordinator->CapturedFiles.clear();
  Running = false;
  FAimStep = 0;
  FPhotoTimer.Stop();
  FInto = Into;
  AwaitProjection("Snímání nezačalo: ", [this] { BeginScan(); });
  return true;
}

void TStomper::BeginScan() {
  ScanDirectory = FInto.empty() ? Koordinator->OutputDirectory : FInto;
  if (FInto.empty() && Koordinator->FolderPerScan) {
    std::string error;
    ScanDirectory = Koordinator->MakeScanFolder(error);
    if (ScanDirectory.empty()) {
      ScanDirectory = Koordinator->OutputDirectory;
      // No "Snímání začalo": nothing was shot.
      Koordinator->Log("Snímání nezačalo: " + error);
      ShowMainWindow();
      return;
    }
  }
  // Another station's scan into the same folder would replace this one's index.
  if (std::string error; !Koordinator->LockFolder(ScanDirectory, error)) {
    Koordinator->Log("Snímání nezačalo: " + error);
    ShowMainWindow();
    return;
  }
  Koordinator->Log("Snímání začalo ...");
  Koordinator->Log("Ustálení vzoru " + std::to_string(Delay) + " ms");
  if (ScanDirectory != Koordinator->OutputDirectory) Koordinator->Log("Snímky do " + ScanDirectory);
  // A photograph overdue by more than the limit is not expected any more:
  // a swallowed shot would otherwise take every later scan's first photograph.
  Koordinator->WriteOffOwedPhotos(PhotoTimeout > 0 ? PhotoTimeout : DefaultPhotoTimeout);
  ++FScan;
  ResetSteps();
  Koordinator->CapturedFiles.clear();
  FLink.StartScan(DownloadsInGaps);
  Running = true;
  // A calibration put in force since the last scan counts from this one on.
  if (Check) Check->SetCalibration(CheckCalibrationInForce());
  if (Check && MatGen)
    Check->ScanStarted({MatGen->OffsetX(), MatGen->OffsetY(), MatGen->RowCount(),
                        MatGen->ColumnCount(), MatGen->PointSize(), MatGen->Spacing()},
                       CameraSettings.Summary());
  RunStep();
}

template <class TDraw>
void TStomper::ShootAimPattern(TDraw Draw) {
  Project(Draw);
  // The loop inside may have run the close handler, or a scan start that ended the aiming.
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
  if (Koordinator == nullptr || !Koordinator->Connected || Running || MatGen == nullptr ||
      Form2 == nullptr)
    return;
  // Started over: the earlier aiming's photos go nowhere.
  FAimStep = 0;
  FPhotoTimer.Stop();
  AwaitProjection("Zaměření nezačalo: ", [this] { BeginAim(); });
}

void TStomper::BeginAim() {
  Koordinator->Log("Zaměřování ...");
  Koordinator->WriteOffOwedPhotos(PhotoTimeout > 0 ? PhotoTimeout : DefaultPhotoTimeout);
  // A number of its own: no scan lists these photos, and an ended aiming's late ones go nowhere.
  FAimScan = ++FScan;
  FAimStep = 1;
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
  ShowMainWindow();
  if (Aimed) Aimed(FAimDark, Path);
}

void TStomper::EndAim(const std::string& Why) {
  FAimStep = 0;
  FPhotoTimer.Stop();
  Koordinator->Log(Why.empty() ? "Zaměření zastaveno" : "Zaměření zastaveno: " + Why);
  ShowMainWindow();
}

void TStomper::SingleShot() {
  if (Koordinator == nullptr || !Koordinator->Connected) return;
  Sleep(500);
  LogShot(Koordinator->Shoot());
}
