#include "platform/ExposureWait.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWindow>

#include "platform/Messages.h"

TExposure ReportExposure(const QWidget* Shown) {
  TExposure exposure;
  const QWindow* shown = Shown != nullptr ? Shown->windowHandle() : nullptr;
  // Exposed only once the window system has mapped the window and said so.
  exposure.Shown = shown != nullptr && Shown->isVisible() && shown->isExposed();
  for (const QWindow* window : QGuiApplication::topLevelWindows()) {
    if (window == shown || window->type() == Qt::Desktop) continue;
    // Hidden but still exposed: the window system has not taken it off the screen yet.
    if (!window->isVisible() && !window->isExposed()) continue;
    QString title = window->title();
    if (title.isEmpty()) title = window->objectName();
    exposure.Others.push_back(title.toStdString());
  }
  return exposure;
}

TExposureWait::TExposureWait() = default;

TExposureWait::~TExposureWait() {
  if (QCoreApplication* application = QCoreApplication::instance())
    application->removeEventFilter(this);
}

void TExposureWait::Start(QWidget* Shown, std::uint32_t Limit,
                          std::function<void(const TExposure&)> Done) {
  Stop();
  FShown = Shown;
  FDone = std::move(Done);
  FLimit.Start(Limit);
  QCoreApplication::instance()->installEventFilter(this);
  // A round trip: what the window system did with the windows hidden and shown
  // so far arrives before its answer, and is handled here.
  QGuiApplication::sync();
  if (Waiting()) Check();
}

void TExposureWait::Stop() {
  FDone = {};
  FLimit.Stop();
  if (QCoreApplication* application = QCoreApplication::instance())
    application->removeEventFilter(this);
}

bool TExposureWait::eventFilter(QObject* Watched, QEvent* Event) {
  // Events posted from the camera's threads pass here too: taken before they are read.
  NoteEventTaken(Event);
  // Checked once the window has handled the event: a window exposed has then painted.
  if (Event->type() == QEvent::Expose && Watched->isWindowType() && !FCheckPosted) {
    FCheckPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          FCheckPosted = false;
          if (Waiting()) Check();
        },
        Qt::QueuedConnection);
  }
  return QObject::eventFilter(Watched, Event);
}

void TExposureWait::Check() {
  const TExposure exposure = ReportExposure(FShown);
  if (exposure.Alone()) Finish(exposure);
}

void TExposureWait::Finish(const TExposure& Exposure) {
  std::function<void(const TExposure&)> done = std::move(FDone);
  Stop();
  if (done) done(Exposure);
}
