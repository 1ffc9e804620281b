#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "check/ScanCheck.h"

// The calibration in force as a scan's report names it, and the photo size it was made for.
struct TCheckCalibration {
  std::string Line;
  int PhotoWidth = 0, PhotoHeight = 0;
};

// The check of a scan while it runs: each photo is decoded on the check's own
// thread as it lands, so the caller never waits, and when the index is written
// the verdict goes to Report and the report files beside the index.
class TScanCheck {
 public:
  // Report gets one line per scan, on the check's thread: the verdict, or why
  // there is none, with the folder of the scan it judged (as IndexWritten got it).
  using TReport = std::function<void(const std::string& Folder, const std::string& Line)>;
  explicit TScanCheck(TReport Report);
  // Drops the work not begun and waits for the photo in hand.
  ~TScanCheck();
  TScanCheck(const TScanCheck&) = delete;
  TScanCheck& operator=(const TScanCheck&) = delete;

  // A new scan with the raster in force and the camera's settings as the log
  // gives them (empty when the camera reports none). An unfinished earlier one
  // is dropped; one whose index was written is still judged.
  void ScanStarted(const TCheckRaster& Raster, const std::string& Settings = {});
  // The calibration in force for the scans started from now on (an empty line: none).
  void SetCalibration(const TCheckCalibration& Calibration);
  // A setting of the camera changed during the running scan (the log's line).
  void SettingChanged(const std::string& Change);
  // Photo (0 dark field .. 16 bit-plane 14) of the running scan is on disk at Path.
  void PhotoSaved(int Photo, const std::string& Path);
  // The running scan's last photo is taken: the object kept still this many seconds.
  void HoldStill(double Seconds);
  // The running scan's index is in Dir: give the verdict.
  void IndexWritten(const std::string& Dir);

  // The last verdict given, empty before any.
  std::optional<TCheckResult> LastResult() const;

 private:
  struct TScan;
  void Work();

  TReport Report;
  mutable std::mutex Lock;
  std::condition_variable Wake;
  std::deque<std::function<void()>> Tasks;
  bool Stop = false;
  std::shared_ptr<TScan> Current;
  std::optional<TCheckResult> Last;
  TCheckCalibration Calibration;
  std::thread Worker;
};
