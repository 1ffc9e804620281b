#include "sdk/gphoto2/Gphoto2Backend.h"

#include <fcntl.h>
#include <gphoto2/gphoto2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sdk/CameraBackend.h"

namespace {

using TClock = std::chrono::steady_clock;

enum class TKind { List, Camera, Item, Stream };

struct TObject {
  explicit TObject(TKind Kind) : Kind(Kind) {}
  virtual ~TObject() = default;
  const TKind Kind;
  EdsUInt32 RefCount = 1;
};

// Each watcher has its own stop flag, so one left to finish never serves a later session.
struct TWatch {
  bool Stop = false;  // guarded by the backend's lock
};

struct TCameraObject : TObject {
  TCameraObject() : TObject(TKind::Camera) {}
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
  TClock::time_point LastShot;
  std::thread Watcher;
  std::shared_ptr<TWatch> Watch;
};

struct TCameraListObject : TObject {
  TCameraListObject() : TObject(TKind::List) {}
  std::vector<EdsBaseRef> Cameras;
};

struct TItem : TObject {
  TItem() : TObject(TKind::Item) {}
  EdsBaseRef Camera = nullptr;
  unsigned Session = 0;
  std::string Folder;
  std::string Name;
  EdsUInt32 Size = 0;  // 0 when the camera did not tell
  bool Downloaded = false;
  bool Deleted = false;
};

struct TStream : TObject {
  TStream() : TObject(TKind::Stream) {}
  ~TStream() override {
    if (Fd >= 0) close(Fd);
  }
  int Fd = -1;
  std::string Path;
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
};

// Progress of one download, fed by libgphoto2 where the transport reports it.
struct TProgress {
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
  float Target = 0;
  EdsUInt32 Told = 0;
  EdsBool Cancel = false;

  void Tell(EdsUInt32 Percent) {
    if (Callback) Callback(Percent, Context, &Cancel);
    Told = Percent;
  }
};

constexpr EdsUInt32 ProgressStep = 10;  // percent between progress calls
// libgphoto2 returns at once over PTP/IP whatever the timeout, so the watcher paces itself.
constexpr int EventWaitMs = 10;
constexpr auto FastPace = std::chrono::milliseconds(1);   // soon after a shot
constexpr auto SlowPace = std::chrono::milliseconds(20);  // otherwise
constexpr auto ShotWindow = std::chrono::seconds(30);

void Report(const std::string& What, int Result) {
  std::cerr << "camera: " << What << ": " << gp_result_as_string(Result) << "\n";
}

void ContextError(GPContext*, const char* Text, void*) {
  std::cerr << "camera: " << Text << "\n";
}

unsigned ProgressStart(GPContext*, float Target, const char*, void* Data) {
  static_cast<TProgress*>(Data)->Target = Target;
  return 1;
}

void ProgressUpdate(GPContext*, unsigned, float Current, void* Data) {
  auto& progress = *static_cast<TProgress*>(Data);
  if (progress.Target <= 0) return;
  const auto percent = EdsUInt32(std::min(99.0f, Current * 100 / progress.Target));
  if (percent >= progress.Told + ProgressStep) progress.Tell(percent);
}

void ProgressStop(GPContext*, unsigned, void*) {}

GPContextFeedback CancelAsked(GPContext*, void* Data) {
  return static_cast<TProgress*>(Data)->Cancel ? GP_CONTEXT_FEEDBACK_CANCEL
                                               : GP_CONTEXT_FEEDBACK_OK;
}

// libgphoto2 2.5.30 closes descriptor 0 whenever a PTP/IP session ends (its unused third
// socket is 0, not -1). Keeping 0 a placeholder of ours means it never closes a file in use.
void KeepDescriptorZero() {
  if (fcntl(0, F_GETFD) != -1) return;
  const int placeholder = open("/dev/null", O_RDONLY);
  // Another thread took 0 in the meantime: nothing to keep.
  if (placeholder > 0) close(placeholder);
}

// The failure of a session's opening.
EdsError OpenFailure(int Result) {
  switch (Result) {
    case GP_ERROR_CAMERA_BUSY:
    case GP_ERROR_IO_USB_CLAIM:  // another program holds the camera
      return EdsResult_DeviceBusy;
    case GP_ERROR_MODEL_NOT_FOUND:
    case GP_ERROR_IO_USB_FIND:
      return EdsResult_DeviceNotFound;
    case GP_ERROR_NOT_SUPPORTED:
      return EdsResult_NotSupported;
    default:
      return EdsResult_CommunicationError;
  }
}

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
  std::unordered_map<EdsBaseRef, std::shared_ptr<TObject>> Objects;
  std::vector<EdsBaseRef> Known;  // cameras of this SDK instance; each holds the SDK's reference
  std::uintptr_t NextHandle = 1;

  // Handles are numbers never reused, so a reference from an ended SDK instance names nothing.
  EdsBaseRef Register(std::shared_ptr<TObject> Object) {
    const auto handle = reinterpret_cast<EdsBaseRef>(NextHandle++ << 4);
    Objects.emplace(handle, std::move(Object));
    return handle;
  }

  template <typename T>
  std::shared_ptr<T> Find(EdsBaseRef Ref, TKind Kind) {
    auto found = Objects.find(Ref);
    if (found == Objects.end() || found->second->Kind != Kind) return nullptr;
    return std::static_pointer_cast<T>(found->second);
  }

  // The camera behind Ref with a session fit for use, or the error that says why not.
  EdsError Usable(EdsBaseRef Ref, std::shared_ptr<TCameraObject>& Camera) {
    Camera = Find<TCameraObject>(Ref, TKind::Camera);
    if (!Camera) return EdsResult_InvalidHandle;
    if (!Camera->SessionOpen) return EdsResult_SessionNotOpen;
    if (Camera->SessionOver) return EdsResult_CommunicationError;
    return EdsResult_Ok;
  }

  // Maps a failure after the session opened; all but busy and not supported end the session.
  EdsError Failure(TCameraObject& Camera, const std::string& What, int Result) {
    Report(What, Result);
    if (Result == GP_ERROR_CAMERA_BUSY) return EdsResult_DeviceBusy;
    if (Result == GP_ERROR_NOT_SUPPORTED) return EdsResult_NotSupported;
    if (!Camera.SessionOver)
      std::cerr << "camera: the session with " << Camera.Model << " is over; reconnect\n";
    Camera.SessionOver = true;
    Wake.notify_all();
    return Result == GP_ERROR_CANCEL ? EdsResult_OperationCancelled : EdsResult_CommunicationError;
  }

  EdsError Start() {
    if (!Context) {
      Context = gp_context_new();
      gp_context_set_error_func(Context, ContextError, nullptr);
    }
    if (!Abilities) {
      CameraAbilitiesList* abilities = nullptr;
      gp_abilities_list_new(&abilities);
      if (const int result = gp_abilities_list_load(abilities, Context); result < GP_OK) {
        Report("loading the camera drivers", result);
        gp_abilities_list_free(abilities);
        return EdsResult_InternalError;
      }
      Abilities = abilities;
    }
    gp_port_info_list_new(&Ports);
    if (const int result = gp_port_info_list_load(Ports); result < GP_OK) {
      Report("loading the port drivers", result);
      gp_port_info_list_free(Ports);
      Ports = nullptr;
      return EdsResult_InternalError;
    }
    Cameras = Configured;
    Initialized = true;
    return EdsResult_Ok;
  }

  // Stops the camera's watcher and ends its session; the lock is left for the join.
  void CloseCamera(TCameraObject& Camera, std::unique_lock<std::mutex>& Held) {
    if (!Camera.SessionOpen) return;
    Camera.SessionOpen = false;
    if (Camera.Watch) Camera.Watch->Stop = true;
    Wake.notify_all();
    std::thread watcher = std::move(Camera.Watcher);
    if (watcher.joinable()) {
      Held.unlock();
      if (watcher.get_id() == std::this_thread::get_id())
        watcher.detach();
      else
        watcher.join();
      Held.lock();
    }
    // SIGPIPE is ignored by the program: a dropped connection fails here quietly.
    gp_camera_exit(Camera.Handle, Context);
    gp_camera_unref(Camera.Handle);
    KeepDescriptorZero();
    Camera.Handle = nullptr;
  }

  void Shutdown(std::unique_lock<std::mutex>& Held) {
    Initialized = false;
    for (EdsBaseRef ref : std::vector<EdsBaseRef>(Known))
      if (auto camera = Find<TCameraObject>(ref, TKind::Camera)) CloseCamera(*camera, Held);
    auto objects = std::move(Objects);
    Objects.clear();
    Known.clear();
    if (Ports) gp_port_info_list_free(Ports);
    Ports = nullptr;
    Held.unlock();
    objects.clear();  // closes the streams' files
    Held.lock();
  }

  // Runs on the camera's own thread: turns each new file into a transfer request.
  void Watch(EdsBaseRef Ref, std::shared_ptr<TWatch> Own) {
    std::unique_lock lock(Lock);
    while (!Own->Stop) {
      auto camera = Find<TCameraObject>(Ref, TKind::Camera);
      if (!camera || !camera->SessionOpen || camera->SessionOver) return;
      CameraEventType type = GP_EVENT_TIMEOUT;
      void* data = nullptr;
      const int result =
          gp_camera_wait_for_event(camera->Handle, EventWaitMs, &type, &data, Context);
      if (result < GP_OK) {
        Failure(*camera, "waiting for the camera's events", result);
        return;
      }
      EdsBaseRef item = nullptr;
      std::pair<EdsObjectEventHandler, void*> handler{nullptr, nullptr};
      if (type == GP_EVENT_FILE_ADDED && data) {
        const auto& path = *static_cast<CameraFilePath*>(data);
        auto found = camera->ObjectHandlers.find(EdsObjectEvent_TransferRequest);
        if (found == camera->ObjectHandlers.end())
          found = camera->ObjectHandlers.find(EdsObjectEvent_All);
        // Without a handler or with save-to the card, the photo stays on the camera.
        if (found != camera->ObjectHandlers.end() && (camera->SaveTo & EdsSaveTo_Host)) {
          handler = found->second;
          item = NewItem(Ref, *camera, path);
        }
      }
      if (type == GP_EVENT_UNKNOWN || type == GP_EVENT_FILE_ADDED ||
          type == GP_EVENT_FOLDER_ADDED || type == GP_EVENT_FILE_CHANGED)
        std::free(data);
      if (item) {
        lock.unlock();
        handler.first(EdsObjectEvent_TransferRequest, item, handler.second);
        lock.lock();
      }
      const bool soon = TClock::now() - camera->LastShot < ShotWindow;
      Wake.wait_for(lock, soon ? FastPace : SlowPace);
    }
  }

  EdsBaseRef NewItem(EdsBaseRef CameraRef, TCameraObject& Camera, const CameraFilePath& Path) {
    CameraFileInfo info{};
    const int result =
        gp_camera_file_get_info(Camera.Handle, Path.folder, Path.name, &info, Context);
    if (result < GP_OK) {
      Failure(Camera, std::string("reading the record of ") + Path.name, result);
      return nullptr;
    }
    auto item = std::make_shared<TItem>();
    item->Camera = CameraRef;
    item->Session = Camera.Session;
    item->Folder = Path.folder;
    item->Name = Path.name;
    if ((info.file.fields & GP_FILE_INFO_SIZE) && info.file.size <= 0xFFFFFFFFu)
      item->Size = EdsUInt32(info.file.size);
    return Register(std::move(item));
  }

  // The camera of the SDK instance at Port, made when first listed.
  EdsBaseRef CameraAt(const std::string& Model, const std::string& Port) {
    for (EdsBaseRef ref : Known)
      if (auto camera = Find<TCameraObject>(ref, TKind::Camera); camera && camera->Port == Port)
        return ref;
    auto camera = std::make_shared<TCameraObject>();
    camera->Model = Model;
    camera->Port = Port;
    const EdsBaseRef ref = Register(std::move(camera));
    Known.push_back(ref);
    return ref;
  }
};

TBackend& Backend() {
  // Never destroyed: a late SDK call from another static's destructor stays safe.
  static TBackend* backend = new TBackend;
  return *backend;
}

void StopAtExit() {
  TBackend& backend = Backend();
  std::unique_lock lock(backend.Lock);
  backend.Exited = true;
  if (backend.Initialized) backend.Shutdown(lock);
}

}  // namespace

void Gphoto2ConfigureCameras(TGphoto2Cameras Cameras) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  backend.Configured = std::move(Cameras);
}

// The SDK functions over libgphoto2; Gphoto2CameraBackend() puts them behind camera/EDSDKApi.h.
namespace Gphoto2Sdk {

EdsError EdsInitializeSDK() {
  static const bool hooked = (std::atexit(StopAtExit), true);
  (void)hooked;
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (backend.Exited) return EdsResult_InternalError;
  if (backend.Initialized) return EdsResult_Ok;
  return backend.Start();
}

EdsError EdsTerminateSDK() {
  TBackend& backend = Backend();
  std::unique_lock lock(backend.Lock);
  if (!backend.Initialized) return EdsResult_InternalError;
  backend.Shutdown(lock);
  return EdsResult_Ok;
}

EdsError EdsGetCameraList(EdsCameraListRef* OutCameraList) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!OutCameraList) return EdsResult_InvalidParameter;
  if (!backend.Initialized) return EdsResult_InternalError;
  auto list = std::make_shared<TCameraListObject>();
  if (backend.Cameras.Usb) {
    CameraList* detected = nullptr;
    gp_list_new(&detected);
    const int result =
        gp_abilities_list_detect(backend.Abilities, backend.Ports, detected, backend.Context);
    if (result < GP_OK) Report("looking for USB cameras", result);
    for (int index = 0; result >= GP_OK && index < gp_list_count(detected); ++index) {
      const char* model = nullptr;
      const char* port = nullptr;
      gp_list_get_name(detected, index, &model);
      gp_list_get_value(detected, index, &port);
      // Only cameras on a USB device; "usb:" alone is the generic entry, disks are no cameras.
      if (!model || !port || std::strncmp(port, "usb:", 4) != 0 || std::strlen(port) == 4) continue;
      list->Cameras.push_back(backend.CameraAt(model, port));
    }
    gp_list_free(detected);
  }
  for (const std::string& port : backend.Cameras.NetworkPorts)
    list->Cameras.push_back(backend.CameraAt(Gphoto2NetworkModel, port));
  for (EdsBaseRef ref : list->Cameras) ++backend.Objects.at(ref)->RefCount;
  *OutCameraList = backend.Register(std::move(list));
  return EdsResult_Ok;
}

EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!OutCount) return EdsResult_InvalidParameter;
  auto found = backend.Objects.find(Ref);
  if (found == backend.Objects.end()) return EdsResult_InvalidHandle;
  *OutCount = found->second->Kind == TKind::List
                  ? EdsUInt32(static_cast<TCameraListObject&>(*found->second).Cameras.size())
                  : 0;
  return EdsResult_Ok;
}

EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!OutChild) return EdsResult_InvalidParameter;
  auto list = backend.Find<TCameraListObject>(Ref, TKind::List);
  if (!list) return EdsResult_InvalidHandle;
  if (Index < 0 || Index >= EdsInt32(list->Cameras.size())) return EdsResult_InvalidParameter;
  auto camera = backend.Find<TCameraObject>(list->Cameras[Index], TKind::Camera);
  if (!camera) return EdsResult_DeviceNotFound;
  ++camera->RefCount;
  *OutChild = list->Cameras[Index];
  return EdsResult_Ok;
}

EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!OutDeviceInfo) return EdsResult_InvalidParameter;
  auto camera = backend.Find<TCameraObject>(Camera, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  std::memset(OutDeviceInfo, 0, sizeof *OutDeviceInfo);
  std::snprintf(OutDeviceInfo->PortName, sizeof OutDeviceInfo->PortName, "%s",
                camera->Port.c_str());
  std::snprintf(OutDeviceInfo->DeviceDescription, sizeof OutDeviceInfo->DeviceDescription, "%s",
                camera->Model.c_str());
  // libgphoto2 drives no camera the way a legacy one must be driven.
  OutDeviceInfo->DeviceSubType = 1;
  return EdsResult_Ok;
}

EdsError EdsOpenSession(EdsCameraRef Ref) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  auto camera = backend.Find<TCameraObject>(Ref, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  if (camera->SessionOpen) return EdsResult_Ok;

  // Without the model's abilities libgphoto2 does not know how to talk to the camera.
  const int model = gp_abilities_list_lookup_model(backend.Abilities, camera->Model.c_str());
  const int port = gp_port_info_list_lookup_path(backend.Ports, camera->Port.c_str());
  if (model < GP_OK || port < GP_OK) {
    Report("finding " + camera->Model + " at " + camera->Port, model < GP_OK ? model : port);
    return EdsResult_DeviceNotFound;
  }
  CameraAbilities abilities;
  GPPortInfo portInfo;
  gp_abilities_list_get_abilities(backend.Abilities, model, &abilities);
  gp_port_info_list_get_info(backend.Ports, port, &portInfo);
  KeepDescriptorZero();
  Camera* handle = nullptr;
  gp_camera_new(&handle);
  gp_camera_set_abilities(handle, abilities);
  gp_camera_set_port_info(handle, portInfo);
  if (const int result = gp_camera_init(handle, backend.Context); result < GP_OK) {
    Report("opening " + camera->Model + " at " + camera->Port, result);
    gp_camera_unref(handle);
    KeepDescriptorZero();
    return OpenFailure(result);
  }
  camera->Handle = handle;
  camera->SessionOpen = true;
  camera->SessionOver = false;
  ++camera->Session;
  // A new session starts from the camera's own settings: pictures stay on its card.
  camera->SaveTo = 1;
  camera->Watch = std::make_shared<TWatch>();
  camera->Watcher =
      std::thread([&backend, Ref, watch = camera->Watch] { backend.Watch(Ref, watch); });
  return EdsResult_Ok;
}

EdsError EdsCloseSession(EdsCameraRef Ref) {
  TBackend& backend = Backend();
  std::unique_lock lock(backend.Lock);
  auto camera = backend.Find<TCameraObject>(Ref, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  if (!camera->SessionOpen) return EdsResult_SessionNotOpen;
  backend.CloseCamera(*camera, lock);
  return EdsResult_Ok;
}

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32, EdsUInt32 DataSize,
                            const EdsVoid* Data) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  std::shared_ptr<TCameraObject> camera;
  if (EdsError error = backend.Usable(Ref, camera)) return error;
  if (!Data || DataSize != sizeof(EdsUInt32)) return EdsResult_InvalidParameter;
  if (PropertyId != EdsProperty_SaveTo) return EdsResult_NotSupported;
  EdsUInt32 value;
  std::memcpy(&value, Data, sizeof value);
  if (value < 1 || value > 3) return EdsResult_InvalidParameter;
  // Emulated: the backend takes each new photo to the host and deletes the camera's copy.
  camera->SaveTo = value;
  return EdsResult_Ok;
}

EdsError EdsSendCommand(EdsCameraRef Ref, EdsUInt32 Command, EdsInt32) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  std::shared_ptr<TCameraObject> camera;
  if (EdsError error = backend.Usable(Ref, camera)) return error;
  if (Command != EdsCommand_TakePicture) return EdsResult_NotSupported;
  // Triggers only: the photo is announced by the watcher, and a swallowed shot hangs nothing.
  if (const int result = gp_camera_trigger_capture(camera->Handle, backend.Context); result < GP_OK)
    return backend.Failure(*camera, "releasing the shutter", result);
  camera->LastShot = TClock::now();
  backend.Wake.notify_all();
  return EdsResult_Ok;
}

EdsError EdsSendStatusCommand(EdsCameraRef Ref, EdsUInt32 StatusCommand, EdsInt32) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  std::shared_ptr<TCameraObject> camera;
  if (EdsError error = backend.Usable(Ref, camera)) return error;
  // libgphoto2 has no lock of the camera's controls: accepted, nothing to do.
  if (StatusCommand != EdsStatusCommand_UiLock && StatusCommand != EdsStatusCommand_UiUnlock)
    return EdsResult_NotSupported;
  return EdsResult_Ok;
}

EdsError EdsSetCapacity(EdsCameraRef Ref, EdsCapacity Capacity) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  std::shared_ptr<TCameraObject> camera;
  if (EdsError error = backend.Usable(Ref, camera)) return error;
  if (Capacity.NumberOfFreeClusters < 0 || Capacity.BytesPerSector <= 0)
    return EdsResult_InvalidParameter;
  // No counterpart in libgphoto2: the host's space is never asked for.
  return EdsResult_Ok;
}

EdsError EdsSetPropertyEventHandler(EdsCameraRef Ref, EdsUInt32 Event, EdsPropertyEventHandler,
                                    EdsVoid*) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!backend.Find<TCameraObject>(Ref, TKind::Camera)) return EdsResult_InvalidHandle;
  if ((Event & 0xFFFFFF00u) != EdsPropertyEvent_All) return EdsResult_InvalidParameter;
  // Accepted; generic cameras tell no property changes through libgphoto2.
  return EdsResult_Ok;
}

EdsError EdsSetObjectEventHandler(EdsCameraRef Ref, EdsUInt32 Event, EdsObjectEventHandler Handler,
                                  EdsVoid* Context) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  auto camera = backend.Find<TCameraObject>(Ref, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  if ((Event & 0xFFFFFF00u) != EdsObjectEvent_All) return EdsResult_InvalidParameter;
  if (Handler)
    camera->ObjectHandlers[Event] = {Handler, Context};
  else
    camera->ObjectHandlers.erase(Event);
  return EdsResult_Ok;
}

EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32,
                                EdsVoid* Context) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  auto stream = backend.Find<TStream>(Ref, TKind::Stream);
  if (!stream) return EdsResult_InvalidHandle;
  stream->Callback = Callback;
  stream->Context = Context;
  return EdsResult_Ok;
}

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Ref, EdsDirectoryItemInfo* OutInfo) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!OutInfo) return EdsResult_InvalidParameter;
  auto item = backend.Find<TItem>(Ref, TKind::Item);
  if (!item) return EdsResult_InvalidHandle;
  std::memset(OutInfo, 0, sizeof *OutInfo);
  OutInfo->Size = item->Size;
  std::snprintf(OutInfo->FileName, sizeof OutInfo->FileName, "%s", item->Name.c_str());
  return EdsResult_Ok;
}

EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,
                             EdsStreamRef* OutStream) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  if (!FileName || !OutStream) return EdsResult_InvalidParameter;
  if (!backend.Initialized) return EdsResult_InternalError;
  if (CreateDisposition != EdsFileCreate_Always || Access != EdsFileAccess_ReadWrite)
    return EdsResult_NotSupported;
  auto stream = std::make_shared<TStream>();
  stream->Fd = open(FileName, O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0666);
  if (stream->Fd < 0) return EdsResult_FileOpenError;
  stream->Path = FileName;
  *OutStream = backend.Register(std::move(stream));
  return EdsResult_Ok;
}

// The progress callback runs with the backend's lock held: it must not call the SDK.
EdsError EdsDownload(EdsDirectoryItemRef Ref, EdsUInt32 Size, EdsStreamRef StreamRef) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  auto item = backend.Find<TItem>(Ref, TKind::Item);
  auto stream = backend.Find<TStream>(StreamRef, TKind::Stream);
  if (!item || !stream) return EdsResult_InvalidHandle;
  std::shared_ptr<TCameraObject> camera;
  if (EdsError error = backend.Usable(item->Camera, camera)) return error;
  if (camera->Session != item->Session) return EdsResult_SessionNotOpen;
  if (Size == 0 || (item->Size != 0 && Size != item->Size)) return EdsResult_InvalidParameter;

  // libgphoto2 closes the descriptor it is given.
  const int fd = dup(stream->Fd);
  if (fd < 0) return EdsResult_FileIoError;
  CameraFile* file = nullptr;
  if (gp_file_new_from_fd(&file, fd) < GP_OK) {
    close(fd);
    return EdsResult_FileIoError;
  }
  TProgress progress{stream->Callback, stream->Context};
  progress.Tell(0);
  if (progress.Cancel) {
    gp_file_free(file);
    return EdsResult_OperationCancelled;
  }
  gp_context_set_progress_funcs(backend.Context, ProgressStart, ProgressUpdate, ProgressStop,
                                &progress);
  gp_context_set_cancel_func(backend.Context, CancelAsked, &progress);
  const int result = gp_camera_file_get(camera->Handle, item->Folder.c_str(), item->Name.c_str(),
                                        GP_FILE_TYPE_NORMAL, file, backend.Context);
  gp_context_set_progress_funcs(backend.Context, nullptr, nullptr, nullptr, nullptr);
  gp_context_set_cancel_func(backend.Context, nullptr, nullptr);
  gp_file_free(file);

  struct stat written {};
  const bool sized = fstat(stream->Fd, &written) == 0;
  if (result < GP_OK) {
    struct statvfs disk {};
    const bool full = fstatvfs(stream->Fd, &disk) == 0 && disk.f_bavail == 0;
    const EdsError error = backend.Failure(*camera, "downloading " + item->Name, result);
    return full ? EdsResult_DiskFull : error;
  }
  if (!sized || EdsUInt32(written.st_size) != Size) {
    std::cerr << "camera: " << item->Name << " arrived with " << written.st_size << " of " << Size
              << " bytes\n";
    camera->SessionOver = true;
    return EdsResult_CommunicationError;
  }
  item->Downloaded = true;
  progress.Tell(100);
  return EdsResult_Ok;
}

EdsError EdsDownloadComplete(EdsDirectoryItemRef Ref) {
  TBackend& backend = Backend();
  std::lock_guard guard(backend.Lock);
  auto item = backend.Find<TItem>(Ref, TKind::Item);
  if (!item) return EdsResult_InvalidHandle;
  // The camera's copy may be the only one: it goes only after a complete download.
  if (!item->Downloaded) return EdsResult_InvalidParameter;
  if (item->Deleted) return EdsResult_Ok;
  // The photo is safe on the host; the controller keeps the file and says the
  // camera may still hold its copy.
  std::shared_ptr<TCameraObject> camera;
  if (backend.Usable(item->Camera, camera) != EdsResult_Ok || camera->Session != item->Session) {
    std::cerr << "camera: " << item->Name << " stays on the camera: the session is over\n";
    return EdsResult_CommunicationError;
  }
  const int result = gp_camera_file_delete(camera->Handle, item->Folder.c_str(), item->Name.c_str(),
                                           backend.Context);
  if (result < GP_OK) return backend.Failure(*camera, item->Name + " stays on the camera", result);
  item->Deleted = true;
  return EdsResult_Ok;
}

EdsUInt32 EdsRelease(EdsBaseRef Ref) {
  TBackend& backend = Backend();
  std::shared_ptr<TObject> dropped;  // destroyed after the lock is left
  std::lock_guard guard(backend.Lock);
  auto found = backend.Objects.find(Ref);
  if (found == backend.Objects.end()) return CameraBackendReleaseRefused;
  TObject& object = *found->second;
  // A camera's last reference is the SDK's own; it goes when the SDK stops.
  if (object.Kind == TKind::Camera && object.RefCount <= 1) return CameraBackendReleaseRefused;
  if (--object.RefCount > 0) return object.RefCount;
  if (object.Kind == TKind::List)
    for (EdsBaseRef camera : static_cast<TCameraListObject&>(object).Cameras)
      if (auto held = backend.Find<TCameraObject>(camera, TKind::Camera)) --held->RefCount;
  dropped = std::move(found->second);
  backend.Objects.erase(found);
  return 0;
}

}  // namespace Gphoto2Sdk

const TCameraBackend& Gphoto2CameraBackend() {
  static const TCameraBackend table = [] {
    TCameraBackend functions;
#define CORVALET_GPHOTO2_ENTRY(Result, Name, Params, Args, None) functions.Name = &Gphoto2Sdk::Name;
    CORVALET_CAMERA_SDK_FUNCTIONS(CORVALET_GPHOTO2_ENTRY)
#undef CORVALET_GPHOTO2_ENTRY
    return functions;
  }();
  return table;
}
