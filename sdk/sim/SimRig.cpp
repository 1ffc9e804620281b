#include "sdk/sim/SimRig.h"

#include <QByteArray>
#include <QImage>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "camera/EDSDKApi.h"
#include "platform/ProjectorFeed.h"
#include "sdk/CameraBackend.h"
#include "sdk/sim/SimConfig.h"
#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimScene.h"

namespace {

using TClock = std::chrono::steady_clock;

enum class TKind { List, Camera, Item, Stream };

struct TObject {
  explicit TObject(TKind Kind) : Kind(Kind) {}
  virtual ~TObject() = default;
  const TKind Kind;
  EdsUInt32 RefCount = 1;
};

template <typename THandler>
struct TRegistration {
  THandler Handler = nullptr;
  void* Context = nullptr;
};

struct TCamera : TObject {
  TCamera() : TObject(TKind::Camera) {}
  int Index = 0;
  bool SessionOpen = false;
  EdsUInt32 SaveTo = 1;
  int UiLocks = 0;
  bool CapacitySet = false;
  EdsCapacity Capacity{};
  // Session-open property events not yet told because no handler was registered.
  bool PropertyEventsOwed = false;
  std::map<EdsUInt32, EdsUInt32> Properties;
  // By event code; the "all events" code stands for every event of its kind.
  std::map<EdsUInt32, TRegistration<EdsPropertyEventHandler>> PropertyHandlers;
  std::map<EdsUInt32, TRegistration<EdsObjectEventHandler>> ObjectHandlers;

  template <typename TMap>
  static auto HandlerFor(const TMap& Handlers, EdsUInt32 Event, EdsUInt32 AllEvents) {
    auto found = Handlers.find(Event);
    if (found == Handlers.end()) found = Handlers.find(AllEvents);
    return found == Handlers.end() ? typename TMap::mapped_type{} : found->second;
  }
};

struct TCameraList : TObject {
  TCameraList() : TObject(TKind::List) {}
  std::vector<EdsBaseRef> Cameras;
};

struct TItem : TObject {
  TItem() : TObject(TKind::Item) {}
  std::string FileName;
  std::shared_ptr<const QByteArray> Jpeg;
};

struct TStream : TObject {
  TStream() : TObject(TKind::Stream) {}
  ~TStream() override {
    if (File) std::fclose(File);
  }
  std::FILE* File = nullptr;
  std::string Path;
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
  // One download at a time; a second one on the same stream is refused, not queued.
  bool Busy = false;
};

// Work for the camera's own thread, done when Due has come.
struct TTask {
  enum class TType { Shot, PropertyEvent } Type = TType::Shot;
  TClock::time_point Due;
  EdsBaseRef Camera = nullptr;
  // A shot.
  QImage Frame;
  std::string FileName;
  int Width = 0, Height = 0;
  std::uint32_t Seed = 0;
  TSimOptics Optics;
  unsigned Shot = 0;
  // A property event.
  EdsUInt32 Event = 0, Property = 0;
};

// Each worker has its own stop flag, so a worker left to finish on its own never
// serves a later SDK instance.
struct TWorkerControl {
  bool Stop = false;  // guarded by the rig's lock
  std::atomic<bool> CancelRender{false};
};

constexpr EdsUInt32 PropertiesToldOnOpen[] = {EdsProperty_ShootingMode, EdsProperty_IsoSpeed,
                                              EdsProperty_Aperture, EdsProperty_ShutterSpeed};
constexpr std::size_t DownloadChunk = 64 * 1024;
constexpr EdsUInt32 ProgressStep = 10;  // percent between progress calls

class TRig {
 public:
  std::mutex Lock;

  // Configuration.
  std::optional<std::string> OverrideText;
  std::optional<TSimConfig> OverrideConfig;
  bool ConfigChanged = true;
  std::string EnvironmentText;
  TSimConfig Config;
  unsigned InitializeCalls = 0;
  std::map<std::string, unsigned, std::less<>> Calls;

  // The running SDK instance.
  bool Initialized = false;
  bool Exited = false;
  std::unordered_map<EdsBaseRef, std::shared_ptr<TObject>> Objects;
  std::vector<EdsBaseRef> Cameras;  // each holds one reference of the SDK's own
  unsigned Shots = 0;
  TSimStatistics Stats;
  std::deque<TTask> Tasks;
  std::condition_variable Wake;
  std::thread Worker;
  std::shared_ptr<TWorkerControl> Control;

  // For the whole process.
  std::uintptr_t NextHandle = 1;
  unsigned NextPhotoNumber = 1;
  std::string LastDownloadPath;
  std::unordered_map<std::string, TSimPhoto> Delivered;
  std::deque<std::string> DeliveredOrder;

  void RememberPhoto(const std::string& FileName, const QByteArray& Jpeg) {
    const TSimPhoto photo{std::uint64_t(Jpeg.size()),
                          SimDigest(std::string_view(Jpeg.constData(), Jpeg.size()))};
    // A name seen again replaces its record and keeps its place.
    if (!Delivered.insert_or_assign(FileName, photo).second) return;
    DeliveredOrder.push_back(FileName);
    if (DeliveredOrder.size() > SimPhotosKept) {
      Delivered.erase(DeliveredOrder.front());
      DeliveredOrder.pop_front();
    }
  }

  // Counts the call and gives the failure configured for it, 0 when none.
  EdsError Enter(std::string_view Function) {
    auto found = Calls.find(Function);
    if (found == Calls.end()) found = Calls.emplace(std::string(Function), 0).first;
    return Config.FailureFor(Function, ++found->second);
  }

  // Handles are numbers that are never reused, so a stale one names nothing.
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

  void ReadConfiguration() {
    if (OverrideText) {
      if (!ConfigChanged) return;
      Config = OverrideConfig.value_or(TSimConfig{});
    } else {
      const char* variable = std::getenv(SimEnvironmentVariable);
      const std::string text = variable ? variable : "";
      if (!ConfigChanged && text == EnvironmentText) return;
      EnvironmentText = text;
      std::string error;
      const auto parsed = ParseSimConfig(text, &error);
      if (!parsed) std::cerr << SimEnvironmentVariable << ": " << error << "; the defaults apply\n";
      Config = parsed.value_or(TSimConfig{});
    }
    ConfigChanged = false;
    InitializeCalls = 0;
  }

  void Start() {
    Calls.clear();
    Stats = {};
    Shots = 0;
    for (int index = 0; index < Config.Cameras; ++index) {
      auto camera = std::make_shared<TCamera>();
      camera->Index = index;
      Cameras.push_back(Register(camera));
    }
    Initialized = true;
    Control = std::make_shared<TWorkerControl>();
    Worker = std::thread([this, control = Control] { Run(*control); });
  }

  // Stops the worker and gives up every reference. No callback runs once this returns,
  // unless it is called from a callback itself, which cannot wait for its own thread.
  void Shutdown(std::unique_lock<std::mutex>& Held) {
    Initialized = false;
    Control->Stop = true;
    Control->CancelRender = true;
    Tasks.clear();
    Wake.notify_all();
    std::thread worker = std::move(Worker);
    // Dropped outside the lock: a callback still running may hold a reference.
    auto objects = std::move(Objects);
    Objects.clear();
    Cameras.clear();
    Held.unlock();
    if (worker.get_id() == std::this_thread::get_id())
      worker.detach();
    else if (worker.joinable())
      worker.join();
    objects.clear();
    Held.lock();
  }

  void Schedule(TTask Task) {
    const auto at = std::upper_bound(Tasks.begin(), Tasks.end(), Task.Due,
                                     [](auto due, const TTask& t) { return due < t.Due; });
    Tasks.insert(at, std::move(Task));
    Wake.notify_all();
  }

  void TellProperty(EdsBaseRef Camera, EdsUInt32 Event, EdsUInt32 Property) {
    TTask task;
    task.Type = TTask::TType::PropertyEvent;
    task.Due = TClock::now();
    task.Camera = Camera;
    task.Event = Event;
    task.Property = Property;
    Schedule(std::move(task));
  }

  void TellPropertiesOnOpen(EdsBaseRef Ref, TCamera& Camera) {
    const auto handler = TCamera::HandlerFor(Camera.PropertyHandlers, EdsPropertyEvent_ValueChanged,
                                             EdsPropertyEvent_All);
    Camera.PropertyEventsOwed = handler.Handler == nullptr;
    if (Camera.PropertyEventsOwed) return;
    for (EdsUInt32 property : PropertiesToldOnOpen)
      TellProperty(Ref, EdsPropertyEvent_ValueChanged, property);
  }

  void Run(TWorkerControl& Own) {
    std::unique_lock lock(Lock);
    while (!Own.Stop) {
      if (Tasks.empty()) {
        Wake.wait(lock);
      } else if (TClock::now() < Tasks.front().Due) {
        Wake.wait_until(lock, Tasks.front().Due);
      } else {
        TTask task = std::move(Tasks.front());
        Tasks.pop_front();
        if (task.Type == TTask::TType::Shot)
          Deliver(std::move(task), Own, lock);
        else
          TellNow(task, Own, lock);
      }
    }
  }

  void Deliver(TTask Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
    Held.unlock();
    const QImage scene = SimPhotograph(Task.Frame, Task.Width, Task.Height, Task.Seed, Task.Optics,
                                       Task.Shot, &Own.CancelRender);
    auto jpeg =
        std::make_shared<const QByteArray>(scene.isNull() ? QByteArray() : SimEncodeJpeg(scene));
    Held.lock();
    if (Own.Stop || scene.isNull()) return;
    if (jpeg->isEmpty()) {
      std::cerr << "simulated camera: cannot encode " << Task.FileName << "\n";
      return;
    }
    auto camera = Find<TCamera>(Task.Camera, TKind::Camera);
    if (!camera || !camera->SessionOpen) return;
    const auto handler = TCamera::HandlerFor(camera->ObjectHandlers, EdsObjectEvent_TransferRequest,
                                             EdsObjectEvent_All);
    if (!handler.Handler) return;
    auto item = std::make_shared<TItem>();
    item->FileName = Task.FileName;
    RememberPhoto(Task.FileName, *jpeg);
    item->Jpeg = std::move(jpeg);
    const EdsBaseRef ref = Register(std::move(item));
    ++Stats.PhotosDelivered;
    Held.unlock();
    handler.Handler(EdsObjectEvent_TransferRequest, ref, handler.Context);
    Held.lock();
  }

  void TellNow(const TTask& Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
    auto camera = Find<TCamera>(Task.Camera, TKind::Camera);
    if (Own.Stop || !camera || !camera->SessionOpen) return;
    const auto handler =
        TCamera::HandlerFor(camera->PropertyHandlers, Task.Event, EdsPropertyEvent_All);
    if (!handler.Handler) return;
    Held.unlock();
    handler.Handler(Task.Event, Task.Property, 0, handler.Context);
    Held.lock();
  }

  std::string NextPhotoName() {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04u.JPG", NextPhotoNumber++);
    return name;
  }
};

TRig& Rig() {
  // Never destroyed: a late SDK call from another static's destructor stays safe.
  static TRig* rig = new TRig;
  return *rig;
}

void StopAtExit() {
  TRig& rig = Rig();
  std::unique_lock lock(rig.Lock);
  rig.Exited = true;
  if (rig.Initialized) rig.Shutdown(lock);
}

// Encodes once before the exit hook is registered: the image plugins' globals then
// outlive the hook, which waits for a photo still being encoded at exit.
void InstallExitHook() {
  static const bool installed = [] {
    QImage sample(8, 8, QImage::Format_RGB888);
    sample.fill(Qt::black);
    SimEncodeJpeg(sample);
    std::atexit(StopAtExit);
    return true;
  }();
  (void)installed;
}

template <typename THandler>
EdsError SetHandler(EdsCameraRef Ref, EdsUInt32 Event, EdsUInt32 Kind, THandler Handler,
                    void* Context, const char* Function) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter(Function)) return failure;
  auto camera = rig.Find<TCamera>(Ref, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  if ((Event & 0xFFFFFF00u) != Kind) return EdsResult_InvalidParameter;
  if constexpr (std::is_same_v<THandler, EdsPropertyEventHandler>) {
    if (Handler)
      camera->PropertyHandlers[Event] = {Handler, Context};
    else
      camera->PropertyHandlers.erase(Event);
    if (camera->SessionOpen && camera->PropertyEventsOwed) rig.TellPropertiesOnOpen(Ref, *camera);
  } else {
    if (Handler)
      camera->ObjectHandlers[Event] = {Handler, Context};
    else
      camera->ObjectHandlers.erase(Event);
  }
  return EdsResult_Ok;
}

// The camera behind Ref with an open session, or the error that says why not.
EdsError OpenCamera(TRig& Rig, EdsBaseRef Ref, std::shared_ptr<TCamera>& Camera) {
  Camera = Rig.Find<TCamera>(Ref, TKind::Camera);
  if (!Camera) return EdsResult_InvalidHandle;
  if (!Camera->SessionOpen) return EdsResult_SessionNotOpen;
  return EdsResult_Ok;
}

EdsError WriteError() {
  return errno == ENOSPC ? EdsResult_DiskFull : EdsResult_FileWriteError;
}

}  // namespace

bool SimConfigure(const std::string& Text) {
  std::string error;
  auto parsed = ParseSimConfig(Text, &error);
  if (!parsed) std::cerr << "simulated camera: " << error << "; the defaults apply\n";
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  rig.OverrideText = Text;
  rig.OverrideConfig = std::move(parsed);
  rig.ConfigChanged = true;
  rig.InitializeCalls = 0;
  rig.Calls.clear();
  return rig.OverrideConfig.has_value();
}

void SimUseEnvironment() {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  rig.OverrideText.reset();
  rig.OverrideConfig.reset();
  rig.ConfigChanged = true;
  rig.InitializeCalls = 0;
  rig.Calls.clear();
}

unsigned SimCallCount(std::string_view Function) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (Function == "EdsInitializeSDK") return rig.InitializeCalls;
  auto found = rig.Calls.find(Function);
  return found == rig.Calls.end() ? 0 : found->second;
}

TSimStatistics SimStatistics() {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  TSimStatistics stats = rig.Stats;
  stats.LiveReferences = unsigned(rig.Objects.size());
  return stats;
}

TSimCameraState SimCameraState(int Index) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (Index < 0 || Index >= int(rig.Cameras.size())) return {};
  auto camera = rig.Find<TCamera>(rig.Cameras[Index], TKind::Camera);
  if (!camera) return {};
  return {camera->SessionOpen, camera->SaveTo, camera->UiLocks, camera->CapacitySet,
          camera->Capacity};
}

std::string SimLastDownloadPath() {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  return rig.LastDownloadPath;
}

std::optional<TSimPhoto> SimPhoto(const std::string& FileName) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  const auto found = rig.Delivered.find(FileName);
  if (found == rig.Delivered.end()) return std::nullopt;
  return found->second;
}

std::uint64_t SimDigest(std::string_view Bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : Bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The SDK functions of the rig; SimCameraBackend() puts them behind camera/EDSDKApi.h.
namespace SimSdk {

EdsError EdsInitializeSDK() {
  InstallExitHook();
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (rig.Exited) return EdsResult_InternalError;
  // A running SDK keeps the configuration it started with.
  if (!rig.Initialized) rig.ReadConfiguration();
  if (EdsError failure = rig.Config.FailureFor("EdsInitializeSDK", ++rig.InitializeCalls))
    return failure;
  if (!rig.Initialized) rig.Start();
  return EdsResult_Ok;
}

EdsError EdsTerminateSDK() {
  TRig& rig = Rig();
  std::unique_lock lock(rig.Lock);
  // The SDK stops even when a failure is injected: a rig left running would call back later.
  const EdsError failure = rig.Enter("EdsTerminateSDK");
  if (rig.Initialized) rig.Shutdown(lock);
  return failure;
}

EdsError EdsGetCameraList(EdsCameraListRef* OutCameraList) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsGetCameraList")) return failure;
  if (!OutCameraList) return EdsResult_InvalidParameter;
  if (!rig.Initialized) return EdsResult_InternalError;
  auto list = std::make_shared<TCameraList>();
  for (EdsBaseRef ref : rig.Cameras) {
    if (auto camera = rig.Find<TCamera>(ref, TKind::Camera)) {
      ++camera->RefCount;
      list->Cameras.push_back(ref);
    }
  }
  *OutCameraList = rig.Register(std::move(list));
  return EdsResult_Ok;
}

EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsGetChildCount")) return failure;
  if (!OutCount) return EdsResult_InvalidParameter;
  auto found = rig.Objects.find(Ref);
  if (found == rig.Objects.end()) return EdsResult_InvalidHandle;
  // Only a camera list has children here.
  *OutCount = found->second->Kind == TKind::List
                  ? EdsUInt32(static_cast<TCameraList&>(*found->second).Cameras.size())
                  : 0;
  return EdsResult_Ok;
}

EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsGetChildAtIndex")) return failure;
  if (!OutChild) return EdsResult_InvalidParameter;
  auto found = rig.Objects.find(Ref);
  if (found == rig.Objects.end()) return EdsResult_InvalidHandle;
  if (found->second->Kind != TKind::List) return EdsResult_InvalidParameter;
  const auto& cameras = static_cast<TCameraList&>(*found->second).Cameras;
  if (Index < 0 || Index >= EdsInt32(cameras.size())) return EdsResult_InvalidParameter;
  auto camera = rig.Find<TCamera>(cameras[Index], TKind::Camera);
  if (!camera) return EdsResult_DeviceNotFound;
  ++camera->RefCount;
  *OutChild = cameras[Index];
  return EdsResult_Ok;
}

EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsGetDeviceInfo")) return failure;
  if (!OutDeviceInfo) return EdsResult_InvalidParameter;
  auto camera = rig.Find<TCamera>(Camera, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  std::memset(OutDeviceInfo, 0, sizeof *OutDeviceInfo);
  std::snprintf(OutDeviceInfo->PortName, sizeof OutDeviceInfo->PortName, "sim:%d",
                camera->Index + 1);
  if (camera->Index == 0)
    std::snprintf(OutDeviceInfo->DeviceDescription, sizeof OutDeviceInfo->DeviceDescription,
                  "Simulated camera");
  else
    std::snprintf(OutDeviceInfo->DeviceDescription, sizeof OutDeviceInfo->DeviceDescription,
                  "Simulated camera %d", camera->Index + 1);
  OutDeviceInfo->DeviceSubType = rig.Config.Legacy ? EdsDeviceSubType_Legacy : 1;
  return EdsResult_Ok;
}

EdsError EdsOpenSession(EdsCameraRef Camera) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsOpenSession")) return failure;
  auto camera = rig.Find<TCamera>(Camera, TKind::Camera);
  if (!camera) return EdsResult_InvalidHandle;
  if (camera->SessionOpen) return EdsResult_Ok;
  // A new session starts from the camera's own settings: pictures stay on its card.
  camera->SessionOpen = true;
  camera->SaveTo = 1;
  camera->UiLocks = 0;
  rig.TellPropertiesOnOpen(Camera, *camera);
  return EdsResult_Ok;
}

EdsError EdsCloseSession(EdsCameraRef Camera) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsCloseSession")) return failure;
  std::shared_ptr<TCamera> camera;
  if (EdsError error = OpenCamera(rig, Camera, camera)) return error;
  camera->SessionOpen = false;
  camera->PropertyEventsOwed = false;
  // Pictures not yet handed over can no longer reach the host.
  std::erase_if(rig.Tasks, [&](const TTask& task) { return task.Camera == Camera; });
  return EdsResult_Ok;
}

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32 Param,
                            EdsUInt32 DataSize, const EdsVoid* Data) {
  (void)Param;
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsSetPropertyData")) return failure;
  std::shared_ptr<TCamera> camera;
  if (EdsError error = OpenCamera(rig, Ref, camera)) return error;
  if (!Data || DataSize != sizeof(EdsUInt32)) return EdsResult_InvalidParameter;
  EdsUInt32 value;
  std::memcpy(&value, Data, sizeof value);
  if (PropertyId == EdsProperty_SaveTo) {
    if (value < 1 || value > 3) return EdsResult_InvalidParameter;
    camera->SaveTo = value;
    return EdsResult_Ok;
  }
  if (std::find(std::begin(PropertiesToldOnOpen), std::end(PropertiesToldOnOpen), PropertyId) ==
      std::end(PropertiesToldOnOpen))
    return EdsResult_NotSupported;
  auto [at, added] = camera->Properties.try_emplace(PropertyId, value);
  if (added || at->second != value) {
    at->second = value;
    rig.TellProperty(Ref, EdsPropertyEvent_ValueChanged, PropertyId);
  }
  return EdsResult_Ok;
}

EdsError EdsSendCommand(EdsCameraRef Camera, EdsUInt32 Command, EdsInt32 Param) {
  (void)Param;
  // The shutter sees what the projector throws at the moment of the command.
  QImage frame = LatestProjectorFrame();
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsSendCommand")) return failure;
  std::shared_ptr<TCamera> camera;
  if (EdsError error = OpenCamera(rig, Camera, camera)) return error;
  if (Command != EdsCommand_TakePicture) return EdsResult_NotSupported;
  const unsigned shot = ++rig.Shots;
  ++rig.Stats.ShotsAccepted;
  if (rig.Config.IsSwallowed(shot)) {
    ++rig.Stats.ShotsSwallowed;
    return EdsResult_Ok;
  }
  std::string name = rig.NextPhotoName();
  if ((camera->SaveTo & EdsSaveTo_Host) == 0) {
    ++rig.Stats.ShotsToCard;
    return EdsResult_Ok;
  }
  TTask task;
  task.Due = TClock::now() + std::chrono::milliseconds(rig.Config.LatencyMs);
  task.Camera = Camera;
  task.Frame = std::move(frame);
  task.FileName = std::move(name);
  task.Width = rig.Config.Width;
  task.Height = rig.Config.Height;
  // Each shot has its own noise; a run of shots repeats for the same seed.
  task.Seed = rig.Config.Seed ^ (shot * 0x9E3779B1u);
  task.Optics = rig.Config.Optics;
  task.Shot = shot;
  rig.Schedule(std::move(task));
  return EdsResult_Ok;
}

EdsError EdsSendStatusCommand(EdsCameraRef Camera, EdsUInt32 StatusCommand, EdsInt32 Param) {
  (void)Param;
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsSendStatusCommand")) return failure;
  std::shared_ptr<TCamera> camera;
  if (EdsError error = OpenCamera(rig, Camera, camera)) return error;
  if (StatusCommand == EdsStatusCommand_UiLock) {
    ++camera->UiLocks;
  } else if (StatusCommand == EdsStatusCommand_UiUnlock) {
    if (camera->UiLocks > 0) --camera->UiLocks;
  } else {
    return EdsResult_NotSupported;
  }
  return EdsResult_Ok;
}

EdsError EdsSetCapacity(EdsCameraRef Camera, EdsCapacity Capacity) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsSetCapacity")) return failure;
  std::shared_ptr<TCamera> camera;
  if (EdsError error = OpenCamera(rig, Camera, camera)) return error;
  if (Capacity.NumberOfFreeClusters < 0 || Capacity.BytesPerSector <= 0)
    return EdsResult_InvalidParameter;
  camera->Capacity = Capacity;
  camera->CapacitySet = true;
  return EdsResult_Ok;
}

EdsError EdsSetPropertyEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                    EdsPropertyEventHandler Handler, EdsVoid* Context) {
  return SetHandler(Camera, Event, EdsPropertyEvent_All, Handler, Context,
                    "EdsSetPropertyEventHandler");
}

EdsError EdsSetObjectEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                  EdsObjectEventHandler Handler, EdsVoid* Context) {
  return SetHandler(Camera, Event, EdsObjectEvent_All, Handler, Context,
                    "EdsSetObjectEventHandler");
}

EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32 Option,
                                EdsVoid* Context) {
  (void)Option;
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsSetProgressCallback")) return failure;
  auto stream = rig.Find<TStream>(Ref, TKind::Stream);
  if (!stream) return EdsResult_InvalidHandle;
  stream->Callback = Callback;
  stream->Context = Context;
  return EdsResult_Ok;
}

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Item, EdsDirectoryItemInfo* OutInfo) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsGetDirectoryItemInfo")) return failure;
  if (!OutInfo) return EdsResult_InvalidParameter;
  auto item = rig.Find<TItem>(Item, TKind::Item);
  if (!item) return EdsResult_InvalidHandle;
  std::memset(OutInfo, 0, sizeof *OutInfo);
  OutInfo->Size = EdsUInt32(item->Jpeg->size());
  std::snprintf(OutInfo->FileName, sizeof OutInfo->FileName, "%s", item->FileName.c_str());
  return EdsResult_Ok;
}

EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,
                             EdsStreamRef* OutStream) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsCreateFileStream")) return failure;
  if (!FileName || !OutStream) return EdsResult_InvalidParameter;
  if (!rig.Initialized) return EdsResult_InternalError;
  if (CreateDisposition != EdsFileCreate_Always || Access != EdsFileAccess_ReadWrite)
    return EdsResult_NotSupported;
  auto stream = std::make_shared<TStream>();
  stream->File = std::fopen(FileName, "w+b");
  if (!stream->File) return EdsResult_FileOpenError;
  stream->Path = FileName;
  *OutStream = rig.Register(std::move(stream));
  return EdsResult_Ok;
}

EdsError EdsDownload(EdsDirectoryItemRef Item, EdsUInt32 Size, EdsStreamRef Stream) {
  TRig& rig = Rig();
  std::shared_ptr<TItem> item;
  std::shared_ptr<TStream> stream;
  EdsProgressCallback callback;
  void* context;
  {
    std::lock_guard guard(rig.Lock);
    if (EdsError failure = rig.Enter("EdsDownload")) return failure;
    item = rig.Find<TItem>(Item, TKind::Item);
    stream = rig.Find<TStream>(Stream, TKind::Stream);
    if (!item || !stream) return EdsResult_InvalidHandle;
    if (Size == 0 || Size > EdsUInt32(item->Jpeg->size())) return EdsResult_InvalidParameter;
    if (stream->Busy) return EdsResult_DeviceBusy;
    stream->Busy = true;
    callback = stream->Callback;
    context = stream->Context;
  }
  // The copies keep item and stream alive even if they are released meanwhile; the
  // progress callback runs on this thread with the rig's lock free.
  EdsBool cancel = false;
  auto cancelled = [&](EdsUInt32 percent) {
    if (callback) callback(percent, context, &cancel);
    return cancel != 0;
  };
  EdsError result = EdsResult_Ok;
  const char* bytes = item->Jpeg->constData();
  if (cancelled(0)) result = EdsResult_OperationCancelled;
  EdsUInt32 written = 0, told = 0;
  while (result == EdsResult_Ok && written < Size) {
    const std::size_t chunk = std::min<std::size_t>(DownloadChunk, Size - written);
    if (std::fwrite(bytes + written, 1, chunk, stream->File) != chunk) {
      result = WriteError();
      break;
    }
    written += EdsUInt32(chunk);
    const EdsUInt32 percent = EdsUInt32(std::uint64_t(written) * 100 / Size);
    if (written < Size && percent >= told + ProgressStep) {
      told = percent;
      if (cancelled(percent)) result = EdsResult_OperationCancelled;
    }
  }
  if (result == EdsResult_Ok && std::fflush(stream->File) != 0) result = WriteError();
  // At 100 the transfer is over; a cancel asked then changes nothing.
  if (result == EdsResult_Ok) cancelled(100);

  std::lock_guard guard(rig.Lock);
  stream->Busy = false;
  if (result == EdsResult_Ok) rig.LastDownloadPath = stream->Path;
  return result;
}

EdsError EdsDownloadComplete(EdsDirectoryItemRef Item) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsDownloadComplete")) return failure;
  return rig.Find<TItem>(Item, TKind::Item) ? EdsResult_Ok : EdsResult_InvalidHandle;
}

EdsUInt32 EdsRelease(EdsBaseRef Ref) {
  TRig& rig = Rig();
  std::shared_ptr<TObject> dropped;  // destroyed after the lock is left
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter("EdsRelease")) return failure;
  auto found = rig.Objects.find(Ref);
  if (found == rig.Objects.end()) return SimReleaseRefused;
  TObject& object = *found->second;
  // A camera's last reference is the SDK's own; it goes when the SDK stops.
  if (object.Kind == TKind::Camera && object.RefCount <= 1) return SimReleaseRefused;
  if (--object.RefCount > 0) return object.RefCount;
  if (object.Kind == TKind::List) {
    for (EdsBaseRef camera : static_cast<TCameraList&>(object).Cameras)
      if (auto held = rig.Find<TCamera>(camera, TKind::Camera)) --held->RefCount;
  }
  dropped = std::move(found->second);
  rig.Objects.erase(found);
  return 0;
}

}  // namespace SimSdk

const TCameraBackend& SimCameraBackend() {
  static const TCameraBackend table = [] {
    TCameraBackend functions;
#define CORVALET_SIM_ENTRY(Result, Name, Params, Args, None) functions.Name = &SimSdk::Name;
    CORVALET_CAMERA_SDK_FUNCTIONS(CORVALET_SIM_ENTRY)
#undef CORVALET_SIM_ENTRY
    return functions;
  }();
  return table;
}
