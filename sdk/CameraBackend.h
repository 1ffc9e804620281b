#pragma once

// The camera SDK functions of camera/EDSDKApi.h are defined once, here, and
// forward to the implementation chosen at start: the simulated rig, or real
// cameras through libgphoto2. With none chosen every call fails as if no
// camera were attached.

#include "camera/EDSDKApi.h"

// Every SDK function: X(result type, name, parameter list, argument list,
// result when no implementation is in use).
#define CORVALET_CAMERA_SDK_FUNCTIONS(X)                                                           \
  X(EdsError, EdsInitializeSDK, (), (), EdsResult_DeviceNotFound)                                  \
  X(EdsError, EdsTerminateSDK, (), (), EdsResult_DeviceNotFound)                                   \
  X(EdsError, EdsGetCameraList, (EdsCameraListRef * OutCameraList), (OutCameraList),               \
    EdsResult_DeviceNotFound)                                                                      \
  X(EdsError, EdsGetChildCount, (EdsBaseRef Ref, EdsUInt32 * OutCount), (Ref, OutCount),           \
    EdsResult_DeviceNotFound)                                                                      \
  X(EdsError, EdsGetChildAtIndex, (EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef * OutChild),         \
    (Ref, Index, OutChild), EdsResult_DeviceNotFound)                                              \
  X(EdsError, EdsGetDeviceInfo, (EdsCameraRef Camera, EdsDeviceInfo * OutDeviceInfo),              \
    (Camera, OutDeviceInfo), EdsResult_DeviceNotFound)                                             \
  X(EdsError, EdsOpenSession, (EdsCameraRef Camera), (Camera), EdsResult_DeviceNotFound)           \
  X(EdsError, EdsCloseSession, (EdsCameraRef Camera), (Camera), EdsResult_DeviceNotFound)          \
  X(EdsError, EdsSetPropertyData,                                                                  \
    (EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32 Param, EdsUInt32 DataSize,                     \
     const EdsVoid* Data),                                                                         \
    (Ref, PropertyId, Param, DataSize, Data), EdsResult_DeviceNotFound)                            \
  X(EdsError, EdsSendCommand, (EdsCameraRef Camera, EdsUInt32 Command, EdsInt32 Param),            \
    (Camera, Command, Param), EdsResult_DeviceNotFound)                                            \
  X(EdsError, EdsSendStatusCommand,                                                                \
    (EdsCameraRef Camera, EdsUInt32 StatusCommand, EdsInt32 Param),                                \
    (Camera, StatusCommand, Param), EdsResult_DeviceNotFound)                                      \
  X(EdsError, EdsSetCapacity, (EdsCameraRef Camera, EdsCapacity Capacity), (Camera, Capacity),     \
    EdsResult_DeviceNotFound)                                                                      \
  X(EdsError, EdsSetPropertyEventHandler,                                                          \
    (EdsCameraRef Camera, EdsUInt32 Event, EdsPropertyEventHandler Handler, EdsVoid * Context),    \
    (Camera, Event, Handler, Context), EdsResult_DeviceNotFound)                                   \
  X(EdsError, EdsSetObjectEventHandler,                                                            \
    (EdsCameraRef Camera, EdsUInt32 Event, EdsObjectEventHandler Handler, EdsVoid * Context),      \
    (Camera, Event, Handler, Context), EdsResult_DeviceNotFound)                                   \
  X(EdsError, EdsSetProgressCallback,                                                              \
    (EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32 Option, EdsVoid * Context),           \
    (Ref, Callback, Option, Context), EdsResult_DeviceNotFound)                                    \
  X(EdsError, EdsGetDirectoryItemInfo, (EdsDirectoryItemRef Item, EdsDirectoryItemInfo * OutInfo), \
    (Item, OutInfo), EdsResult_DeviceNotFound)                                                     \
  X(EdsError, EdsCreateFileStream,                                                                 \
    (const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,                          \
     EdsStreamRef* OutStream),                                                                     \
    (FileName, CreateDisposition, Access, OutStream), EdsResult_DeviceNotFound)                    \
  X(EdsError, EdsDownload, (EdsDirectoryItemRef Item, EdsUInt32 Size, EdsStreamRef Stream),        \
    (Item, Size, Stream), EdsResult_DeviceNotFound)                                                \
  X(EdsError, EdsDownloadComplete, (EdsDirectoryItemRef Item), (Item), EdsResult_DeviceNotFound)   \
  X(EdsUInt32, EdsRelease, (EdsBaseRef Ref), (Ref), CameraBackendReleaseRefused)

// What EdsRelease gives when no implementation is in use.
constexpr EdsUInt32 CameraBackendReleaseRefused = 0xFFFFFFFF;

// One implementation of the SDK functions: a pointer to each.
struct TCameraBackend {
#define CORVALET_BACKEND_MEMBER(Result, Name, Params, Args, None) Result(*Name) Params = nullptr;
  CORVALET_CAMERA_SDK_FUNCTIONS(CORVALET_BACKEND_MEMBER)
#undef CORVALET_BACKEND_MEMBER
};

// The SDK functions of the enclosing namespace as one implementation.
#define CORVALET_CAMERA_BACKEND_ENTRY(Result, Name, Params, Args, None) .Name = &Name,
#define CORVALET_CAMERA_BACKEND_HERE \
  TCameraBackend { CORVALET_CAMERA_SDK_FUNCTIONS(CORVALET_CAMERA_BACKEND_ENTRY) }

// From now on the SDK functions call Backend (null: none). Choose before the
// SDK is started: a switch while one is running strands its references.
void UseCameraBackend(const TCameraBackend* Backend);
// The implementation in use, null when none.
const TCameraBackend* CameraBackendInUse();
