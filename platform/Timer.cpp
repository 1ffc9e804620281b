#include "platform/Timer.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <vector>

namespace {

struct TClock {
  bool Manual = false;
  std::int64_t Now = 0;
  // Every live timer, for AdvanceTime; GUI thread only.
  std::vector<TTimer*> Timers;
};

TClock& Clock() {
  static TClock clock;
  return clock;
}

}  // namespace

TTimer::TTimer(std::function<void()> OnTimeout) : FOnTimeout(std::move(OnTimeout)) {
  Clock().Timers.push_back(this);
}

TTimer::~TTimer() {
  auto& timers = Clock().Timers;
  timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
}

void TTimer::Start(std::uint32_t Milliseconds) {
  Stop();
  FActive = true;
  if (Clock().Manual) {
    FDue = Clock().Now + Milliseconds;
    return;
  }
  if (!FTimer) {
    FTimer = std::make_unique<QTimer>();
    FTimer->setSingleShot(true);
    FTimer->setTimerType(Qt::CoarseTimer);
    QObject::connect(FTimer.get(), &QTimer::timeout, [this] { Fire(); });
  }
  FTimer->start(std::chrono::milliseconds(Milliseconds));
}

void TTimer::Stop() {
  FActive = false;
  if (FTimer) FTimer->stop();
}

void TTimer::Fire() {
  if (!FActive) return;
  FActive = false;
  if (FOnTimeout) FOnTimeout();
}

std::int64_t MonotonicMilliseconds() {
  if (Clock().Manual) return Clock().Now;
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t MonotonicMicroseconds() {
  if (Clock().Manual) return Clock().Now * 1000;
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SetManualTime(bool On) {
  Clock().Manual = On;
}

void AdvanceTime(std::uint32_t Milliseconds) {
  TClock& clock = Clock();
  const std::int64_t target = clock.Now + Milliseconds;
  // A callback may start timers again; each round fires one, so the count bounds the loop.
  for (int round = 0; round < 100000; ++round) {
    TTimer* next = nullptr;
    for (TTimer* timer : clock.Timers)
      if (timer->FActive && !(timer->FTimer && timer->FTimer->isActive()) &&
          timer->FDue <= target && (next == nullptr || timer->FDue < next->FDue))
        next = timer;
    if (next == nullptr) break;
    clock.Now = std::max(clock.Now, next->FDue);
    next->Fire();
  }
  clock.Now = target;
}
