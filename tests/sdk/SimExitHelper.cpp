// Leaves main without ending the camera SDK while shots are pending (pending), one
// is being rendered after an earlier photo (rendering) or a callback is running
// (callback). Run by the rig's test, which expects exit code 0.
//   sim_exit_helper pending|rendering|callback

#include <QCoreApplication>
#include <QImage>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera/CameraMessages.h"
#include "camera/EDSDKApi.h"
#include "platform/ProjectorFeed.h"
#include "sdk/sim/SimRig.h"

namespace {

std::atomic<bool> InCallback{false};
bool SlowCallback = false;

EdsError OnObject(EdsUInt32 Event, EdsBaseRef Object, EdsVoid* Context) {
  InCallback = true;
  if (SlowCallback) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Reaches the test only if the exit waited for the callback to end.
    std::fputs("callback finished\n", stdout);
    std::fflush(stdout);
  }
  PostMessageA(reinterpret_cast<HWND>(Context), CameraTransferMessage, Event,
               reinterpret_cast<LPARAM>(Object));
  return EdsResult_Ok;
}

// Takes the posted messages as the program's loop does (platform/Messages.h).
class TMessageTaker : public QObject {
 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    NoteEventTaken(Event);
    return QObject::eventFilter(Watched, Event);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string mode = argv[1];
  QCoreApplication app(argc, argv);
  TMessageTaker taker;
  app.installEventFilter(&taker);
  QObject window;
  const HWND handle = AllocateWindowHandle(&window);

  SlowCallback = mode == "callback";
  SimConfigure(mode == "pending" ? "latency=200" : "latency=0");
  QImage frame(1016, 734, QImage::Format_BGR888);
  frame.fill(Qt::white);
  PublishProjectorFrame(frame);

  EdsCameraListRef list = nullptr;
  EdsCameraRef camera = nullptr;
  const EdsUInt32 host = EdsSaveTo_Host;
  if (EdsInitializeSDK() != 0 || EdsGetCameraList(&list) != 0 ||
      EdsGetChildAtIndex(list, 0, &camera) != 0 || EdsOpenSession(camera) != 0 ||
      EdsSetPropertyData(camera, EdsProperty_SaveTo, 0, sizeof host, &host) != 0 ||
      EdsSetObjectEventHandler(camera, EdsObjectEvent_All, OnObject,
                               reinterpret_cast<EdsVoid*>(handle)) != 0)
    return 3;
  auto shoot = [&](int Shots) {
    for (int shot = 0; shot < Shots; ++shot)
      if (EdsSendCommand(camera, EdsCommand_TakePicture, 0) != 0) return false;
    return true;
  };
  if (mode == "rendering") {
    // After one photo the renderer's caches exist; a frame of another size makes the
    // camera's thread rebuild them while main returns.
    if (!shoot(1)) return 4;
    for (int wait = 0; wait < 20000 && !InCallback; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!InCallback) return 5;
    QImage other(800, 600, QImage::Format_BGR888);
    other.fill(Qt::white);
    PublishProjectorFrame(other);
    if (!shoot(2)) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } else if (!shoot(3)) {
    return 4;
  }
  if (mode == "callback")
    while (!InCallback) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QCoreApplication::processEvents();
  ReleaseWindowHandle(handle);
  return 0;
}
