#pragma once

// A recording camera SDK for tests. It implements every function of
// camera/EDSDKApi.h: each call is recorded with its arguments as text, its
// result can be scripted per call, references are distinct objects named
// "list1", "cam2", "item3", "stream1" in the recorded text, and a download
// really writes the item's bytes through its stream into the file.
//
// Unscripted calls behave like a sound SDK: they return 0, or
// EdsResult_InvalidHandle for a null, unknown, released or wrong-kind
// reference. A call whose result is scripted to fail has no effect and leaves
// its out parameters untouched; the one exception is EdsDownload, which still
// writes the first half of the item's bytes, as a transfer broken midway would.
//
// Every function may be called from any thread.

#include <string>
#include <vector>

#include "camera/EDSDKApi.h"

namespace TestSdk {

struct TCall {
  std::string Function;  // "EdsOpenSession"
  std::string Text;      // "EdsOpenSession(cam1)"
  EdsError Result = EdsResult_Ok;
};

// Forgets every object, script, call and callback; names restart at 1.
// Open stream files are closed.
void Reset();

// The next calls of Function, counted from now, return Results in order; later
// calls return 0 again. Replaces what was scripted for Function before.
void Script(const std::string& Function, std::vector<EdsError> Results);
// The Call-th call of Function from now (1 = the next one) returns Result.
void FailOnCall(const std::string& Function, int Call, EdsError Result);
// Every call of Function from now returns Result.
void FailAlways(const std::string& Function, EdsError Result);

EdsDeviceInfo MakeDeviceInfo(const std::string& Description, EdsUInt32 SubType,
                             const std::string& PortName = "usb:001");
// Adds a camera to the list that EdsGetCameraList hands out; cameras keep the
// order in which they were added. SubType 0 is a legacy camera.
EdsCameraRef AddCamera(const EdsDeviceInfo& Info);
EdsCameraRef AddCamera(const std::string& Description, EdsUInt32 SubType = 1);

EdsDirectoryItemInfo MakeItemInfo(const std::string& FileName, EdsUInt32 Size);
// A picture on the camera: EdsGetDirectoryItemInfo gives Info, EdsDownload
// writes Content (at most the size it is asked for; asked for less than all
// of it, each call goes on where the last one ended).
EdsDirectoryItemRef AddItem(const EdsDirectoryItemInfo& Info, std::string Content);
// Same, with the size taken from Content.
EdsDirectoryItemRef AddItem(const std::string& FileName, std::string Content);

// Every call since Reset or ClearCalls, in order.
std::vector<TCall> Calls();
// The same as texts, e.g. "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)": event codes
// and property ids in hex, other numbers in decimal, a callback as "fn" or
// "null", a context as its decimal value, a path in double quotes.
std::vector<std::string> CallTexts();
void ClearCalls();
// Calls of Function since Reset or ClearCalls.
int CallCount(const std::string& Function);

// "cam1" and so on; "null" for no reference.
std::string RefName(EdsBaseRef Ref);
// How often Ref was given to EdsRelease.
int ReleaseCount(EdsBaseRef Ref);
// Streams in the order they were created, released or not.
std::vector<EdsStreamRef> Streams();
std::string StreamPath(EdsStreamRef Stream);
// Streams created and not yet released.
int OpenStreamCount();

// The callbacks registered last, with their contexts (nullptr when none).
EdsPropertyEventHandler PropertyHandler();
EdsVoid* PropertyContext();
EdsObjectEventHandler ObjectHandler();
EdsVoid* ObjectContext();
EdsProgressCallback ProgressCallback();
EdsVoid* ProgressContext();

// Call the registered callback as the SDK would, with its context. Throw
// std::logic_error when no such callback is registered.
EdsError FirePropertyEvent(EdsUInt32 Event, EdsUInt32 PropertyId, EdsUInt32 Param = 0);
EdsError FireObjectEvent(EdsUInt32 Event, EdsBaseRef Object);
EdsError FireProgress(EdsUInt32 Percent, EdsBool Cancel = 0);

}  // namespace TestSdk
