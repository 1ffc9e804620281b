#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Timer.h"

// What the window system reports of the program's windows: whether one window
// is on screen, and which others still are.
struct TExposure {
  bool Shown = false;
  // Titles of the program's other windows that are on screen or on their way there.
  std::vector<std::string> Others;
  bool Alone() const { return Shown && Others.empty(); }
};

// Now, as the window system last reported: Shown on screen and alone among the program's windows.
TExposure ReportExposure(const QWidget* Shown);

// A window stays on screen after hide() until the window system has taken it
// off, and one shown is not there before the window system has put it there;
// its expose events tell the program when. Waits, with the loop running, until
// one window is on screen alone among the program's windows.
class TExposureWait : public QObject {
 public:
  TExposureWait();
  ~TExposureWait() override;
  TExposureWait(const TExposureWait&) = delete;
  TExposureWait& operator=(const TExposureWait&) = delete;

  // Done runs once: as soon as Shown is alone, which may be before Start
  // returns, or Limit milliseconds (on the timers' clock) after the start with
  // what stood in the way. Starting again drops the wait under way.
  void Start(QWidget* Shown, std::uint32_t Limit, std::function<void(const TExposure&)> Done);
  // Drops the wait under way; its Done never runs.
  void Stop();
  bool Waiting() const { return bool(FDone); }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void Check();
  void Finish(const TExposure& Exposure);

  QPointer<QWidget> FShown;
  std::function<void(const TExposure&)> FDone;
  bool FCheckPosted = false;
  TTimer FLimit{[this] { Finish(ReportExposure(FShown)); }};
};
