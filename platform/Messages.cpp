#include "platform/Messages.h"

#include <QCoreApplication>
#include <QObject>
#include <mutex>
#include <unordered_map>

#if defined(__SANITIZE_THREAD__)
#define CORVALET_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVALET_TSAN 1
#endif
#endif

#ifdef CORVALET_TSAN
extern "C" void __tsan_acquire(void* Address);
extern "C" void __tsan_release(void* Address);
#endif

namespace {

struct THandleTable {
  std::mutex Lock;
  std::unordered_map<HWND, QObject*> Windows;
  HWND Next = 1;
};

THandleTable& Table() {
  // Never destroyed: a camera's thread may post while exit-time destructors run.
  static THandleTable* const table = new THandleTable;
  return *table;
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
  auto* event = new TMessageEvent(TMsg{Handle, Msg, wParam, lParam});
#ifdef CORVALET_TSAN
  __tsan_release(event);
#endif
  QCoreApplication::postEvent(found->second, event);
  return true;
}

void NoteEventTaken([[maybe_unused]] const QEvent* Event) {
#ifdef CORVALET_TSAN
  __tsan_acquire(const_cast<QEvent*>(Event));
#endif
}
