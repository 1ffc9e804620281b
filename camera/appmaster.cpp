#include "camera/appmaster.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/Paths.h"

namespace {

constexpr char NoCameraName[] = "Camera is not detected!";

// Camera file names are untrusted: a name must stay a plain entry of the target directory.
bool IsPlainFileName(const std::string& Name) {
  if (Name.empty() || Name == "." || Name == "..") return false;
  for (const char c : Name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool IsWatchedProperty(EdsUInt32 PropertyId) {
  return PropertyId == EdsProperty_ShootingMode || PropertyId == EdsProperty_IsoSpeed ||
         PropertyId == EdsProperty_Aperture || PropertyId == EdsProperty_ShutterSpeed;
}

const TCameraEventContext* EventContextOf(EdsVoid* Context) {
  return static_cast<const TCameraEventContext*>(Context);
}

// Runs on the SDK's thread: nothing may escape back into the SDK.
void Post(EdsVoid* Context, UINT Message, WPARAM wParam, LPARAM lParam) noexcept {
  if (Context == nullptr) return;
  try {
    PostMessageA(EventContextOf(Context)->Window, Message, wParam, lParam);
  } catch (...) {
  }
}

// Free names tried beside a taken camera name before the download gives up.
constexpr int MaxNameTries = 9999;

// Name with "_N" before its extension: "IMG_0001.JPG" -> "IMG_0001_2.JPG", which sorts next to it.
std::string NameBeside(const std::string& Name, int N) {
  const auto dot = Name.rfind('.');
  const auto stemEnd = dot == std::string::npos || dot == 0 ? Name.size() : dot;
  return Name.substr(0, stemEnd) + "_" + std::to_string(N) + Name.substr(stemEnd);
}

WPARAM NextSession() {
  static std::atomic<WPARAM> last{0};
  return ++last;
}

// Contexts of SDKs that failed to end: their callbacks might still come, so
// these are kept for the life of the process (and stay reachable).
std::vector<std::unique_ptr<TCameraEventContext>>& Retired() {
  static auto* contexts = new std::vector<std::unique_ptr<TCameraEventContext>>;
  return *contexts;
}

}  // namespace

TAppMaster::TAppMaster(HWND Window)
    : WindowHandle(Window),
      EventContext(
          std::make_unique<TCameraEventContext>(TCameraEventContext{Window, NextSession()})) {
  if (EdsInitializeSDK() != EdsResult_Ok) return;
  SdkInitialized = true;

  EdsCameraListRef list = nullptr;
  EdsUInt32 count = 0;
  EdsError result = EdsGetCameraList(&list);
  if (result == EdsResult_Ok) result = EdsGetChildCount(list, &count);
  // Only whether a reference came back counts, not the result.
  if (result == EdsResult_Ok && count >= 1) EdsGetChildAtIndex(list, 0, &CameraRef);

  if (CameraRef != nullptr) {
    // All zero when the SDK does not fill it: the camera then has an empty name.
    EdsDeviceInfo info{};
    if (EdsGetDeviceInfo(CameraRef, &info) == EdsResult_Ok)
      Legacy = info.DeviceSubType == EdsDeviceSubType_Legacy;
    Descriptor = std::make_unique<TCamera>(info);
  }
  if (list != nullptr) EdsRelease(list);
}

TAppMaster::~TAppMaster() {
  if (!SdkInitialized) return;
  if (SessionOpen) EdsCloseSession(CameraRef);
  Descriptor.reset();
  // The camera reference goes with the SDK.
  if (EdsTerminateSDK() != EdsResult_Ok) Retired().push_back(std::move(EventContext));
}

EdsError TAppMaster::OpenAndConfigure() {
  SessionOpen = false;
  EdsError result = EdsOpenSession(CameraRef);
  if (result == EdsResult_Ok) SessionOpen = true;

  if (Legacy) {
    if (result != EdsResult_Ok) return result;
    return SetSaveToHost();
  }

  if (result == EdsResult_Ok) result = SetSaveToHost();
  bool locked = false;
  if (result == EdsResult_Ok) {
    result = Lock();
    locked = result == EdsResult_Ok;
  }
  if (result == EdsResult_Ok)
    result = EdsSetCapacity(CameraRef, EdsCapacity{EdsHostFreeClusters, EdsHostBytesPerSector, 1});
  if (locked) Unlock();
  return result;
}

template <class TAction>
EdsError TAppMaster::LockedOnLegacy(TAction Action, EdsError* UnlockResult) {
  if (!Legacy) return Action();
  const EdsError lock = Lock();
  if (lock != EdsResult_Ok) return lock;
  const EdsError result = Action();
  const EdsError unlock = Unlock();
  if (UnlockResult != nullptr) *UnlockResult = unlock;
  return result;
}

EdsError TAppMaster::ApplySaveToHost() {
  if (CameraRef == nullptr) return EdsResult_Ok;
  EdsError unlock = EdsResult_Ok;
  const EdsError result = LockedOnLegacy([this] { return SetSaveToHost(); }, &unlock);
  return result != EdsResult_Ok ? result : unlock;
}

EdsError TAppMaster::RegisterHandlers() {
  if (CameraRef == nullptr) return EdsResult_Ok;
  const EdsError result =
      EdsSetPropertyEventHandler(CameraRef, EdsPropertyEvent_All, OnPropertyEvent, Context());
  if (result != EdsResult_Ok) return result;
  return EdsSetObjectEventHandler(CameraRef, EdsObjectEvent_All, OnObjectEvent, Context());
}

std::string TAppMaster::GetCameraName() const {
  return Descriptor ? Descriptor->GetDescription() : NoCameraName;
}

EdsError TAppMaster::TakePicture(EdsError* UnlockResult) {
  if (UnlockResult != nullptr) *UnlockResult = EdsResult_Ok;
  // No shutter was sent: that is no success.
  if (CameraRef == nullptr) return EdsResult_DeviceNotFound;
  return LockedOnLegacy([this] { return EdsSendCommand(CameraRef, EdsCommand_TakePicture, 0); },
                        UnlockResult);
}

EdsError TAppMaster::DownloadItem(EdsDirectoryItemRef Item, const std::string& Directory,
                                  std::string& OutName, EdsError* CompleteResult,
                                  std::string* CameraName) {
  if (CompleteResult != nullptr) *CompleteResult = EdsResult_Ok;
  TItemDownload download;
  EdsError result = ReadItem(Item, download);
  if (result != EdsResult_Ok) {
    EdsRelease(Item);
    return result;
  }
  if (CameraName != nullptr) *CameraName = download.CameraName;
  result = CreateFile(download, Directory);
  if (!download.Name.empty()) OutName = download.Name;
  if (result == EdsResult_Ok) result = DownloadPiece(download, download.Size);
  if (result != EdsResult_Ok) {
    AbandonDownload(download);
    return result;
  }
  // Every byte is written by now: the file is whole whatever the camera answers.
  const EdsError complete = CompleteDownload(download);
  if (CompleteResult != nullptr) *CompleteResult = complete;
  return EdsResult_Ok;
}

EdsError TAppMaster::ReadItem(EdsDirectoryItemRef Item, TItemDownload& Download) {
  Download = {};
  Download.Item = Item;
  EdsDirectoryItemInfo info{};
  const EdsError result = EdsGetDirectoryItemInfo(Item, &info);
  if (result != EdsResult_Ok) return result;
  const std::string name(info.FileName, strnlen(info.FileName, sizeof info.FileName));
  if (!IsPlainFileName(name)) return EdsResult_InvalidFileName;
  Download.CameraName = name;
  Download.Size = info.Size;
  return EdsResult_Ok;
}

EdsError TAppMaster::CreateFile(TItemDownload& Download, const std::string& Directory) {
  std::string directory = Directory;
  if (!directory.ends_with('/')) directory += '/';
  // Created exclusively under a free name: no older file is ever opened, let alone replaced.
  std::string written = Download.CameraName;
  std::string path;
  EdsStreamRef stream = nullptr;
  EdsError result = EdsResult_FileAlreadyExists;
  for (int n = 1; n <= MaxNameTries && result == EdsResult_FileAlreadyExists; ++n) {
    if (n > 1) written = NameBeside(Download.CameraName, n);
    path = directory + written;
    if (PathTaken(path)) continue;
    result = EdsCreateFileStream(path.c_str(), EdsFileCreate_New, EdsFileAccess_ReadWrite, &stream);
  }
  Download.Name = written;
  if (result != EdsResult_Ok) return result;
  Download.Stream = stream;
  Download.Path = path;
  return EdsSetProgressCallback(stream, OnDownloadProgress, EdsProgressOption_Periodically,
                                Context());
}

EdsError TAppMaster::DownloadPiece(TItemDownload& Download, EdsUInt32 Bytes) {
  if (Download.Stream == nullptr) return EdsResult_InvalidHandle;
  Bytes = std::min(Bytes, Download.Size - Download.Done);
  const EdsError result = EdsDownload(Download.Item, Bytes, Download.Stream);
  if (result == EdsResult_Ok) Download.Done += Bytes;
  return result;
}

EdsError TAppMaster::CompleteDownload(TItemDownload& Download) {
  const EdsError complete = EdsDownloadComplete(Download.Item);
  if (Download.Stream != nullptr) EdsRelease(Download.Stream);
  EdsRelease(Download.Item);
  Download.Stream = nullptr;
  Download.Item = nullptr;
  return complete;
}

void TAppMaster::AbandonDownload(TItemDownload& Download) {
  if (Download.Stream != nullptr) EdsRelease(Download.Stream);
  if (Download.Item != nullptr) EdsRelease(Download.Item);
  // The stream was created exclusively: what lies there is this download's own unfinished file.
  if (Download.Stream != nullptr) {
    std::error_code ignored;
    std::filesystem::remove(Download.Path, ignored);
  }
  Download.Stream = nullptr;
  Download.Item = nullptr;
}

EdsVoid* TAppMaster::Context() const {
  return EventContext.get();
}

EdsError TAppMaster::SetSaveToHost() {
  const EdsUInt32 destination = EdsSaveTo_Host;
  return EdsSetPropertyData(CameraRef, EdsProperty_SaveTo, 0, sizeof destination, &destination);
}

EdsError TAppMaster::Lock() {
  return EdsSendStatusCommand(CameraRef, EdsStatusCommand_UiLock, 0);
}

EdsError TAppMaster::Unlock() {
  return EdsSendStatusCommand(CameraRef, EdsStatusCommand_UiUnlock, 0);
}

EdsError OnPropertyEvent(EdsUInt32 Event, EdsUInt32 PropertyId, EdsUInt32, EdsVoid* Context) {
  const bool change =
      Event == EdsPropertyEvent_ValueChanged || Event == EdsPropertyEvent_ValuesAllowedChanged;
  if (change && IsWatchedProperty(PropertyId))
    Post(Context, CameraPropertyMessage, Event, static_cast<LPARAM>(PropertyId));
  return EdsResult_Ok;
}

EdsError OnObjectEvent(EdsUInt32 Event, EdsBaseRef Object, EdsVoid* Context) {
  if (Event == EdsObjectEvent_TransferRequest && Context != nullptr)
    Post(Context, CameraTransferMessage, EventContextOf(Context)->Session,
         reinterpret_cast<LPARAM>(Object));
  return EdsResult_Ok;
}

EdsError OnDownloadProgress(EdsUInt32 Percent, EdsVoid* Context, EdsBool* Cancel) {
  // The flag is only read: the system never cancels a download.
  const EdsBool cancel = Cancel != nullptr ? *Cancel : 0;
  Post(Context, DownloadProgressMessage, Percent, cancel);
  return EdsResult_Ok;
}
