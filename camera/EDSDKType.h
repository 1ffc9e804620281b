#pragma once

// Types, records and constants of the camera SDK, as this program uses them.

#include <cstdint>

extern "C" {

using EdsInt32 = std::int32_t;
using EdsUInt32 = std::uint32_t;
// A 32-bit boolean: 0 is false, anything else true.
using EdsBool = std::int32_t;
using EdsVoid = void;
using EdsError = EdsUInt32;

// Opaque references that the SDK hands out and takes back with EdsRelease.
struct EdsObject;
using EdsBaseRef = EdsObject*;
using EdsCameraListRef = EdsBaseRef;
using EdsCameraRef = EdsBaseRef;
using EdsDirectoryItemRef = EdsBaseRef;
using EdsStreamRef = EdsBaseRef;

// What the SDK tells of a camera.
struct EdsDeviceInfo {
  char PortName[256];           // NUL-terminated
  char DeviceDescription[256];  // NUL-terminated; the camera's name
  EdsUInt32 DeviceSubType;      // 0 marks a legacy camera
};
static_assert(sizeof(EdsDeviceInfo) == 516, "device information record is 516 bytes");

// What the SDK tells of an item (a picture) on the camera.
struct EdsDirectoryItemInfo {
  EdsUInt32 Size;  // bytes
  EdsBool IsFolder;
  EdsUInt32 GroupId;
  EdsUInt32 Option;
  char FileName[256];  // NUL-terminated
};
static_assert(sizeof(EdsDirectoryItemInfo) == 272, "directory item record is 272 bytes");

// Free space on the host, as the camera is told it.
struct EdsCapacity {
  EdsInt32 NumberOfFreeClusters;
  EdsInt32 BytesPerSector;
  EdsBool Reset;
};
static_assert(sizeof(EdsCapacity) == 12, "capacity record is three 32-bit values");

// Callbacks. Context is what was given at registration (the main window's handle).
using EdsPropertyEventHandler = EdsError (*)(EdsUInt32 Event, EdsUInt32 PropertyId,
                                             EdsUInt32 Param, EdsVoid* Context);
using EdsObjectEventHandler = EdsError (*)(EdsUInt32 Event, EdsBaseRef Object,
                                           EdsVoid* Context);
using EdsProgressCallback = EdsError (*)(EdsUInt32 Percent, EdsVoid* Context, EdsBool* Cancel);

}  // extern "C"

// Property ids.
constexpr EdsUInt32 EdsProperty_SaveTo = 0x0B;
constexpr EdsUInt32 EdsProperty_ShootingMode = 0x400;
constexpr EdsUInt32 EdsProperty_IsoSpeed = 0x402;
constexpr EdsUInt32 EdsProperty_Aperture = 0x405;
constexpr EdsUInt32 EdsProperty_ShutterSpeed = 0x406;

// Values of the save-to property.
constexpr EdsUInt32 EdsSaveTo_Host = 2;

// Status commands (parameter 0): lock and unlock the camera's own controls.
constexpr EdsUInt32 EdsStatusCommand_UiLock = 0;
constexpr EdsUInt32 EdsStatusCommand_UiUnlock = 1;

// Commands (parameter 0).
constexpr EdsUInt32 EdsCommand_TakePicture = 0;

// Property events.
constexpr EdsUInt32 EdsPropertyEvent_All = 0x100;
constexpr EdsUInt32 EdsPropertyEvent_ValueChanged = 0x101;
constexpr EdsUInt32 EdsPropertyEvent_ValuesAllowedChanged = 0x102;

// Object events.
constexpr EdsUInt32 EdsObjectEvent_All = 0x200;
// The camera asks the host to transfer a picture just taken.
constexpr EdsUInt32 EdsObjectEvent_TransferRequest = 0x208;

// File stream creation.
constexpr EdsUInt32 EdsFileCreate_New = 0;     // fails when a file of the same name exists
constexpr EdsUInt32 EdsFileCreate_Always = 1;  // a file of the same name is replaced
constexpr EdsUInt32 EdsFileAccess_ReadWrite = 2;

// Progress reporting.
constexpr EdsUInt32 EdsProgressOption_Periodically = 2;

// Free space the host reports: 2147483647 clusters of 4096-byte sectors.
constexpr EdsInt32 EdsHostFreeClusters = 0x7FFFFFFF;
constexpr EdsInt32 EdsHostBytesPerSector = 0x1000;

// Device subtype of a legacy camera.
constexpr EdsUInt32 EdsDeviceSubType_Legacy = 0;
