#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "check/ScanCheck.h"

// The calibration in force: its file, which places the read points in space, the
// line a scan's report names it by, and the photo size it was made for.
struct TCheckCalibration {
  std::string Line;
  int PhotoWidth = 0, PhotoHeight = 0;
  std::string File;
};

// The check of a scan while it runs: each photo is decoded on the check's own
// thread as it lands, so the caller never waits, and when the index is written
// the verdict goes to Report and the report files beside the index.
class TScanCheck {
 public:
  // Report gets one line per scan, on the check's thread: the verdict, or why
  // there is none, with the folder of the scan it judged (as IndexWritten got it);
  // before the first verdict without a calibration, also the line saying so.
  using TReport = std::function<void(const std::string& Folder, const std::string& Line)>;
  explicit TScanCheck(TReport Report);
  // Drops the work not begun and waits for the photo in hand.
  ~TScanCheck();
  TScanCheck(const TScanCheck&) = delete;
  TScanCheck& operator=(const TScanCheck&) = delete;

  // A new scan with the raster in force and the camera's settings as the log
  // gives them (empty when the camera reports none). An unfinished earlier one
  // is dropped; one whose index was written is still judged. With a calibration
  // in force the read points are placed in space too; without, the first scan
  // says once that they need one.
  void ScanStarted(const TCheckRaster& Raster, const std::string& Settings = {});
  // The calibration in force for the scans started from now on (an empty file: none).
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
  // With a calibration: Result's points placed and written beside the index, and
  // their summary (or why not) for the verdict's line. Without: the old 3D files
  // removed, and the first time a line that says they need one.
  std::string PlacePoints(const std::string& Dir, const std::string& CalibrationFile,
                          TCheckResult& Result);

  TReport Report;
  mutable std::mutex Lock;
  std::condition_variable Wake;
  std::deque<std::function<void()>> Tasks;
  bool Stop = false;
  std::shared_ptr<TScan> Current;
  std::optional<TCheckResult> Last;
  TCheckCalibration Calibration;
  bool CalibrationMissingSaid = false;  // the check's thread only
  std::thread Worker;
};
