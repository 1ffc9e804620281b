#include "tests/support/TestSdk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace {

enum class TKind { List, Camera, Item, Stream };

struct TObjectRecord {
  TKind Kind = TKind::List;
  std::string Name;
  std::vector<EdsBaseRef> Children;  // list
  EdsDeviceInfo Device{};            // camera
  EdsDirectoryItemInfo Info{};       // item
  std::string Content;               // item
  std::size_t Read = 0;              // item: bytes downloaded by pieces so far
  std::string Path;                  // stream
  std::unique_ptr<std::ofstream> File;
  EdsProgressCallback Progress = nullptr;
  EdsVoid* ProgressContext = nullptr;
};

struct TScript {
  int Calls = 0;  // since Reset
  std::map<int, EdsError> OnCall;
  std::optional<EdsError> Always;
};

struct TState {
  std::recursive_mutex Lock;
  std::vector<std::unique_ptr<TObjectRecord>> Objects;
  std::vector<EdsCameraRef> Cameras;
  std::vector<EdsStreamRef> Streams;
  std::map<TKind, int> Counters;
  std::map<EdsBaseRef, int> Releases;
  std::vector<TestSdk::TCall> Calls;
  std::map<std::string, TScript> Scripts;
  EdsPropertyEventHandler PropertyHandler = nullptr;
  EdsVoid* PropertyContext = nullptr;
  EdsObjectEventHandler ObjectHandler = nullptr;
  EdsVoid* ObjectContext = nullptr;
  EdsProgressCallback ProgressCallback = nullptr;
  EdsVoid* ProgressContext = nullptr;
};

TState& State() {
  static TState state;
  return state;
}

using TGuard = std::lock_guard<std::recursive_mutex>;

EdsBaseRef RefOf(TObjectRecord* Object) {
  return reinterpret_cast<EdsBaseRef>(Object);
}

EdsBaseRef NewObject(TKind Kind, const char* Prefix, TObjectRecord** Out = nullptr) {
  TState& state = State();
  auto object = std::make_unique<TObjectRecord>();
  object->Kind = Kind;
  object->Name = Prefix + std::to_string(++state.Counters[Kind]);
  if (Out != nullptr) *Out = object.get();
  state.Objects.push_back(std::move(object));
  return RefOf(state.Objects.back().get());
}

TObjectRecord* FindAny(EdsBaseRef Ref) {
  for (auto& object : State().Objects)
    if (RefOf(object.get()) == Ref) return object.get();
  return nullptr;
}

// A live object of the given kind, or nullptr.
TObjectRecord* Find(EdsBaseRef Ref, TKind Kind) {
  TObjectRecord* object = FindAny(Ref);
  if (object == nullptr || object->Kind != Kind) return nullptr;
  auto released = State().Releases.find(Ref);
  if (released != State().Releases.end() && released->second > 0) return nullptr;
  return object;
}

std::string Name(EdsBaseRef Ref) {
  if (Ref == nullptr) return "null";
  if (TObjectRecord* object = FindAny(Ref)) return object->Name;
  std::ostringstream text;
  text << "unknown@" << static_cast<const void*>(Ref);
  return text.str();
}

std::string Hex(EdsUInt32 Value) {
  std::ostringstream text;
  text << "0x" << std::hex << Value;
  return text.str();
}

std::string ContextText(EdsVoid* Value) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(Value));
}

template <typename F>
std::string Fn(F Function) {
  return Function != nullptr ? "fn" : "null";
}

// The scripted result of this call of Function, 0 when none.
EdsError Scripted(const std::string& Function) {
  TScript& script = State().Scripts[Function];
  const int call = ++script.Calls;
  auto found = script.OnCall.find(call);
  if (found != script.OnCall.end()) return found->second;
  return script.Always.value_or(EdsResult_Ok);
}

EdsError Record(const std::string& Function, const std::string& Arguments, EdsError Result) {
  State().Calls.push_back({Function, Function + "(" + Arguments + ")", Result});
  return Result;
}

std::string Join(std::initializer_list<std::string> Parts) {
  std::string text;
  for (const std::string& part : Parts) {
    if (!text.empty()) text += ", ";
    text += part;
  }
  return text;
}

void CopyText(char* Field, std::size_t Size, const std::string& Text) {
  std::memset(Field, 0, Size);
  std::memcpy(Field, Text.data(), std::min(Size, Text.size()));
}

// A call on a camera whose only effect is its result.
EdsError CameraCall(const char* Function, EdsCameraRef Camera, const std::string& Arguments) {
  EdsError result = Scripted(Function);
  if (result == EdsResult_Ok && Find(Camera, TKind::Camera) == nullptr)
    result = EdsResult_InvalidHandle;
  return Record(Function, Arguments, result);
}

}  // namespace

namespace TestSdk {

void Reset() {
  TState& state = State();
  TGuard guard(state.Lock);
  state.Objects.clear();  // closes the stream files
  state.Cameras.clear();
  state.Streams.clear();
  state.Counters.clear();
  state.Releases.clear();
  state.Calls.clear();
  state.Scripts.clear();
  state.PropertyHandler = nullptr;
  state.PropertyContext = nullptr;
  state.ObjectHandler = nullptr;
  state.ObjectContext = nullptr;
  state.ProgressCallback = nullptr;
  state.ProgressContext = nullptr;
}

void Script(const std::string& Function, std::vector<EdsError> Results) {
  TGuard guard(State().Lock);
  TScript& script = State().Scripts[Function];
  script.OnCall.clear();
  script.Always.reset();
  for (std::size_t i = 0; i < Results.size(); ++i)
    script.OnCall[script.Calls + 1 + static_cast<int>(i)] = Results[i];
}

void FailOnCall(const std::string& Function, int Call, EdsError Result) {
  TGuard guard(State().Lock);
  TScript& script = State().Scripts[Function];
  script.OnCall[script.Calls + Call] = Result;
}

void FailAlways(const std::string& Function, EdsError Result) {
  TGuard guard(State().Lock);
  State().Scripts[Function].Always = Result;
}

EdsDeviceInfo MakeDeviceInfo(const std::string& Description, EdsUInt32 SubType,
                             const std::string& PortName) {
  EdsDeviceInfo info{};
  CopyText(info.PortName, sizeof info.PortName, PortName);
  CopyText(info.DeviceDescription, sizeof info.DeviceDescription, Description);
  info.DeviceSubType = SubType;
  return info;
}

EdsCameraRef AddCamera(const EdsDeviceInfo& Info) {
  TGuard guard(State().Lock);
  TObjectRecord* camera = nullptr;
  const EdsCameraRef ref = NewObject(TKind::Camera, "cam", &camera);
  camera->Device = Info;
  State().Cameras.push_back(ref);
  return ref;
}

EdsCameraRef AddCamera(const std::string& Description, EdsUInt32 SubType) {
  return AddCamera(MakeDeviceInfo(Description, SubType));
}

EdsDirectoryItemInfo MakeItemInfo(const std::string& FileName, EdsUInt32 Size) {
  EdsDirectoryItemInfo info{};
  info.Size = Size;
  CopyText(info.FileName, sizeof info.FileName, FileName);
  return info;
}

EdsDirectoryItemRef AddItem(const EdsDirectoryItemInfo& Info, std::string Content) {
  TGuard guard(State().Lock);
  TObjectRecord* item = nullptr;
  const EdsDirectoryItemRef ref = NewObject(TKind::Item, "item", &item);
  item->Info = Info;
  item->Content = std::move(Content);
  return ref;
}

EdsDirectoryItemRef AddItem(const std::string& FileName, std::string Content) {
  const auto size = static_cast<EdsUInt32>(Content.size());
  return AddItem(MakeItemInfo(FileName, size), std::move(Content));
}

std::vector<TCall> Calls() {
  TGuard guard(State().Lock);
  return State().Calls;
}

std::vector<std::string> CallTexts() {
  TGuard guard(State().Lock);
  std::vector<std::string> texts;
  for (const TCall& call : State().Calls) texts.push_back(call.Text);
  return texts;
}

void ClearCalls() {
  TGuard guard(State().Lock);
  State().Calls.clear();
}

int CallCount(const std::string& Function) {
  TGuard guard(State().Lock);
  return static_cast<int>(
      std::count_if(State().Calls.begin(), State().Calls.end(),
                    [&](const TCall& call) { return call.Function == Function; }));
}

std::string RefName(EdsBaseRef Ref) {
  TGuard guard(State().Lock);
  return Name(Ref);
}

int ReleaseCount(EdsBaseRef Ref) {
  TGuard guard(State().Lock);
  auto found = State().Releases.find(Ref);
  return found != State().Releases.end() ? found->second : 0;
}

std::vector<EdsStreamRef> Streams() {
  TGuard guard(State().Lock);
  return State().Streams;
}

std::string StreamPath(EdsStreamRef Stream) {
  TGuard guard(State().Lock);
  TObjectRecord* object = FindAny(Stream);
  return object != nullptr && object->Kind == TKind::Stream ? object->Path : std::string();
}

int OpenStreamCount() {
  TGuard guard(State().Lock);
  int open = 0;
  for (EdsStreamRef stream : State().Streams)
    if (Find(stream, TKind::Stream) != nullptr) ++open;
  return open;
}

EdsPropertyEventHandler PropertyHandler() {
  TGuard guard(State().Lock);
  return State().PropertyHandler;
}

EdsVoid* PropertyContext() {
  TGuard guard(State().Lock);
  return State().PropertyContext;
}

EdsObjectEventHandler ObjectHandler() {
  TGuard guard(State().Lock);
  return State().ObjectHandler;
}

EdsVoid* ObjectContext() {
  TGuard guard(State().Lock);
  return State().ObjectContext;
}

EdsProgressCallback ProgressCallback() {
  TGuard guard(State().Lock);
  return State().ProgressCallback;
}

EdsVoid* ProgressContext() {
  TGuard guard(State().Lock);
  return State().ProgressContext;
}

// The callbacks run outside the lock, as a real SDK's would.
EdsError FirePropertyEvent(EdsUInt32 Event, EdsUInt32 PropertyId, EdsUInt32 Param) {
  const EdsPropertyEventHandler handler = PropertyHandler();
  if (handler == nullptr) throw std::logic_error("no property event handler registered");
  return handler(Event, PropertyId, Param, PropertyContext());
}

EdsError FireObjectEvent(EdsUInt32 Event, EdsBaseRef Object) {
  const EdsObjectEventHandler handler = ObjectHandler();
  if (handler == nullptr) throw std::logic_error("no object event handler registered");
  return handler(Event, Object, ObjectContext());
}

EdsError FireProgress(EdsUInt32 Percent, EdsBool Cancel) {
  const EdsProgressCallback callback = ProgressCallback();
  if (callback == nullptr) throw std::logic_error("no progress callback registered");
  return callback(Percent, ProgressContext(), &Cancel);
}

}  // namespace TestSdk

extern "C" {

EdsError EdsInitializeSDK() {
  TGuard guard(State().Lock);
  return Record("EdsInitializeSDK", "", Scripted("EdsInitializeSDK"));
}

EdsError EdsTerminateSDK() {
  TGuard guard(State().Lock);
  return Record("EdsTerminateSDK", "", Scripted("EdsTerminateSDK"));
}

EdsError EdsGetCameraList(EdsCameraListRef* OutCameraList) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsGetCameraList");
  if (result == EdsResult_Ok && OutCameraList == nullptr) result = EdsResult_InvalidParameter;
  if (result == EdsResult_Ok) {
    TObjectRecord* list = nullptr;
    *OutCameraList = NewObject(TKind::List, "list", &list);
    list->Children = State().Cameras;
  }
  return Record("EdsGetCameraList", "", result);
}

EdsError EdsGetChildCount(EdsBaseRef Ref, EdsUInt32* OutCount) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsGetChildCount");
  TObjectRecord* list = Find(Ref, TKind::List);
  if (result == EdsResult_Ok && list == nullptr) result = EdsResult_InvalidHandle;
  if (result == EdsResult_Ok && OutCount == nullptr) result = EdsResult_InvalidParameter;
  if (result == EdsResult_Ok) *OutCount = static_cast<EdsUInt32>(list->Children.size());
  return Record("EdsGetChildCount", Name(Ref), result);
}

EdsError EdsGetChildAtIndex(EdsBaseRef Ref, EdsInt32 Index, EdsBaseRef* OutChild) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsGetChildAtIndex");
  TObjectRecord* list = Find(Ref, TKind::List);
  if (result == EdsResult_Ok && list == nullptr) result = EdsResult_InvalidHandle;
  if (result == EdsResult_Ok &&
      (OutChild == nullptr || Index < 0 || Index >= static_cast<EdsInt32>(list->Children.size())))
    result = EdsResult_InvalidParameter;
  if (result == EdsResult_Ok) *OutChild = list->Children[Index];
  return Record("EdsGetChildAtIndex", Join({Name(Ref), std::to_string(Index)}), result);
}

EdsError EdsGetDeviceInfo(EdsCameraRef Camera, EdsDeviceInfo* OutDeviceInfo) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsGetDeviceInfo");
  TObjectRecord* camera = Find(Camera, TKind::Camera);
  if (result == EdsResult_Ok && camera == nullptr) result = EdsResult_InvalidHandle;
  if (result == EdsResult_Ok && OutDeviceInfo == nullptr) result = EdsResult_InvalidParameter;
  if (result == EdsResult_Ok) *OutDeviceInfo = camera->Device;
  return Record("EdsGetDeviceInfo", Name(Camera), result);
}

EdsError EdsOpenSession(EdsCameraRef Camera) {
  TGuard guard(State().Lock);
  return CameraCall("EdsOpenSession", Camera, Name(Camera));
}

EdsError EdsCloseSession(EdsCameraRef Camera) {
  TGuard guard(State().Lock);
  return CameraCall("EdsCloseSession", Camera, Name(Camera));
}

EdsError EdsSetPropertyData(EdsBaseRef Ref, EdsUInt32 PropertyId, EdsInt32 Param,
                            EdsUInt32 DataSize, const EdsVoid* Data) {
  TGuard guard(State().Lock);
  std::string value = "null";
  if (Data != nullptr && DataSize == sizeof(EdsUInt32)) {
    EdsUInt32 number = 0;
    std::memcpy(&number, Data, sizeof number);
    value = std::to_string(number);
  } else if (Data != nullptr) {
    value = std::to_string(DataSize) + " bytes";
  }
  return CameraCall(
      "EdsSetPropertyData", Ref,
      Join({Name(Ref), Hex(PropertyId), std::to_string(Param), std::to_string(DataSize), value}));
}

EdsError EdsSendCommand(EdsCameraRef Camera, EdsUInt32 Command, EdsInt32 Param) {
  TGuard guard(State().Lock);
  return CameraCall("EdsSendCommand", Camera,
                    Join({Name(Camera), std::to_string(Command), std::to_string(Param)}));
}

EdsError EdsSendStatusCommand(EdsCameraRef Camera, EdsUInt32 StatusCommand, EdsInt32 Param) {
  TGuard guard(State().Lock);
  return CameraCall("EdsSendStatusCommand", Camera,
                    Join({Name(Camera), std::to_string(StatusCommand), std::to_string(Param)}));
}

EdsError EdsSetCapacity(EdsCameraRef Camera, EdsCapacity Capacity) {
  TGuard guard(State().Lock);
  return CameraCall(
      "EdsSetCapacity", Camera,
      Join({Name(Camera), std::to_string(Capacity.NumberOfFreeClusters),
            std::to_string(Capacity.BytesPerSector), std::to_string(Capacity.Reset)}));
}

EdsError EdsSetPropertyEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                    EdsPropertyEventHandler Handler, EdsVoid* Context) {
  TGuard guard(State().Lock);
  const EdsError result =
      CameraCall("EdsSetPropertyEventHandler", Camera,
                 Join({Name(Camera), Hex(Event), Fn(Handler), ContextText(Context)}));
  if (result == EdsResult_Ok) {
    State().PropertyHandler = Handler;
    State().PropertyContext = Context;
  }
  return result;
}

EdsError EdsSetObjectEventHandler(EdsCameraRef Camera, EdsUInt32 Event,
                                  EdsObjectEventHandler Handler, EdsVoid* Context) {
  TGuard guard(State().Lock);
  const EdsError result =
      CameraCall("EdsSetObjectEventHandler", Camera,
                 Join({Name(Camera), Hex(Event), Fn(Handler), ContextText(Context)}));
  if (result == EdsResult_Ok) {
    State().ObjectHandler = Handler;
    State().ObjectContext = Context;
  }
  return result;
}

EdsError EdsSetProgressCallback(EdsBaseRef Ref, EdsProgressCallback Callback, EdsUInt32 Option,
                                EdsVoid* Context) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsSetProgressCallback");
  TObjectRecord* stream = Find(Ref, TKind::Stream);
  if (result == EdsResult_Ok && stream == nullptr) result = EdsResult_InvalidHandle;
  if (result == EdsResult_Ok) {
    stream->Progress = Callback;
    stream->ProgressContext = Context;
    State().ProgressCallback = Callback;
    State().ProgressContext = Context;
  }
  return Record("EdsSetProgressCallback",
                Join({Name(Ref), Fn(Callback), std::to_string(Option), ContextText(Context)}),
                result);
}

EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef Item, EdsDirectoryItemInfo* OutInfo) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsGetDirectoryItemInfo");
  TObjectRecord* item = Find(Item, TKind::Item);
  if (result == EdsResult_Ok && item == nullptr) result = EdsResult_InvalidHandle;
  if (result == EdsResult_Ok && OutInfo == nullptr) result = EdsResult_InvalidParameter;
  if (result == EdsResult_Ok) *OutInfo = item->Info;
  return Record("EdsGetDirectoryItemInfo", Name(Item), result);
}

EdsError EdsCreateFileStream(const char* FileName, EdsUInt32 CreateDisposition, EdsUInt32 Access,
                             EdsStreamRef* OutStream) {
  TGuard guard(State().Lock);
  const std::string path = FileName != nullptr ? FileName : "";
  EdsError result = Scripted("EdsCreateFileStream");
  if (result == EdsResult_Ok && (FileName == nullptr || OutStream == nullptr))
    result = EdsResult_InvalidParameter;
  const bool exclusive = CreateDisposition == EdsFileCreate_New;
  if (result == EdsResult_Ok && !exclusive && CreateDisposition != EdsFileCreate_Always)
    result = EdsResult_NotSupported;
  if (result == EdsResult_Ok && exclusive) {
    const int made = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (made >= 0) close(made);
    if (made < 0) result = errno == EEXIST ? EdsResult_FileAlreadyExists : EdsResult_FileOpenError;
  }
  std::unique_ptr<std::ofstream> file;
  if (result == EdsResult_Ok) {
    file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) result = EdsResult_FileOpenError;
  }
  if (result == EdsResult_Ok) {
    TObjectRecord* stream = nullptr;
    *OutStream = NewObject(TKind::Stream, "stream", &stream);
    stream->Path = path;
    stream->File = std::move(file);
    State().Streams.push_back(*OutStream);
  }
  const std::string quoted = FileName != nullptr ? "\"" + path + "\"" : "null";
  return Record("EdsCreateFileStream",
                Join({quoted, std::to_string(CreateDisposition), std::to_string(Access)}), result);
}

EdsError EdsDownload(EdsDirectoryItemRef Item, EdsUInt32 Size, EdsStreamRef Stream) {
  TGuard guard(State().Lock);
  const EdsError scripted = Scripted("EdsDownload");
  TObjectRecord* item = Find(Item, TKind::Item);
  TObjectRecord* stream = Find(Stream, TKind::Stream);
  EdsError result = scripted;
  if (item != nullptr && stream != nullptr) {
    // Less than the whole goes on where the last piece ended.
    if (Size >= item->Content.size()) item->Read = 0;
    std::size_t bytes = std::min<std::size_t>(Size, item->Content.size() - item->Read);
    // A transfer that fails breaks off halfway.
    if (scripted != EdsResult_Ok) bytes /= 2;
    stream->File->write(item->Content.data() + item->Read, static_cast<std::streamsize>(bytes));
    if (scripted == EdsResult_Ok) item->Read += bytes;
    stream->File->flush();
    if (result == EdsResult_Ok && !*stream->File) result = EdsResult_FileWriteError;
  } else if (result == EdsResult_Ok) {
    result = EdsResult_InvalidHandle;
  }
  return Record("EdsDownload", Join({Name(Item), std::to_string(Size), Name(Stream)}), result);
}

EdsError EdsDownloadComplete(EdsDirectoryItemRef Item) {
  TGuard guard(State().Lock);
  EdsError result = Scripted("EdsDownloadComplete");
  if (result == EdsResult_Ok && Find(Item, TKind::Item) == nullptr)
    result = EdsResult_InvalidHandle;
  return Record("EdsDownloadComplete", Name(Item), result);
}

EdsUInt32 EdsRelease(EdsBaseRef Ref) {
  TGuard guard(State().Lock);
  if (TObjectRecord* stream = Find(Ref, TKind::Stream)) stream->File.reset();
  ++State().Releases[Ref];
  Record("EdsRelease", Name(Ref), EdsResult_Ok);
  return 0;
}

}  // extern "C"
