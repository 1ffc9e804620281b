#pragma once

// The libgphoto2 backend's state, shared by its files: the objects behind the
// SDK's references and the one lock that serialises every libgphoto2 call.

#include <gphoto2/gphoto2.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/CameraObjects.h"
#include "sdk/gphoto2/Gphoto2Backend.h"

namespace Gphoto2Detail {

using TClock = std::chrono::steady_clock;

// Each watcher has its own stop flag, so one left to finish never serves a later session.
struct TWatch {
  bool Stop = false;  // guarded by the backend's lock
};

struct TCamera : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Camera;
  TCamera() : TSdkObject(Is) {}
  std::string Model;
  std::string Port;
  Camera* Handle = nullptr;  // while a session is open
  bool SessionOpen = false;
  // A communication failure ended the session: the stream to the camera is out of step.
  bool SessionOver = false;
  // Counts sessions, so that an item of an earlier session is refused.
  unsigned Session = 0;
  EdsUInt32 SaveTo = 1;
  std::map<EdsUInt32, std::pair<EdsObjectEventHandler, void*>> ObjectHandlers;
  std::map<EdsUInt32, std::pair<EdsPropertyEventHandler, void*>> PropertyHandlers;
  TClock::time_point LastShot;
  std::thread Watcher;
  std::shared_ptr<TWatch> Watch;
};

struct TItem : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Item;
  TItem() : TSdkObject(Is) {}
  EdsBaseRef Camera = nullptr;
  unsigned Session = 0;
  std::string Folder;
  std::string Name;
  EdsUInt32 Size = 0;  // 0 when the camera did not tell
  // Bytes written so far by downloads in pieces.
  EdsUInt32 Read = 0;
  bool Downloaded = false;
  bool Deleted = false;
};

struct TStream : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Stream;
  TStream() : TSdkObject(Is) {}
  ~TStream() override {
    if (Fd >= 0) close(Fd);
  }
  int Fd = -1;
  std::string Path;
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
};

class TBackend {
 public:
  std::mutex Lock;  // guards the state and serialises every libgphoto2 call
  std::condition_variable Wake;

  // Loaded once for the process: libgphoto2 loads its driver lists without locking.
  GPContext* Context = nullptr;
  CameraAbilitiesList* Abilities = nullptr;
  // Per SDK start, so that a camera plugged in since is found at the next start.
  GPPortInfoList* Ports = nullptr;

  TGphoto2Cameras Configured;
  TGphoto2Cameras Cameras;
  bool Initialized = false;
  bool Exited = false;
  TSdkObjects Objects;
  std::vector<EdsBaseRef> Known;  // cameras of this SDK instance; each holds the SDK's reference


  // The camera behind Ref with a session fit for use, or the error that says why not.
  EdsError Usable(EdsBaseRef Ref, std::shared_ptr<TCamera>& Camera);
  // Maps a failure after the session opened; all but busy and not supported end the session.
  EdsError Failure(TCamera& Camera, const std::string& What, int Result);
  EdsError Start();
  // Stops the camera's watcher and ends its session; the lock is left for the join.
  void CloseCamera(TCamera& Camera, std::unique_lock<std::mutex>& Held);
  void Shutdown(std::unique_lock<std::mutex>& Held);
  // Runs on the camera's own thread: turns each new file into a transfer request.
  void Watch(EdsBaseRef Ref, std::shared_ptr<TWatch> Own);
  // The camera of the SDK instance at Port, made when first listed.
  EdsBaseRef CameraAt(const std::string& Model, const std::string& Port);

 private:
  EdsBaseRef NewItem(EdsBaseRef CameraRef, TCamera& Camera, const CameraFilePath& Path);
};

// Never destroyed: a late SDK call from another static's destructor stays safe.
TBackend& Backend();
// Ends every session when the process exits; installed by the first EdsInitializeSDK.
void InstallExitHook();
void Report(const std::string& What, int Result);

// Runs Body on the locked backend.
template <typename TBody>
auto Locked(TBody&& Body) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  return Body(backend);
}

// Locked, on the camera behind Ref once its session is fit for use.
template <typename TBody>
EdsError OnUsable(EdsBaseRef Ref, TBody&& Body) {
  return Locked([&](TBackend& backend) {
    std::shared_ptr<TCamera> camera;
    if (EdsError error = backend.Usable(Ref, camera)) return error;
    return Body(backend, *camera);
  });
}
// libgphoto2 2.5.30 closes descriptor 0 whenever a PTP/IP session ends (its unused third
// socket is 0, not -1). Keeping 0 a placeholder of ours means it never closes a file in use.
void KeepDescriptorZero();

}  // namespace Gphoto2Detail

namespace Gphoto2Sdk {
EdsError EdsDownload(EdsDirectoryItemRef Ref, EdsUInt32 Size, EdsStreamRef StreamRef);
EdsError EdsDownloadComplete(EdsDirectoryItemRef Ref);
}  // namespace Gphoto2Sdk
