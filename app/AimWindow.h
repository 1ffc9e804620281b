#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check/Aim.h"
#include "platform/Messages.h"

class QLabel;

// What a reading of the two aiming photos gave: the result and its picture, or why there is none.
struct TAimOutcome {
  std::optional<TAimResult> Result;
  QImage Picture;
  std::string Error;
};

// The two aiming photos on disk read and drawn to fit Fit: the outcome that the
// window shows. Once Cancel is set the rest is left undone.
TAimOutcome ReadAimPhotos(const TCheckRaster& Raster, const std::string& DarkPath,
                          const std::string& PointsPath, QSize Fit,
                          const std::atomic<bool>& Cancel);

// Reads the two aiming photos on a thread of its own, so that the windows stay
// live; Done runs on the GUI thread with the outcome of the latest reading only.
// A new reading never waits for an earlier one: that one is told to stop, ends on
// its own thread, and its outcome is dropped.
class TAimReader {
 public:
  using TRead = std::function<TAimOutcome(const TCheckRaster&, const std::string& DarkPath,
                                          const std::string& PointsPath, QSize Fit,
                                          const std::atomic<bool>& Cancel)>;
  // Read: ReadAimPhotos, or a stand-in in tests.
  explicit TAimReader(TRead Read = ReadAimPhotos);
  // Tells the readings under way to stop and waits for them; their outcomes are dropped.
  ~TAimReader();
  TAimReader(const TAimReader&) = delete;
  TAimReader& operator=(const TAimReader&) = delete;

  void Start(const TCheckRaster& Raster, const std::string& DarkPath, const std::string& PointsPath,
             QSize Fit, std::function<void(TAimOutcome)> Done);
  // Readings whose threads have not ended yet, the dropped ones included.
  int UnderWay() const;

 private:
  struct TReading;
  class TReceiver;
  void Deliver();
  // Joins the threads whose reading has ended; never waits for one under way.
  void JoinEnded();

  const TRead FRead;
  std::unique_ptr<TReceiver> FReceiver;
  std::shared_ptr<TReading> FLatest;
  std::function<void(TAimOutcome)> FDone;
  std::vector<std::pair<std::shared_ptr<TReading>, std::thread>> FThreads;
};

// "Zaměření": the all-points photo with the raster's outline and its points
// (found green, cut or outside red, in view but not found yellow) and the
// summary line. "Znovu" takes the two photos again; the window stays open and
// the main window usable.
class TAimWindow : public QWidget {
 public:
  // Object names: "AimPicture", "AimSummary", "AgainButton", "CloseButton".
  explicit TAimWindow(QWidget* Parent);

  void ShowOutcome(const TAimOutcome& Outcome);
  // The size the picture is drawn to fit.
  QSize PictureFit() const;

  // The last result shown, if any.
  const std::optional<TAimResult>& Result() const { return FResult; }
  // Runs on "Znovu".
  std::function<void()> OnAgain;

 protected:
  // Escape closes the window, as its close box does.
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  QLabel* FPicture = nullptr;
  QLabel* FSummary = nullptr;
  std::optional<TAimResult> FResult;
};
