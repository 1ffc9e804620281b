#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/ProjectorFeed.h"
#include "sdk/CameraBackend.h"
#include "sdk/sim/SimRigState.h"

namespace SimRigDetail {
namespace {

constexpr std::size_t DownloadChunk = 64 * 1024;
constexpr EdsUInt32 ProgressStep = 10;  // percent between progress calls

// Runs Body on the locked rig once the call is counted and no failure is configured for it.
template <typename TBody>
auto Guarded(std::string_view Function, TBody&& Body) {
  using TResult = std::invoke_result_t<TBody, TRig&>;
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (EdsError failure = rig.Enter(Function)) return TResult(failure);
  return Body(rig);
}

// Guarded, on the camera behind Ref; with NeedsSession its session must be open.
template <typename TBody>
EdsError OnCamera(std::string_view Function, EdsBaseRef Ref, bool NeedsSession, TBody&& Body) {
  return Guarded(Function, [&](TRig& rig) -> EdsError {
    auto camera = rig.Objects.Find<TCamera>(Ref);
    if (!camera) return EdsResult_InvalidHandle;
    if (NeedsSession && !camera->SessionOpen) return EdsResult_SessionNotOpen;
    return Body(rig, *camera);
  });
}

template <typename THandler>
EdsError SetHandler(EdsCameraRef Ref, EdsUInt32 Event, EdsUInt32 Kind, THandler Handler,
                    void* Context, const char* Function) {
  return OnCamera(Function, Ref, false, [&](TRig& rig, TCamera& camera) {
    if ((Event & 0xFFFFFF00u) != Kind) return EdsResult_InvalidParameter;
    if constexpr (std::is_same_v<THandler, EdsPropertyEventHandler>) {
      if (Handler)
        camera.PropertyHandlers[Event] = {Handler, Context};
      else
        camera.PropertyHandlers.erase(Event);
      if (camera.SessionOpen && camera.PropertyEventsOwed) rig.TellPropertiesOnOpen(Ref, camera);
    } else {
      if (Handler)
        camera.ObjectHandlers[Event] = {Handler, Context};
      else
        camera.ObjectHandlers.erase(Event);
    }
    return EdsResult_Ok;
  });
}

EdsError WriteError() {
  return errno == ENOSPC ? EdsResult_DiskFull : EdsResult_FileWriteError;
}

}  // namespace

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
  if (!rig.Initialized) {
    rig.Start();
    rig.Stage = rig.Config.Stage;
    rig.LitSincePose = rig.LastWasLit = false;
  }
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
  return Guarded("EdsGetCameraList", [&](TRig& rig) {
    if (!OutCameraList) return EdsResult_InvalidParameter;
    if (!rig.Initialized) return EdsResult_InternalError;
    *OutCameraList = rig.Objects.RegisterList(rig.Cameras);
    return EdsResult_Ok;
  });
}

EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) {
  return Guarded("EdsGetChildCount",
                 [&](TRig& rig) { return rig.Objects.ChildCount(Ref, OutCount); });
}

EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  return Guarded("EdsGetChildAtIndex",
                 [&](TRig& rig) { return rig.Objects.ChildAtIndex(Ref, Index, OutChild); });
}

EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo) {
  return Guarded("EdsGetDeviceInfo", [&](TRig& rig) {
    if (!OutDeviceInfo) return EdsResult_InvalidParameter;
    auto camera = rig.Objects.Find<TCamera>(Camera);
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
  });
}

EdsError EdsOpenSession(EdsCameraRef Camera) {
  return OnCamera("EdsOpenSession", Camera, false, [&](TRig& rig, TCamera& camera) {
    if (camera.SessionOpen) return EdsResult_Ok;
    // A new session starts from the camera's own settings: pictures stay on its card.
    camera.SessionOpen = true;
    camera.SaveTo = 1;
    camera.UiLocks = 0;
    rig.TellPropertiesOnOpen(Camera, camera);
    return EdsResult_Ok;
  });
}

EdsError EdsCloseSession(EdsCameraRef Camera) {
  return OnCamera("EdsCloseSession", Camera, true, [&](TRig& rig, TCamera& camera) {
    camera.SessionOpen = false;
    camera.PropertyEventsOwed = false;
    // Pictures not yet handed over can no longer reach the host.
    std::erase_if(rig.Tasks, [&](const TTask& task) { return task.Camera == Camera; });
    return EdsResult_Ok;
  });
}

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32, EdsUInt32 DataSize,
                            const EdsVoid* Data) {
  return OnCamera("EdsSetPropertyData", Ref, true, [&](TRig& rig, TCamera& camera) {
    if (!Data || DataSize != sizeof(EdsUInt32)) return EdsResult_InvalidParameter;
    EdsUInt32 value;
    std::memcpy(&value, Data, sizeof value);
    if (PropertyId == EdsProperty_SaveTo) {
      if (value < 1 || value > 3) return EdsResult_InvalidParameter;
      camera.SaveTo = value;
      return EdsResult_Ok;
    }
    if (std::find(std::begin(PropertiesToldOnOpen), std::end(PropertiesToldOnOpen), PropertyId) ==
        std::end(PropertiesToldOnOpen))
      return EdsResult_NotSupported;
    auto [at, added] = camera.Properties.try_emplace(PropertyId, value);
    if (added || at->second != value) {
      at->second = value;
      rig.TellProperty(Ref, EdsPropertyEvent_ValueChanged, PropertyId);
    }
    return EdsResult_Ok;
  });
}

EdsError EdsSendCommand(EdsCameraRef Camera, EdsUInt32 Command, EdsInt32) {
  // The shutter sees what the projector throws at the moment of the command.
  QImage frame = LatestProjectorFrame();
  return OnCamera("EdsSendCommand", Camera, true, [&](TRig& rig, TCamera& camera) {
    if (Command != EdsCommand_TakePicture) return EdsResult_NotSupported;
    const unsigned shot = ++rig.Shots;
    ++rig.Stats.ShotsAccepted;
    const bool allPoints = rig.SeeFrame(frame);
    if (rig.Config.IsSwallowed(shot)) {
      ++rig.Stats.ShotsSwallowed;
      return EdsResult_Ok;
    }
    std::string name = rig.NextPhotoName();
    if ((camera.SaveTo & EdsSaveTo_Host) == 0) {
      ++rig.Stats.ShotsToCard;
      return EdsResult_Ok;
    }
    const double scale = SimExposureScale(camera.Settings, frame);
    // The operator at the camera's dial right after this shot: the notice
    // comes before the photo, the change shows from the next photo on.
    for (const TSimTurn& turn : rig.Config.Turns)
      if (turn.Shot == shot) rig.ChangeSetting(Camera, camera, turn.Setting, turn.Value);
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
    task.Optics.Exposure *= scale;
    task.Shot = shot;
    task.PadTo = rig.Config.PhotoBytes;
    task.Stage = rig.Stage;
    task.TruthDir = rig.Config.TruthDir;
    task.AllPoints = allPoints;
    rig.Schedule(std::move(task));
    return EdsResult_Ok;
  });
}

EdsError EdsSendStatusCommand(EdsCameraRef Camera, EdsUInt32 StatusCommand, EdsInt32) {
  return OnCamera("EdsSendStatusCommand", Camera, true, [&](TRig&, TCamera& camera) {
    if (StatusCommand == EdsStatusCommand_UiLock) {
      ++camera.UiLocks;
    } else if (StatusCommand == EdsStatusCommand_UiUnlock) {
      if (camera.UiLocks > 0) --camera.UiLocks;
    } else {
      return EdsResult_NotSupported;
    }
    return EdsResult_Ok;
  });
}

EdsError EdsSetCapacity(EdsCameraRef Camera, EdsCapacity Capacity) {
  return OnCamera("EdsSetCapacity", Camera, true, [&](TRig&, TCamera& camera) {
    if (Capacity.NumberOfFreeClusters < 0 || Capacity.BytesPerSector <= 0)
      return EdsResult_InvalidParameter;
    camera.Capacity = Capacity;
    camera.CapacitySet = true;
    return EdsResult_Ok;
  });
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

EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32,
                                EdsVoid* Context) {
  return Guarded("EdsSetProgressCallback", [&](TRig& rig) {
    auto stream = rig.Objects.Find<TStream>(Ref);
    if (!stream) return EdsResult_InvalidHandle;
    stream->Callback = Callback;
    stream->Context = Context;
    return EdsResult_Ok;
  });
}

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Item, EdsDirectoryItemInfo* OutInfo) {
  return Guarded("EdsGetDirectoryItemInfo", [&](TRig& rig) {
    if (!OutInfo) return EdsResult_InvalidParameter;
    auto item = rig.Objects.Find<TItem>(Item);
    if (!item) return EdsResult_InvalidHandle;
    std::memset(OutInfo, 0, sizeof *OutInfo);
    OutInfo->Size = EdsUInt32(item->Jpeg->size());
    std::snprintf(OutInfo->FileName, sizeof OutInfo->FileName, "%s", item->FileName.c_str());
    return EdsResult_Ok;
  });
}

EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,
                             EdsStreamRef* OutStream) {
  return Guarded("EdsCreateFileStream", [&](TRig& rig) {
    if (!FileName || !OutStream) return EdsResult_InvalidParameter;
    if (!rig.Initialized) return EdsResult_InternalError;
    const bool exclusive = CreateDisposition == EdsFileCreate_New;
    if ((!exclusive && CreateDisposition != EdsFileCreate_Always) ||
        Access != EdsFileAccess_ReadWrite)
      return EdsResult_NotSupported;
    auto stream = std::make_shared<TStream>();
    stream->File = std::fopen(FileName, exclusive ? "w+bx" : "w+b");
    if (!stream->File)
      return exclusive && errno == EEXIST ? EdsResult_FileAlreadyExists : EdsResult_FileOpenError;
    stream->Path = FileName;
    *OutStream = rig.Objects.Register(std::move(stream));
    return EdsResult_Ok;
  });
}

// A call for less than the whole photo goes on where the previous one on the
// item ended, so a photo can come in pieces; at the rig's bandwidth, in real time.
EdsError EdsDownload(EdsDirectoryItemRef Item, EdsUInt32 Size, EdsStreamRef Stream) {
  std::shared_ptr<TItem> item;
  std::shared_ptr<TStream> stream;
  EdsProgressCallback callback = nullptr;
  void* context = nullptr;
  EdsUInt32 from = 0, total = 0;
  double bandwidth = 0;
  const EdsError refused = Guarded("EdsDownload", [&](TRig& rig) {
    item = rig.Objects.Find<TItem>(Item);
    stream = rig.Objects.Find<TStream>(Stream);
    if (!item || !stream) return EdsResult_InvalidHandle;
    total = EdsUInt32(item->Jpeg->size());
    // The whole photo asked for starts over.
    if (Size == total) item->Read = 0;
    from = item->Read;
    if (Size == 0 || Size > total - from) return EdsResult_InvalidParameter;
    if (stream->Busy) return EdsResult_DeviceBusy;
    stream->Busy = true;
    item->Read += Size;
    callback = stream->Callback;
    context = stream->Context;
    bandwidth = rig.Config.BandwidthMBps;
    return EdsResult_Ok;
  });
  if (refused) return refused;
  // The copies keep item and stream alive even if they are released meanwhile; the
  // progress callback runs on this thread with the rig's lock free.
  EdsBool cancel = false;
  auto cancelled = [&](EdsUInt32 percent) {
    if (callback) callback(percent, context, &cancel);
    return cancel != 0;
  };
  EdsError result = EdsResult_Ok;
  const char* bytes = item->Jpeg->constData() + from;
  const auto begun = TClock::now();
  if (from == 0 && cancelled(0)) result = EdsResult_OperationCancelled;
  EdsUInt32 written = 0, told = from * std::uint64_t(100) / total;
  while (result == EdsResult_Ok && written < Size) {
    const std::size_t chunk = std::min<std::size_t>(DownloadChunk, Size - written);
    if (std::fwrite(bytes + written, 1, chunk, stream->File) != chunk) {
      result = WriteError();
      break;
    }
    written += EdsUInt32(chunk);
    // 1 MB/s is one byte per microsecond.
    if (bandwidth > 0)
      std::this_thread::sleep_until(begun + std::chrono::microseconds(
                                                std::int64_t(double(written) / bandwidth)));
    const EdsUInt32 percent = EdsUInt32(std::uint64_t(from + written) * 100 / total);
    if (from + written < total && percent >= told + ProgressStep) {
      told = percent;
      if (cancelled(percent)) result = EdsResult_OperationCancelled;
    }
  }
  if (result == EdsResult_Ok && std::fflush(stream->File) != 0) result = WriteError();
  // At 100 the transfer is over; a cancel asked then changes nothing.
  if (result == EdsResult_Ok && from + Size == total) cancelled(100);

  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  stream->Busy = false;
  rig.Stats.BytesDownloaded += written;
  if (result == EdsResult_Ok && from + Size == total) rig.LastDownloadPath = stream->Path;
  return result;
}

EdsError EdsDownloadComplete(EdsDirectoryItemRef Item) {
  return Guarded("EdsDownloadComplete", [&](TRig& rig) {
    return rig.Objects.Find<TItem>(Item) ? EdsResult_Ok : EdsResult_InvalidHandle;
  });
}

EdsUInt32 EdsRelease(EdsBaseRef Ref) {
  std::shared_ptr<TSdkObject> dropped;  // destroyed after the lock is left
  return Guarded("EdsRelease", [&](TRig& rig) {
    return rig.Objects.Release(Ref, SimReleaseRefused, dropped);
  });
}

const TCameraBackend& Table() {
  static const TCameraBackend table = CORVALET_CAMERA_BACKEND_HERE;
  return table;
}

}  // namespace SimSdk
}  // namespace SimRigDetail

const TCameraBackend& SimCameraBackend() {
  return SimRigDetail::SimSdk::Table();
}
