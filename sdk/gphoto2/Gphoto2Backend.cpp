#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "sdk/gphoto2/Gphoto2State.h"

namespace Gphoto2Detail {
namespace {

// The property that libgphoto2's text of a DevicePropChanged event names
// ("PTP Property 500d changed, ..."), as the property events number it; 0 for
// one the program does not watch.
EdsUInt32 PropertyChanged(const char* Text) {
  unsigned code = 0;
  if (std::sscanf(Text, "PTP Property %x changed", &code) != 1) return 0;
  switch (code) {
    case 0x500E:  // ExposureProgramMode
      return EdsProperty_ShootingMode;
    case 0x500F:  // ExposureIndex
      return EdsProperty_IsoSpeed;
    case 0x5007:  // FNumber
      return EdsProperty_Aperture;
    case 0x500D:  // ExposureTime
      return EdsProperty_ShutterSpeed;
    default:
      return 0;
  }
}

// libgphoto2 returns at once over PTP/IP whatever the timeout, so the watcher paces itself.
constexpr int EventWaitMs = 10;
constexpr auto FastPace = std::chrono::milliseconds(1);   // soon after a shot
constexpr auto SlowPace = std::chrono::milliseconds(20);  // otherwise
constexpr auto ShotWindow = std::chrono::seconds(30);

void ContextError(GPContext*, const char* Text, void*) {
  std::cerr << "camera: " << Text << "\n";
}

void StopAtExit() {
  TBackend& backend = Backend();
  std::unique_lock lock(backend.Lock);
  backend.Exited = true;
  if (backend.Initialized) backend.Shutdown(lock);
}

}  // namespace

void Report(const std::string& What, int Result) {
  std::cerr << "camera: " << What << ": " << gp_result_as_string(Result) << "\n";
}

void KeepDescriptorZero() {
  if (fcntl(0, F_GETFD) != -1) return;
  const int placeholder = open("/dev/null", O_RDONLY);
  // Another thread took 0 in the meantime: nothing to keep.
  if (placeholder > 0) close(placeholder);
}

TBackend& Backend() {
  static TBackend* backend = new TBackend;
  return *backend;
}

void InstallExitHook() {
  static const bool hooked = (std::atexit(StopAtExit), true);
  (void)hooked;
}

EdsError TBackend::Usable(EdsBaseRef Ref, std::shared_ptr<TCamera>& Camera) {
  Camera = Objects.Find<TCamera>(Ref);
  if (!Camera) return EdsResult_InvalidHandle;
  if (!Camera->SessionOpen) return EdsResult_SessionNotOpen;
  if (Camera->SessionOver) return EdsResult_CommunicationError;
  return EdsResult_Ok;
}

EdsError TBackend::Failure(TCamera& Camera, const std::string& What, int Result) {
  Report(What, Result);
  if (Result == GP_ERROR_CAMERA_BUSY) return EdsResult_DeviceBusy;
  if (Result == GP_ERROR_NOT_SUPPORTED) return EdsResult_NotSupported;
  if (!Camera.SessionOver)
    std::cerr << "camera: the session with " << Camera.Model << " is over; reconnect\n";
  Camera.SessionOver = true;
  Wake.notify_all();
  return Result == GP_ERROR_CANCEL ? EdsResult_OperationCancelled : EdsResult_CommunicationError;
}

EdsError TBackend::Start() {
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

void TBackend::CloseCamera(TCamera& Camera, std::unique_lock<std::mutex>& Held) {
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

void TBackend::Shutdown(std::unique_lock<std::mutex>& Held) {
  Initialized = false;
  for (EdsBaseRef ref : std::vector<EdsBaseRef>(Known))
    if (auto camera = Objects.Find<TCamera>(ref)) CloseCamera(*camera, Held);
  auto objects = Objects.TakeAll();
  Known.clear();
  if (Ports) gp_port_info_list_free(Ports);
  Ports = nullptr;
  Held.unlock();
  objects.clear();  // closes the streams' files
  Held.lock();
}

void TBackend::Watch(EdsBaseRef Ref, std::shared_ptr<TWatch> Own) {
  std::unique_lock lock(Lock);
  while (!Own->Stop) {
    auto camera = Objects.Find<TCamera>(Ref);
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
    std::pair<EdsPropertyEventHandler, void*> told{nullptr, nullptr};
    EdsUInt32 property = 0;
    if (type == GP_EVENT_UNKNOWN && data) {
      property = PropertyChanged(static_cast<const char*>(data));
      auto found = camera->PropertyHandlers.find(EdsPropertyEvent_ValueChanged);
      if (found == camera->PropertyHandlers.end())
        found = camera->PropertyHandlers.find(EdsPropertyEvent_All);
      if (property && found != camera->PropertyHandlers.end()) told = found->second;
    }
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
    if (told.first) {
      lock.unlock();
      told.first(EdsPropertyEvent_ValueChanged, property, 0, told.second);
      lock.lock();
    }
    const bool soon = TClock::now() - camera->LastShot < ShotWindow;
    Wake.wait_for(lock, soon ? FastPace : SlowPace);
  }
}

EdsBaseRef TBackend::NewItem(EdsBaseRef CameraRef, TCamera& Camera, const CameraFilePath& Path) {
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
  return Objects.Register(std::move(item));
}

EdsBaseRef TBackend::CameraAt(const std::string& Model, const std::string& Port) {
  for (EdsBaseRef ref : Known)
    if (auto camera = Objects.Find<TCamera>(ref); camera && camera->Port == Port)
      return ref;
  auto camera = std::make_shared<TCamera>();
  camera->Model = Model;
  camera->Port = Port;
  const EdsBaseRef ref = Objects.Register(std::move(camera));
  Known.push_back(ref);
  return ref;
}

}  // namespace Gphoto2Detail

void Gphoto2ConfigureCameras(TGphoto2Cameras Cameras) {
  Gphoto2Detail::TBackend& backend = Gphoto2Detail::Backend();
  std::lock_guard guard(backend.Lock);
  backend.Configured = std::move(Cameras);
}
