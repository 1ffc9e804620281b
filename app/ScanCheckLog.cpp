#include "app/ScanCheckLog.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "session/Canonator.h"

std::unique_ptr<TScanCheck> CreateLoggedScanCheck() {
  return std::make_unique<TScanCheck>([](const std::string& Line) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return;
    QMetaObject::invokeMethod(
        application,
        [Line] {
          if (Canonator) Canonator->Log(Line);
        },
        Qt::QueuedConnection);
  });
}
