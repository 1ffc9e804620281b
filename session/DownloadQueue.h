#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "camera/appmaster.h"

// What became of a transfer message.
enum class TTransfer {
  // From a camera session that has ended: dropped without any SDK call.
  Stale,
  Failed,
  Saved,
  // Saved whole, but the camera did not take the download as done and may keep its copy.
  SavedCameraMayKeepCopy,
};

// The camera link's speed as measured on the photos' pieces, and how much of
// a photo fits in the time left before the link is needed for something else.
class TLinkRate {
 public:
  // Bytes that took Microseconds to arrive.
  void Measured(std::uint64_t Bytes, std::int64_t Microseconds);
  bool Known() const { return FBytes > 0; }
  // Expected microseconds for Bytes; 0 while unknown.
  std::int64_t TimeFor(std::uint64_t Bytes) const;
  // How many of Remaining bytes to ask for with TimeLeft microseconds to go:
  // all of them when they are expected to end in time, else the most that do
  // in whole 512-byte blocks, never fewer than MinPiece; 0 when nothing fits.
  // While the speed is unknown, a first piece of ProbeBytes when there is time.
  std::uint64_t PieceFor(std::uint64_t Remaining, std::int64_t TimeLeft) const;

  static constexpr std::uint64_t MinPiece = 64 * 1024;
  static constexpr std::uint64_t ProbeBytes = 128 * 1024;

 private:
  // Sums that halve at each measurement: the newest pieces count most.
  double FBytes = 0;
  double FMicroseconds = 0;
};

// A photograph the camera has taken and the host has not yet saved.
struct TOwedDownload {
  TItemDownload Download;
  // The scan that shot it (0: a single shot) and its step (-1: none).
  unsigned Scan = 0;
  int Step = -1;
  // Where it goes, ends in "/".
  std::string Directory;
};

// What became of one owed photograph.
struct TDownloaded {
  // Saved, SavedCameraMayKeepCopy or Failed.
  TTransfer Transfer = TTransfer::Failed;
  EdsError Error = EdsResult_Ok;
  // Download.Name and Path say the file it became.
  TOwedDownload Photo;
};

// The photographs taken and owed a download, oldest first: each goes whole or
// in pieces into its own directory, in the order of the shots, whenever the
// link has time for it.
class TDownloadQueue {
 public:
  // Microseconds on a monotonic clock, for the deadlines and the link's speed.
  std::function<std::int64_t()> Clock;

  TDownloadQueue();

  // Reads the record of Item, a photograph the camera has taken, and owes it a
  // download into Directory (ends in "/"); releases Item when the record
  // cannot be read or names no plain file, and gives that result.
  EdsError Take(TAppMaster& Camera, EdsDirectoryItemRef Item, unsigned Scan, int Step,
                const std::string& Directory);
  bool Empty() const { return FPhotos.empty(); }
  const std::deque<TOwedDownload>& Photos() const { return FPhotos; }

  // Works on the oldest owed photograph for as long as each next piece is
  // expected to end by Deadline (Clock's microseconds). Gives the photograph
  // once it is finished, saved or failed; none when nothing more fits in the
  // time or none is owed. A failed one leaves no file and stays on the
  // camera. While the camera is at work on a shot (CameraAtWork), a busy
  // answer that wrote nothing is no failure: the photograph stays owed and
  // CameraBusyAtWork is set.
  std::optional<TDownloaded> DownloadWithin(TAppMaster& Camera, std::int64_t Deadline,
                                            bool CameraAtWork = false);
  // The oldest owed photograph, whole, however long it takes.
  std::optional<TDownloaded> DownloadNext(TAppMaster& Camera);
  // Gives up every owed photograph: the unfinished files go, the camera keeps
  // them (released through Camera when given; without one their session is
  // over and no SDK call may see them). Their camera names, oldest first.
  std::vector<std::string> Abandon(TAppMaster* Camera);

  // The photograph of a shot fired at ShotAt (Clock's microseconds) is
  // announced now. A piece asked for since may have held the announcement up:
  // that shot does not count for CameraTime.
  void ShotAnnounced(std::int64_t ShotAt);
  // The camera's own time from its shutter to its photograph's announcement,
  // the least of the last few shots, in microseconds; 0 before any.
  std::int64_t CameraTime() const;
  // Another camera session: its link is measured anew.
  void NewLink();

  TLinkRate Rate;
  // The camera answered that it cannot send a photograph in pieces: whole ones only.
  bool WholeOnly = false;
  // The camera answered busy while at work on a shot: nothing is asked of it then.
  bool CameraBusyAtWork = false;

 private:
  TDownloaded Finish(TAppMaster& Camera, TTransfer Transfer, EdsError Error);

  std::deque<TOwedDownload> FPhotos;
  std::deque<std::int64_t> FCameraTimes;
  // When the last piece asked for while the camera was at work ended.
  std::int64_t FAtWorkEnded = 0;
};
