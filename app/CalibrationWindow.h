#pragma once

#include <QWidget>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "geometry/CalibrationRun.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Work that must not hold up the windows, one piece at a time on a thread of
// its own; each piece returns what then runs on the GUI thread.
class TBackgroundWork {
 public:
  TBackgroundWork();
  // Drops the work not begun and waits for the piece under way; its result is dropped.
  ~TBackgroundWork();
  TBackgroundWork(const TBackgroundWork&) = delete;
  TBackgroundWork& operator=(const TBackgroundWork&) = delete;

  void Run(std::function<std::function<void()>()> Work);
  // Pieces queued or under way.
  int Pending() const;

 private:
  class TReceiver;
  void Loop();
  void Deliver();

  std::unique_ptr<TReceiver> FReceiver;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<std::function<void()>()>> FQueue;
  std::deque<std::function<void()>> FDone;
  int FPending = 0;
  bool FStop = false;
  std::thread FWorker;
};

// "Kalibrace": a calibration session. Each view is a scan of the board into a
// folder of the session; after it one line says what the view gives or why it
// cannot be used. "Spočítat" calibrates from the views gathered (as
// corvalet-calibrate does), shows the result and puts it in force.
class TCalibrationWindow : public QWidget {
 public:
  // Object names: "BoardEdit", "ViewButton", "ComputeButton", "CalibrationLog", "CloseButton".
  explicit TCalibrationWindow(QWidget* Parent);

  // Runs on "Nasnímat pohled" with the folder the view's scan must go into;
  // false when the scan did not start (the main window's log says why).
  std::function<bool(const std::string& Folder)> ScanInto;
  // The scan into Folder wrote its index: the view is read and its line shown.
  void ViewScanned(const std::string& Folder);
  // The session's views so far, in order.
  const std::vector<std::string>& Views() const { return FViews; }
  // True while a view is read or the calibration computed.
  bool Busy() const { return FWork.Pending() > 0; }
  // The session's folder, empty before the first view.
  const std::string& SessionFolder() const { return FSession; }

 private:
  void ScanView();
  void Compute();
  // The board given, remembered; nullopt (with the reason shown) when it cannot be read.
  std::optional<TBoard> Board();
  void Show(const std::string& Line);

  QLineEdit* FBoard = nullptr;
  QPushButton* FViewButton = nullptr;
  QPushButton* FComputeButton = nullptr;
  QPlainTextEdit* FLog = nullptr;
  std::string FSession, FScanning;
  std::vector<std::string> FViews;
  TBackgroundWork FWork;
};
