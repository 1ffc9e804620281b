#include "app/ScanLink.h"

#include <algorithm>

#include "platform/Sleep.h"
#include "session/Koordinator.h"

namespace {

std::int64_t Now() {
  return Koordinator->Downloads.Clock();
}

}  // namespace

void TScanLink::StartScan(bool InGaps) {
  FInGaps = InGaps;
  FHoldStart = Now();
}

void TScanLink::HoldFromNow() {
  FHoldStart = Now();
}

std::int64_t TScanLink::HeldFor() const {
  return Now() - FHoldStart;
}

bool TScanLink::Settle(std::int32_t Milliseconds) {
  const std::int64_t due = Now() + std::int64_t(Milliseconds) * 1000;
  if (FInGaps && !Until(due, false)) return false;
  // What the downloads left of the wait, to the millisecond above.
  Sleep(std::uint32_t(std::max<std::int64_t>(0, (due - Now() + 999) / 1000)));
  return true;
}

void TScanLink::CameraAtWork(std::int64_t ShotAt) {
  const std::int64_t cameraTime = Koordinator->Downloads.CameraTime();
  // A camera busy while at work is asked nothing then.
  if (FInGaps && cameraTime > 0 && !Koordinator->Downloads.CameraBusyAtWork)
    Until(ShotAt + cameraTime, true);
}

bool TScanLink::Drain(const std::function<bool(const TOwedDownload&)>& Before) {
  while (Koordinator != nullptr && !Koordinator->Downloads.Empty()) {
    if (Before && !Before(Koordinator->Downloads.Photos().front())) return false;
    const auto done = Koordinator->DownloadNext();
    if (!done) break;
    if (Downloaded && !Downloaded(*done)) return false;
  }
  return true;
}

bool TScanLink::Until(std::int64_t Deadline, bool AtWork) {
  while (const auto done = Koordinator->DownloadWithin(Deadline, AtWork))
    if (Downloaded && !Downloaded(*done)) return false;
  return true;
}
