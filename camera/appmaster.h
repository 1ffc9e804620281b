#pragma once

#include <memory>
#include <string>

#include "camera/CameraMessages.h"
#include "camera/EDSDKApi.h"
#include "camera/camera.h"

// What the SDK's callbacks get as context: the window that takes the camera
// messages and the SDK session whose transfer messages they are.
struct TCameraEventContext {
  HWND Window = NullWindow;
  WPARAM Session = 0;
};

// A photograph on its way from the camera into a file, in one piece or several.
struct TItemDownload {
  EdsDirectoryItemRef Item = nullptr;
  EdsStreamRef Stream = nullptr;
  // The camera's own name for the photograph, and its size in bytes as the camera told it.
  std::string CameraName;
  EdsUInt32 Size = 0;
  // The bare name and full path it gets on the host, once its file is made.
  std::string Name;
  std::string Path;
  // Bytes written so far.
  EdsUInt32 Done = 0;
};

// The one place that talks to the camera SDK: finds the first camera, opens and
// sets up its session, fires the shutter and downloads new pictures. Every
// operation returns the first non-zero SDK result, or 0.
class TAppMaster {
 public:
  // Starts the SDK and takes the first listed camera. Camera messages go to Window.
  explicit TAppMaster(HWND Window);
  // Closes an open session and ends the SDK use; the callbacks' context lives
  // until the SDK has ended, as they may run on its thread until then.
  virtual ~TAppMaster();

  TAppMaster(const TAppMaster&) = delete;
  TAppMaster& operator=(const TAppMaster&) = delete;

  EdsError OpenAndConfigure();
  // Sets the save-to destination to the host again.
  EdsError ApplySaveToHost();
  // Registers the property and object event handlers with the window as context.
  EdsError RegisterHandlers();
  std::string GetCameraName() const;
  // Present only when a camera was found; the controller keeps it.
  TCamera* GetDescriptor() const { return Descriptor.get(); }
  // Gives the shutter's result (on a legacy camera also its lock's). The
  // legacy unlock after the command goes to UnlockResult when given: a failed
  // unlock does not undo a shot the camera accepted. Without a camera nothing
  // is sent and the result is EdsResult_DeviceNotFound.
  EdsError TakePicture(EdsError* UnlockResult = nullptr);
  // Writes Item into Directory and releases Item, whatever happens. The file
  // is created exclusively under the camera's file name or, when that is
  // taken, under the first free "stem_N.ext" (N from 2), so no older file is
  // ever replaced. OutName gets the bare name chosen once the item's record
  // was read and its name accepted; a refused name (empty, "." or "..", or
  // holding a path separator or a control character) leaves OutName as it was
  // and gives EdsResult_InvalidFileName. A failed download removes only its
  // own new file. A download that wrote every byte gives 0 and keeps its file
  // even when the SDK's download-complete call fails; that call's result goes
  // to CompleteResult when given, and the camera's own name for the file to
  // CameraName.
  EdsError DownloadItem(EdsDirectoryItemRef Item, const std::string& Directory,
                        std::string& OutName, EdsError* CompleteResult = nullptr,
                        std::string* CameraName = nullptr);

  // The same in steps, so that a photograph can come in pieces between other
  // work on the camera. ReadItem takes Item into Download with its record
  // (a refused name as above); nothing is released, whatever happens.
  EdsError ReadItem(EdsDirectoryItemRef Item, TItemDownload& Download);
  // Creates the file in Directory as DownloadItem does; Name and Path are set
  // once a name was chosen.
  EdsError CreateFile(TItemDownload& Download, const std::string& Directory);
  // Writes the next Bytes of the photograph (at most what is left) into its file.
  EdsError DownloadPiece(TItemDownload& Download, EdsUInt32 Bytes);
  // Once every byte is written: tells the camera the download is done and
  // releases the stream and the item; gives that call's result.
  EdsError CompleteDownload(TItemDownload& Download);
  // Gives the download up: the unfinished file goes, the stream and the item
  // are released, the camera keeps its copy.
  void AbandonDownload(TItemDownload& Download);

  HWND GetWindowHandle() const { return WindowHandle; }
  bool IsSdkInitialized() const { return SdkInitialized; }
  bool IsSessionOpen() const { return SessionOpen; }
  bool IsLegacy() const { return Legacy; }
  EdsCameraRef GetCameraRef() const { return CameraRef; }
  // This controller's SDK session: its transfer messages carry it in wParam.
  // Never 0 and never repeated within the process.
  WPARAM GetSession() const { return EventContext->Session; }

 private:
  EdsVoid* Context() const;
  EdsError SetSaveToHost();
  EdsError Lock();
  EdsError Unlock();
  // Action's result; a legacy camera's controls are locked around it (a failed
  // lock gives its result and runs nothing), the unlock's result goes to UnlockResult.
  template <class TAction>
  EdsError LockedOnLegacy(TAction Action, EdsError* UnlockResult);

  HWND WindowHandle = NullWindow;
  std::unique_ptr<TCameraEventContext> EventContext;
  bool SdkInitialized = false;
  std::unique_ptr<TCamera> Descriptor;
  bool SessionOpen = false;
  bool Legacy = false;
  EdsCameraRef CameraRef = nullptr;
};

// The SDK's callbacks. Context is a TCameraEventContext. Each only posts a
// camera message to its window and returns 0, also when the window is gone.
// A transfer message carries the session in wParam and the item in lParam.
extern "C" {
EdsError OnPropertyEvent(EdsUInt32 Event, EdsUInt32 PropertyId, EdsUInt32 Param, EdsVoid* Context);
EdsError OnObjectEvent(EdsUInt32 Event, EdsBaseRef Object, EdsVoid* Context);
EdsError OnDownloadProgress(EdsUInt32 Percent, EdsVoid* Context, EdsBool* Cancel);
}
