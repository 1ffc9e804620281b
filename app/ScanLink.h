#pragma once

#include <cstdint>
#include <functional>

#include "session/DownloadQueue.h"

// The camera link's time during a scan: the photos the camera has taken go
// down while the next pattern settles and while the camera makes its next
// photo, never holding up a shutter that is due; what is left goes after the
// last exposure. In the serial order each photo is on disk before the next
// pattern instead. Works on the coordinator's owed downloads.
class TScanLink {
 public:
  // Told of each photo downloaded; false when that ended the work (a failed
  // download stopped the scan).
  std::function<bool(const TDownloaded& Done)> Downloaded;

  // The downloads fill the waits of the scan starting now, or (false) each
  // photo goes down before the next pattern.
  void StartScan(bool InGaps);
  // The serial order from now on, for a camera that takes no photo while one is owed.
  void Serial() { FInGaps = false; }
  bool InGaps() const { return FInGaps; }
  // The object must keep still from now on: the scan's first pattern is on screen.
  void HoldFromNow();
  // Microseconds since HoldFromNow.
  std::int64_t HeldFor() const;

  // The wait of Milliseconds between a pattern on screen and its shutter,
  // with downloads in it that are expected to end in time. False when the
  // work ended.
  bool Settle(std::int32_t Milliseconds);
  // Right after a shutter fired at ShotAt (the download clock's
  // microseconds): downloads while the camera makes its photo, for as long
  // as it took the shots before.
  void CameraAtWork(std::int64_t ShotAt);
  // Every owed photograph, oldest first; Before runs ahead of each and may end
  // the work (false). False when the work ended.
  bool Drain(const std::function<bool(const TOwedDownload& Next)>& Before = {});

 private:
  bool Until(std::int64_t Deadline, bool AtWork);

  bool FInGaps = true;
  std::int64_t FHoldStart = 0;
};
