#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class QTimer;

// A one-shot timer on the GUI thread. While manual time is on (tests), timers
// fire only when AdvanceTime moves the clock past them, so nothing waits for real.
class TTimer {
 public:
  explicit TTimer(std::function<void()> OnTimeout);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // OnTimeout runs once, Milliseconds from now, unless Stop or Start comes first.
  void Start(std::uint32_t Milliseconds);
  void Stop();
  bool Active() const { return FActive; }

 private:
  friend void AdvanceTime(std::uint32_t Milliseconds);
  void Fire();

  std::function<void()> FOnTimeout;
  std::unique_ptr<QTimer> FTimer;
  bool FActive = false;
  // On the manual clock.
  std::int64_t FDue = 0;
};

// Milliseconds on a monotonic clock; the manual clock while manual time is on.
std::int64_t MonotonicMilliseconds();
// The same clock in microseconds, for timing transfers.
std::int64_t MonotonicMicroseconds();
// Tests: On stops the clock, and timers started from then on wait for AdvanceTime.
void SetManualTime(bool On);
// Moves the manual clock on by Milliseconds, firing each timer that falls due, earliest first.
void AdvanceTime(std::uint32_t Milliseconds);
