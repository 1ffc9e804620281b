#include "session/DownloadQueue.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include "platform/Timer.h"

namespace {

// A piece is asked for only when it is expected to end this much before the
// deadline: the estimate's error, and the time to turn to the next task.
constexpr double DeadlineShare = 0.9;
constexpr std::int64_t DeadlineMarginUs = 3000;
// Unknown speed: a probe only with at least this much time.
constexpr std::int64_t ProbeTimeUs = 50000;
constexpr std::uint64_t Block = 512;

bool FileHolds(const std::string& Path, std::uint64_t Bytes) {
  std::error_code error;
  const auto size = std::filesystem::file_size(Path, error);
  return !error && size == Bytes;
}

}  // namespace

void TLinkRate::Measured(std::uint64_t Bytes, std::int64_t Microseconds) {
  FBytes = FBytes / 2 + double(Bytes);
  FMicroseconds = FMicroseconds / 2 + double(std::max<std::int64_t>(Microseconds, 0));
}

std::int64_t TLinkRate::TimeFor(std::uint64_t Bytes) const {
  if (!Known()) return 0;
  return std::int64_t(double(Bytes) * FMicroseconds / FBytes);
}

std::uint64_t TLinkRate::PieceFor(std::uint64_t Remaining, std::int64_t TimeLeft) const {
  if (Remaining == 0 || TimeLeft <= 0) return 0;
  if (!Known()) return TimeLeft >= ProbeTimeUs ? std::min(Remaining, ProbeBytes) : 0;
  const double usable = double(TimeLeft) * DeadlineShare - double(DeadlineMarginUs);
  if (usable <= 0) return 0;
  if (double(TimeFor(Remaining)) <= usable) return Remaining;
  const auto fits = std::uint64_t(usable * FBytes / FMicroseconds) / Block * Block;
  return fits >= MinPiece ? std::min(fits, Remaining) : 0;
}

TDownloadQueue::TDownloadQueue() : Clock(MonotonicMicroseconds) {}

EdsError TDownloadQueue::Take(TAppMaster& Camera, EdsDirectoryItemRef Item, unsigned Scan, int Step,
                              const std::string& Directory) {
  TOwedDownload photo;
  if (const EdsError error = Camera.ReadItem(Item, photo.Download)) {
    EdsRelease(Item);
    return error;
  }
  photo.Scan = Scan;
  photo.Step = Step;
  photo.Directory = Directory;
  FPhotos.push_back(std::move(photo));
  return EdsResult_Ok;
}

void TDownloadQueue::ShotAnnounced(std::int64_t ShotAt) {
  constexpr std::size_t ShotsMeasured = 5;
  // The announcement may have waited for a piece asked for while the camera was at work.
  if (FAtWorkEnded > ShotAt) return;
  FCameraTimes.push_back(Clock() - ShotAt);
  if (FCameraTimes.size() > ShotsMeasured) FCameraTimes.pop_front();
}

std::int64_t TDownloadQueue::CameraTime() const {
  if (FCameraTimes.empty()) return 0;
  return *std::min_element(FCameraTimes.begin(), FCameraTimes.end());
}

void TDownloadQueue::NewLink() {
  Rate = {};
  FAtWorkEnded = 0;
  WholeOnly = false;
  CameraBusyAtWork = false;
  FCameraTimes.clear();
}

std::optional<TDownloaded> TDownloadQueue::DownloadWithin(TAppMaster& Camera, std::int64_t Deadline,
                                                          bool CameraAtWork) {
  if (FPhotos.empty()) return std::nullopt;
  TOwedDownload& photo = FPhotos.front();
  TItemDownload& download = photo.Download;
  // A photograph of unknown size is asked for as it is (the camera decides).
  bool unsized = download.Size == 0;
  while (download.Done < download.Size || unsized) {
    const std::uint64_t remaining = download.Size - download.Done;
    std::uint64_t piece = Rate.PieceFor(remaining, Deadline - Clock());
    if (WholeOnly && piece < remaining) piece = 0;
    if (piece == 0 && !(unsized && Deadline > Clock())) return std::nullopt;
    // The file is made when its first piece comes.
    if (download.Stream == nullptr) {
      if (const EdsError error = Camera.CreateFile(download, photo.Directory))
        return Finish(Camera, TTransfer::Failed, error);
    }
    const std::int64_t begun = Clock();
    const EdsError result = Camera.DownloadPiece(download, EdsUInt32(piece));
    unsized = false;
    if (CameraAtWork) FAtWorkEnded = Clock();
    if (result == EdsResult_Ok) {
      Rate.Measured(piece, Clock() - begun);
      continue;
    }
    // Busy while it makes a photo, and nothing written: asked again after the
    // photo. A piece broken off would leave the file out of step.
    if (CameraAtWork && result == EdsResult_DeviceBusy && FileHolds(download.Path, download.Done)) {
      CameraBusyAtWork = true;
      return std::nullopt;
    }
    if (result == EdsResult_NotSupported && piece < remaining && !WholeOnly) {
      WholeOnly = true;
      continue;
    }
    return Finish(Camera, TTransfer::Failed, result);
  }
  const EdsError complete = Camera.CompleteDownload(download);
  return Finish(Camera,
                complete == EdsResult_Ok ? TTransfer::Saved : TTransfer::SavedCameraMayKeepCopy,
                EdsResult_Ok);
}

std::optional<TDownloaded> TDownloadQueue::DownloadNext(TAppMaster& Camera) {
  constexpr std::int64_t Never = std::numeric_limits<std::int64_t>::max() / 2;
  return DownloadWithin(Camera, Never);
}

std::vector<std::string> TDownloadQueue::Abandon(TAppMaster* Camera) {
  std::vector<std::string> names;
  for (TOwedDownload& photo : FPhotos) {
    names.push_back(photo.Download.CameraName);
    if (Camera != nullptr) Camera->AbandonDownload(photo.Download);
  }
  FPhotos.clear();
  return names;
}

TDownloaded TDownloadQueue::Finish(TAppMaster& Camera, TTransfer Transfer, EdsError Error) {
  TDownloaded done{Transfer, Error, std::move(FPhotos.front())};
  FPhotos.pop_front();
  if (Transfer == TTransfer::Failed) Camera.AbandonDownload(done.Photo.Download);
  return done;
}
