#include "app/ScanCheckLog.h"

#include <QCoreApplication>
#include <QObject>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "app/Ovl_1.h"
#include "platform/Messages.h"
#include "session/Koordinator.h"

namespace {

// Tells the GUI thread that verdict lines wait; the lines themselves cross under PendingLock.
constexpr UINT CheckLinesMessage = WM_USER + 16;

std::mutex PendingLock;
// Lines with the folder of the scan each judges. Never destroyed, like the lock:
// nothing at exit can find it gone.
std::deque<std::pair<std::string, std::string>>& Pending() {
  static auto* lines = new std::deque<std::pair<std::string, std::string>>;
  return *lines;
}

// Takes the message on the GUI thread and writes the waiting lines to the log.
class TCheckLineReceiver : public QObject {
 public:
  explicit TCheckLineReceiver(QObject* Parent)
      : QObject(Parent), Handle(AllocateWindowHandle(this)) {}
  ~TCheckLineReceiver() override { ReleaseWindowHandle(Handle); }

  bool event(QEvent* Event) override {
    if (Event->type() != TMessageEvent::EventType()) return QObject::event(Event);
    std::deque<std::pair<std::string, std::string>> lines;
    {
      std::lock_guard guard(PendingLock);
      lines.swap(Pending());
    }
    // The verdict is the last word on a scan: its line names the scan's folder too, so
    // the log reads as the session's list of views. The folder comes with the verdict:
    // a check may end after the next scan did.
    for (const auto& [folder, line] : lines) {
      if (Koordinator) Koordinator->Log("Sken " + folder + " – " + line);
      if (Form1) Form1->CheckGiven(folder, line);
    }
    return true;
  }

  const HWND Handle;
};

}  // namespace

std::unique_ptr<TScanCheck> CreateLoggedScanCheck() {
  QCoreApplication* application = QCoreApplication::instance();
  // Goes with the application; a line posted after that reaches no window and is dropped.
  const HWND receiver = application ? (new TCheckLineReceiver(application))->Handle : NullWindow;
  return std::make_unique<TScanCheck>(
      [receiver](const std::string& Folder, const std::string& Line) {
        {
          std::lock_guard guard(PendingLock);
          Pending().emplace_back(Folder, Line);
        }
        // Posted messages carry ThreadSanitizer's notes across the hand-over, unlike a queued call.
        PostMessageA(receiver, CheckLinesMessage, 0, 0);
      });
}
