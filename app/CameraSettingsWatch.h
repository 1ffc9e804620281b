#pragma once

#include <string>
#include <vector>

#include "sdk/CameraSettings.h"

// The connected camera's capture settings as the station watches them: shown
// at connect and at each scan start, and held the same for a scan's photos,
// which are compared with each other pixel by pixel.
class TCameraSettingsWatch {
 public:
  // The connected camera's settings; empty without a session or when the
  // camera offers none.
  static std::vector<TSettingState> Read();
  // "Kamera: manuál, 1/30 s, f/8, ISO 100"; empty when Settings say nothing of exposure.
  static std::string Line(const std::vector<TSettingState>& Settings);

  // Logs the settings in force, if the camera reports any.
  void LogSettings();
  // At a scan's start: logs the settings and remembers them. False, with the
  // reason and the remedy logged, while the camera reports an automatic
  // exposure mode or an automatic ISO; a camera that reports neither may scan.
  bool ScanMayStart();
  // Reads the settings again during the scan (a change notice came, or the
  // last photo is in) and logs each one that changed since it was last
  // seen, naming the last step shot before the change was noticed; returns
  // those log lines.
  std::vector<std::string> CheckDuringScan(int LastStep);
  // The settings last seen, as Line gives them.
  std::string Summary() const { return Line(FLastSeen); }

 private:
  std::vector<TSettingState> FLastSeen;
};
