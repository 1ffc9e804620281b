#include "platform/Messages.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>
#include <vector>

#include "camera/CameraMessages.h"

namespace {

class TReceiver : public QObject {
 public:
  std::vector<TMsg> Received;
  std::vector<std::thread::id> Threads;

 protected:
  bool event(QEvent* Event) override {
    if (Event->type() == TMessageEvent::EventType()) {
      Received.push_back(static_cast<TMessageEvent*>(Event)->Msg);
      Threads.push_back(std::this_thread::get_id());
      return true;
    }
    return QObject::event(Event);
  }
};

int argc = 1;
char arg0[] = "messages_test";
char* argv[] = {arg0, nullptr};

}  // namespace

TEST(PostMessage, ReachesTheLiveWindowInOrder) {
  QCoreApplication app(argc, argv);
  TReceiver receiver;
  const HWND handle = AllocateWindowHandle(&receiver);
  EXPECT_TRUE(PostMessageA(handle, CameraTransferMessage, 0x208, 1234));
  EXPECT_TRUE(PostMessageA(handle, DownloadProgressMessage, 50, 0));
  EXPECT_TRUE(receiver.Received.empty());  // queued, not sent
  QCoreApplication::processEvents();
  ASSERT_EQ(receiver.Received.size(), 2u);
  EXPECT_EQ(receiver.Received[0].hwnd, handle);
  EXPECT_EQ(receiver.Received[0].message, 1026u);
  EXPECT_EQ(receiver.Received[0].wParam, 0x208u);
  EXPECT_EQ(receiver.Received[0].lParam, 1234);
  EXPECT_EQ(receiver.Received[1].message, 1027u);

  ReleaseWindowHandle(handle);
  EXPECT_FALSE(PostMessageA(handle, CameraTransferMessage, 0, 0));
  EXPECT_FALSE(PostMessageA(NullWindow, CameraTransferMessage, 0, 0));
  EXPECT_FALSE(PostMessageA(handle + 1000, CameraTransferMessage, 0, 0));
}

TEST(PostMessage, FromOtherThreadsArrivesOnTheLoopThread) {
  QCoreApplication app(argc, argv);
  TReceiver receiver;
  const HWND handle = AllocateWindowHandle(&receiver);
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([handle, t] {
      for (int i = 0; i < 250; ++i) PostMessageA(handle, CameraPropertyMessage, t, i);
    });
  for (auto& poster : posters) poster.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(receiver.Received.size(), 1000u);
  for (auto id : receiver.Threads) EXPECT_EQ(id, std::this_thread::get_id());
  // Each poster's own messages keep their order.
  std::vector<LPARAM> last(4, -1);
  for (const TMsg& msg : receiver.Received) {
    EXPECT_GT(msg.lParam, last[msg.wParam]);
    last[msg.wParam] = msg.lParam;
  }
  ReleaseWindowHandle(handle);
}
