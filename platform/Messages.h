#pragma once

#include <QEvent>
#include <cstdint>

class QObject;

// A window handle names a live window (any QObject that took one) by number.
// Numbers are never reused, so a stale handle names no window.
using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
// Wide enough for a pointer.
using LPARAM = std::intptr_t;

constexpr HWND NullWindow = 0;
// The first message number free for the program's own messages.
constexpr UINT WM_USER = 0x400;

// A message as the loop takes it from the queue.
struct TMsg {
  HWND hwnd = NullWindow;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// The event that carries a posted message to its window.
class TMessageEvent : public QEvent {
 public:
  explicit TMessageEvent(const TMsg& Msg) : QEvent(EventType()), Msg(Msg) {}
  static QEvent::Type EventType();

  TMsg Msg;
};

// Gives Target a handle; messages posted to it arrive at Target as TMessageEvent.
HWND AllocateWindowHandle(QObject* Target);
// Ends the handle: from then on posting to it fails. Call before Target dies.
void ReleaseWindowHandle(HWND Handle);

// Queues a message for the window that Handle names and returns at once.
// Safe from any thread. False when Handle names no live window.
bool PostMessageA(HWND Handle, UINT Msg, WPARAM wParam, LPARAM lParam);

// Qt hands a posted event to the loop's thread under locks that ThreadSanitizer
// cannot see. The loop calls this before it reads an event, so that the poster's
// writes are known to come first. Does nothing in other builds.
void NoteEventTaken(const QEvent* Event);
