#pragma once

// The camera SDK's functions. sdk/CameraBackend.h defines them over the
// implementation chosen at start (simulated rig or libgphoto2); the
// controller's tests link a recording one instead.

#include "camera/EDSDKError.h"
#include "camera/EDSDKType.h"

extern "C" {

EdsError EdsInitializeSDK();
EdsError EdsTerminateSDK();

EdsError EdsGetCameraList(EdsCameraListRef* OutCameraList);
EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount);
EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild);
EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo);

EdsError EdsOpenSession(EdsCameraRef Camera);
EdsError EdsCloseSession(EdsCameraRef Camera);

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32 Param,
                            EdsUInt32 DataSize, const EdsVoid* Data);
EdsError EdsSendCommand(EdsCameraRef Camera, EdsUInt32 Command, EdsInt32 Param);
EdsError EdsSendStatusCommand(EdsCameraRef Camera, EdsUInt32 StatusCommand, EdsInt32 Param);
EdsError EdsSetCapacity(EdsCameraRef Camera, EdsCapacity Capacity);

EdsError EdsSetPropertyEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                    EdsPropertyEventHandler Handler, EdsVoid* Context);
EdsError EdsSetObjectEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                  EdsObjectEventHandler Handler, EdsVoid* Context);
EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback,
                                EdsUInt32 Option, EdsVoid* Context);

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Item, EdsDirectoryItemInfo* OutInfo);
// FileName is a NUL-terminated full path.
EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition,
                             EdsUInt32 Access, EdsStreamRef* OutStream);
EdsError EdsDownload(EdsDirectoryItemRef Item, EdsUInt32 Size, EdsStreamRef Stream);
EdsError EdsDownloadComplete(EdsDirectoryItemRef Item);

// Gives a reference back; returns the count of references left.
EdsUInt32 EdsRelease(EdsBaseRef Ref);

}  // extern "C"
