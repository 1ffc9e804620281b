#pragma once

#include <memory>
#include <string>
#include <vector>

#include "camera/appmaster.h"
#include "platform/Messages.h"

class TMemo;

// The scan coordinator: owns the camera controller while one exists, turns its
// SDK results into yes-or-no answers, downloads each transferred photograph,
// keeps the list of captured file names, writes the scan index file and the
// time-stamped activity log. All of it runs on the GUI thread.
//
// The application, the sequencer and the dialogs read and write the fields directly.
class TCanonator {
 public:
  // Logs go to LogPanel; null logs nowhere.
  explicit TCanonator(TMemo* LogPanel);
  // Releases the controller, which closes the camera session and ends the SDK use.
  virtual ~TCanonator();

  TCanonator(const TCanonator&) = delete;
  TCanonator& operator=(const TCanonator&) = delete;

  // Connects to the first camera; camera messages go to MainWindow. True when
  // the camera is ready to shoot and its event handlers are registered. A
  // controller that found a camera stays held after a failed connect.
  bool Connect(HWND MainWindow);
  // Releases the controller, empties CapturedFiles and logs, connected or not.
  void Disconnect();
  // Fires the shutter once; false without a connection or when the camera refused.
  bool Shoot();
  // Downloads the photograph named by a CameraTransferMessage (lParam) into
  // OutputDirectory and records its bare name. False when nothing was saved.
  bool SaveTransferredImage(const TMsg& Msg);
  void AddCapturedFile(const std::string& FileName);
  // Appends "time : Message" to the log panel, which keeps the newest MaxLogLines.
  void Log(const std::string& Message);
  // Replaces OutputDirectory + IndexFileName atomically with the header, the
  // rule and CapturedFiles, then empties CapturedFiles. Throws
  // std::runtime_error naming the path and the reason when the file cannot be
  // written; the previous file and CapturedFiles then stay as they were.
  void WriteScanIndex();

  // The executable's directory when writable, else the user's pictures directory; ends in "/".
  static std::string DefaultOutputDirectory();
  // The same choice for a given executable directory.
  static std::string OutputDirectoryFor(const std::string& ExecutableDirectory);

  static constexpr int MaxLogLines = 24;
  static constexpr char IndexFileName[] = "corvalet.sbf";

  std::unique_ptr<TAppMaster> Controller;
  // Always ends in "/".
  std::string OutputDirectory;
  // Bare names of the photographs downloaded since the list was last emptied, in order.
  std::vector<std::string> CapturedFiles;
  // As the controller reported it at the last Connect; empty before the first.
  std::string CameraName;
  // Not owned: the main window's panel.
  TMemo* LogPanel = nullptr;
  bool Connected = false;
};

// The one coordinator, set by the main window; null before and after its life.
extern TCanonator* Canonator;
