#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "check/Aim.h"
#include "platform/Messages.h"

class QLabel;

// What a reading of the two aiming photos gave: the result and its picture, or why there is none.
struct TAimOutcome {
  std::optional<TAimResult> Result;
  QImage Picture;
  std::string Error;
};

// Reads the two aiming photos on a thread of its own, so that the windows stay
// live; Done runs on the GUI thread with the outcome. One reading at a time.
class TAimReader {
 public:
  TAimReader();
  // Waits for a reading under way; its outcome is dropped.
  ~TAimReader();
  TAimReader(const TAimReader&) = delete;
  TAimReader& operator=(const TAimReader&) = delete;

  void Start(const TCheckRaster& Raster, const std::string& DarkPath, const std::string& PointsPath,
             QSize Fit, std::function<void(TAimOutcome)> Done);

 private:
  class TReceiver;
  void Deliver();

  std::unique_ptr<TReceiver> FReceiver;
  std::mutex FLock;
  std::optional<TAimOutcome> FOutcome;
  std::function<void(TAimOutcome)> FDone;
  std::thread FWorker;
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
  // On the main window's screen, beside it where there is room.
  void Place();

  QLabel* FPicture = nullptr;
  QLabel* FSummary = nullptr;
  std::optional<TAimResult> FResult;
};
