#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sdk/CameraBackend.h"
#include "sdk/CameraProblems.h"
#include "sdk/gphoto2/Gphoto2State.h"
#include "sdk/gphoto2/UsbAccess.h"

using namespace Gphoto2Detail;

namespace {

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

}  // namespace

// The SDK functions over libgphoto2; Gphoto2CameraBackend() puts them behind camera/EDSDKApi.h.
namespace Gphoto2Sdk {

EdsError EdsInitializeSDK() {
  InstallExitHook();
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
  return Locked([&](TBackend& backend) {
    if (!OutCameraList) return EdsResult_InvalidParameter;
    if (!backend.Initialized) return EdsResult_InternalError;
    std::vector<EdsBaseRef> cameras;
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
        cameras.push_back(backend.CameraAt(model, port));
      }
      gp_list_free(detected);
    }
    for (const std::string& port : backend.Cameras.NetworkPorts)
      cameras.push_back(backend.CameraAt(Gphoto2NetworkModel, port));
    *OutCameraList = backend.Objects.RegisterList(std::move(cameras));
    return EdsResult_Ok;
  });
}

EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) {
  return Locked([&](TBackend& backend) {
    return backend.Objects.ChildCount(Ref, OutCount);
  });
}

EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  return Locked([&](TBackend& backend) {
    return backend.Objects.ChildAtIndex(Ref, Index, OutChild);
  });
}

EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo) {
  return Locked([&](TBackend& backend) {
    if (!OutDeviceInfo) return EdsResult_InvalidParameter;
    auto camera = backend.Objects.Find<TCamera>(Camera);
    if (!camera) return EdsResult_InvalidHandle;
    std::memset(OutDeviceInfo, 0, sizeof *OutDeviceInfo);
    std::snprintf(OutDeviceInfo->PortName, sizeof OutDeviceInfo->PortName, "%s",
                  camera->Port.c_str());
    std::snprintf(OutDeviceInfo->DeviceDescription, sizeof OutDeviceInfo->DeviceDescription, "%s",
                  camera->Model.c_str());
    // libgphoto2 drives no camera the way a legacy one must be driven.
    OutDeviceInfo->DeviceSubType = 1;
    return EdsResult_Ok;
  });
}

EdsError EdsOpenSession(EdsCameraRef Ref) {
  return Locked([&](TBackend& backend) {
    auto camera = backend.Objects.Find<TCamera>(Ref);
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
      // A code alone leaves the operator guessing: the system tells who holds the camera.
      for (const std::string& line :
           UsbOpenAdvice(result, camera->Model, camera->Port, backend.Cameras.UsbPlaces))
        NoteCameraProblem(line);
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
  });
}

EdsError EdsCloseSession(EdsCameraRef Ref) {
  TBackend& backend = Backend();
  std::unique_lock lock(backend.Lock);
  auto camera = backend.Objects.Find<TCamera>(Ref);
  if (!camera) return EdsResult_InvalidHandle;
  if (!camera->SessionOpen) return EdsResult_SessionNotOpen;
  backend.CloseCamera(*camera, lock);
  return EdsResult_Ok;
}

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32, EdsUInt32 DataSize,
                            const EdsVoid* Data) {
  return OnUsable(Ref, [&](TBackend&, TCamera& camera) {
    if (!Data || DataSize != sizeof(EdsUInt32)) return EdsResult_InvalidParameter;
    if (PropertyId != EdsProperty_SaveTo) return EdsResult_NotSupported;
    EdsUInt32 value;
    std::memcpy(&value, Data, sizeof value);
    if (value < 1 || value > 3) return EdsResult_InvalidParameter;
    // Emulated: the backend takes each new photo to the host and deletes the camera's copy.
    camera.SaveTo = value;
    return EdsResult_Ok;
  });
}

EdsError EdsSendCommand(EdsCameraRef Ref, EdsUInt32 Command, EdsInt32) {
  return OnUsable(Ref, [&](TBackend& backend, TCamera& camera) {
    if (Command != EdsCommand_TakePicture) return EdsResult_NotSupported;
    // Triggers only: the photo is announced by the watcher, and a swallowed shot hangs nothing.
    if (const int result = gp_camera_trigger_capture(camera.Handle, backend.Context); result < GP_OK)
      return backend.Failure(camera, "releasing the shutter", result);
    camera.LastShot = TClock::now();
    backend.Wake.notify_all();
    return EdsResult_Ok;
  });
}

EdsError EdsSendStatusCommand(EdsCameraRef Ref, EdsUInt32 StatusCommand, EdsInt32) {
  return OnUsable(Ref, [&](TBackend&, TCamera&) {
    // libgphoto2 has no lock of the camera's controls: accepted, nothing to do.
    if (StatusCommand != EdsStatusCommand_UiLock && StatusCommand != EdsStatusCommand_UiUnlock)
      return EdsResult_NotSupported;
    return EdsResult_Ok;
  });
}

EdsError EdsSetCapacity(EdsCameraRef Ref, EdsCapacity Capacity) {
  return OnUsable(Ref, [&](TBackend&, TCamera&) {
    if (Capacity.NumberOfFreeClusters < 0 || Capacity.BytesPerSector <= 0)
      return EdsResult_InvalidParameter;
    // No counterpart in libgphoto2: the host's space is never asked for.
    return EdsResult_Ok;
  });
}

EdsError EdsSetPropertyEventHandler(EdsCameraRef Ref, EdsUInt32 Event,
                                    EdsPropertyEventHandler Handler, EdsVoid* Context) {
  return Locked([&](TBackend& backend) {
    auto camera = backend.Objects.Find<TCamera>(Ref);
    if (!camera) return EdsResult_InvalidHandle;
    if ((Event & 0xFFFFFF00u) != EdsPropertyEvent_All) return EdsResult_InvalidParameter;
    // Told from the camera's DevicePropChanged events, as the watcher reads them.
    if (Handler)
      camera->PropertyHandlers[Event] = {Handler, Context};
    else
      camera->PropertyHandlers.erase(Event);
    return EdsResult_Ok;
  });
}

EdsError EdsSetObjectEventHandler(EdsCameraRef Ref, EdsUInt32 Event, EdsObjectEventHandler Handler,
                                  EdsVoid* Context) {
  return Locked([&](TBackend& backend) {
    auto camera = backend.Objects.Find<TCamera>(Ref);
    if (!camera) return EdsResult_InvalidHandle;
    if ((Event & 0xFFFFFF00u) != EdsObjectEvent_All) return EdsResult_InvalidParameter;
    if (Handler)
      camera->ObjectHandlers[Event] = {Handler, Context};
    else
      camera->ObjectHandlers.erase(Event);
    return EdsResult_Ok;
  });
}

EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32,
                                EdsVoid* Context) {
  return Locked([&](TBackend& backend) {
    auto stream = backend.Objects.Find<TStream>(Ref);
    if (!stream) return EdsResult_InvalidHandle;
    stream->Callback = Callback;
    stream->Context = Context;
    return EdsResult_Ok;
  });
}

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Ref, EdsDirectoryItemInfo* OutInfo) {
  return Locked([&](TBackend& backend) {
    if (!OutInfo) return EdsResult_InvalidParameter;
    auto item = backend.Objects.Find<TItem>(Ref);
    if (!item) return EdsResult_InvalidHandle;
    std::memset(OutInfo, 0, sizeof *OutInfo);
    OutInfo->Size = item->Size;
    std::snprintf(OutInfo->FileName, sizeof OutInfo->FileName, "%s", item->Name.c_str());
    return EdsResult_Ok;
  });
}

EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,
                             EdsStreamRef* OutStream) {
  return Locked([&](TBackend& backend) {
    if (!FileName || !OutStream) return EdsResult_InvalidParameter;
    if (!backend.Initialized) return EdsResult_InternalError;
    const bool exclusive = CreateDisposition == EdsFileCreate_New;
    if ((!exclusive && CreateDisposition != EdsFileCreate_Always) ||
        Access != EdsFileAccess_ReadWrite)
      return EdsResult_NotSupported;
    auto stream = std::make_shared<TStream>();
    stream->Fd =
        open(FileName, O_CREAT | (exclusive ? O_EXCL : O_TRUNC) | O_RDWR | O_CLOEXEC, 0666);
    if (stream->Fd < 0)
      return exclusive && errno == EEXIST ? EdsResult_FileAlreadyExists : EdsResult_FileOpenError;
    stream->Path = FileName;
    *OutStream = backend.Objects.Register(std::move(stream));
    return EdsResult_Ok;
  });
}

EdsUInt32 EdsRelease(EdsBaseRef Ref) {
  TBackend& backend = Backend();
  std::shared_ptr<TSdkObject> dropped;  // destroyed after the lock is left
  std::lock_guard guard(backend.Lock);
  return backend.Objects.Release(Ref, CameraBackendReleaseRefused, dropped);
}

const TCameraBackend& Table() {
  static const TCameraBackend table = CORVALET_CAMERA_BACKEND_HERE;
  return table;
}

}  // namespace Gphoto2Sdk

const TCameraBackend& Gphoto2CameraBackend() {
  return Gphoto2Sdk::Table();
}
