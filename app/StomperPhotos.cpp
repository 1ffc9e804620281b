// The scan sequencer's side of the photographs: taken by the camera, then downloaded.
#include <optional>
#include <string>

#include "app/Stomper.h"
#include "check/LiveCheck.h"
#include "session/Koordinator.h"

void TStomper::TransferArrived(const TMsg& Msg) {
  if (Koordinator == nullptr) return;
  std::optional<TOwedPhoto> shot;
  const TTaken taken = Koordinator->PhotoTaken(Msg, shot);
  if (taken == TTaken::Stale) {
    Koordinator->Log("Snímek z odpojené kamery zahozen");
    return;
  }
  const bool scanPhoto = Running && shot && shot->Scan == FScan;
  if (taken == TTaken::Unreadable) {
    Koordinator->Log("Snímek se nepodařilo uložit");
    Koordinator->Log("Snímek zůstává v kameře");
    // Without this step's photograph every later line would name the wrong pattern.
    if (scanPhoto) StopScan();
    if (!Running && Aiming() && shot && shot->Scan == FAimScan)
      EndAim("snímek se nepodařilo uložit");
    return;
  }
  if (scanPhoto) {
    FPhotoTimer.Stop();
    // The serial order: this photograph is on disk before the next pattern.
    if (!FLink.InGaps() && (!FLink.Drain() || !Running)) return;
    RunStep();
    return;
  }
  // During a scan it waits for a gap with the scan's own.
  if (!Running) FLink.Drain();
}

bool TStomper::PhotoDownloaded(const TDownloaded& Done) {
  if (Koordinator == nullptr) return false;
  const TOwedDownload& photo = Done.Photo;
  const bool scanPhoto = Running && photo.Scan == FScan;
  const bool aimPhoto = !Running && Aiming() && photo.Scan == FAimScan;
  // Line N of the index is pattern N: nothing else may join a scan's list.
  const bool listed = scanPhoto || (!Running && photo.Scan == 0);
  if (Done.Transfer == TTransfer::Failed) {
    Koordinator->Log("Snímek se nepodařilo uložit");
    Koordinator->Log("Snímek " + photo.Download.CameraName + " zůstává v kameře");
    // Without this step's photograph every later line would name the wrong pattern.
    if (scanPhoto && FStopping) Koordinator->LeaveOwedOnCamera();
    if (scanPhoto && !FStopping) StopScan(true);
    if (aimPhoto) EndAim("snímek se nepodařilo uložit");
    return !scanPhoto;
  }
  const std::string path = photo.Directory + photo.Download.Name;
  if (listed) Koordinator->AddCapturedFile(photo.Download.Name);
  if (Check && scanPhoto) Check->PhotoSaved(photo.Step, path);
  // Which file, and where: with folders per scan the name alone would not say.
  Koordinator->Log(Done.Transfer == TTransfer::Saved
                       ? "snímek uložen: " + path
                       : "Snímek uložen, kamera si může ponechat kopii");
  if (aimPhoto) {
    AimPhotoArrived(path);
    return true;
  }
  if (!listed) Koordinator->Log("Snímek do snímání nepatří, není v seznamu");
  return true;
}
