#include "platform/Messages.h"

#include <QCoreApplication>
#include <QObject>
#include <mutex>
#include <unordered_map>

namespace {

struct THandleTable {
  std::mutex Lock;
  std::unordered_map<HWND, QObject*> Windows;
  HWND Next = 1;
};

THandleTable& Table() {
  static THandleTable table;
  return table;
}

}  // namespace

QEvent::Type TMessageEvent::EventType() {
  static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
  return type;
}

HWND AllocateWindowHandle(QObject* Target) {
  THandleTable& table = Table();
  std::lock_guard guard(table.Lock);
  const HWND handle = table.Next++;
  table.Windows.emplace(handle, Target);
  return handle;
}

void ReleaseWindowHandle(HWND Handle) {
  THandleTable& table = Table();
  std::lock_guard guard(table.Lock);
  table.Windows.erase(Handle);
}

bool PostMessageA(HWND Handle, UINT Msg, WPARAM wParam, LPARAM lParam) {
  THandleTable& table = Table();
  // Held while posting, so the window cannot release its handle and die in between.
  std::lock_guard guard(table.Lock);
  auto found = table.Windows.find(Handle);
  if (found == table.Windows.end() || QCoreApplication::instance() == nullptr) return false;
  QCoreApplication::postEvent(found->second,
                              new TMessageEvent(TMsg{Handle, Msg, wParam, lParam}));
  return true;
}
