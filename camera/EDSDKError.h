#pragma once

// Results of the camera SDK's functions. 0 is success; the rest are the
// failures that the SDK implementations of this program return.

#include "camera/EDSDKType.h"

constexpr EdsError EdsResult_Ok = 0x00000000;
constexpr EdsError EdsResult_InternalError = 0x00000002;
constexpr EdsError EdsResult_NotSupported = 0x00000007;
// A download stopped because its progress callback asked to cancel.
constexpr EdsError EdsResult_OperationCancelled = 0x0000000A;
constexpr EdsError EdsResult_FileIoError = 0x00000020;
constexpr EdsError EdsResult_FileOpenError = 0x00000021;
constexpr EdsError EdsResult_FileWriteError = 0x00000024;
// An exclusive file stream found a file of that name.
constexpr EdsError EdsResult_FileAlreadyExists = 0x00000025;
constexpr EdsError EdsResult_DiskFull = 0x00000029;
constexpr EdsError EdsResult_InvalidParameter = 0x00000060;
constexpr EdsError EdsResult_InvalidHandle = 0x00000061;
constexpr EdsError EdsResult_InvalidFileName = 0x00000064;
constexpr EdsError EdsResult_DeviceNotFound = 0x00000080;
constexpr EdsError EdsResult_DeviceBusy = 0x00000081;
constexpr EdsError EdsResult_SessionNotOpen = 0x00000090;
constexpr EdsError EdsResult_CommunicationError = 0x000000C0;
