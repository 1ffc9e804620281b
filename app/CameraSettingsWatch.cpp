#include "app/CameraSettingsWatch.h"

#include "camera/appmaster.h"
#include "session/Koordinator.h"

std::vector<TSettingState> TCameraSettingsWatch::Read() {
  std::vector<TSettingState> settings;
  ICameraSettings* source = CameraSettingsInUse();
  if (source == nullptr || Koordinator == nullptr || !Koordinator->Connected ||
      !Koordinator->Controller || !Koordinator->Controller->IsSessionOpen())
    return settings;
  // A camera that cannot tell its settings scans as before; the log simply shows none.
  if (source->List(Koordinator->Controller->GetCameraRef(), settings) != EdsResult_Ok)
    settings.clear();
  return settings;
}

std::string TCameraSettingsWatch::Line(const std::vector<TSettingState>& Settings) {
  const std::string summary = ExposureSummary(Settings);
  return summary.empty() ? std::string() : "Kamera: " + summary;
}

void TCameraSettingsWatch::LogSettings() {
  FLastSeen = Read();
  if (const std::string line = Line(FLastSeen); !line.empty()) Koordinator->Log(line);
}

bool TCameraSettingsWatch::ScanMayStart() {
  LogSettings();
  const auto mode = ExposureModeOf(FLastSeen);
  const bool automaticMode = mode && IsAutomaticExposure(*mode);
  // Automatic ISO meters every photo even in manual mode.
  const bool automaticIso = IsoIsAutomatic(FLastSeen);
  if (!automaticMode && !automaticIso) return true;
  const std::string modeText =
      automaticMode
          ? "expozici (" + SettingText(TCameraSetting::ExposureMode, {0, ExposureModeName(*mode)}) +
                ")"
          : std::string();
  const std::string isoText =
      automaticIso ? "citlivost (" + SettingText(TCameraSetting::Iso, {0, AutomaticValue}) + ")"
                   : std::string();
  Koordinator->Log("Snímání nezačalo: kamera sama volí " + modeText +
                   (automaticMode && automaticIso ? " i " : "") + isoText +
                   ", snímky by se lišily jasem");
  if (automaticMode)
    Koordinator->Log(
        "Nastavte manuální režim v Nastavení kamery (tlačítko \"...\" ve skupině "
        "Kamera) nebo voličem režimů na kameře");
  if (automaticIso)
    Koordinator->Log(
        "Nastavte pevné ISO v Nastavení kamery (tlačítko \"...\" ve skupině "
        "Kamera) nebo na kameře");
  return false;
}

std::vector<std::string> TCameraSettingsWatch::CheckDuringScan(int LastStep) {
  std::vector<std::string> changes;
  const std::vector<TSettingState> now = Read();
  for (const TSettingState& state : now) {
    for (const TSettingState& before : FLastSeen) {
      if (before.Setting != state.Setting || before.Value == state.Value) continue;
      const std::string when =
          LastStep < 0 ? "před step_0" : "po step_" + std::to_string(LastStep);
      changes.push_back("Nastavení kamery změněno " + when + ": " + SettingLabel(state.Setting) +
                        " " + SettingText(state.Setting, before.Value) + " -> " +
                        SettingText(state.Setting, state.Value));
      Koordinator->Log(changes.back());
    }
  }
  if (!now.empty()) FLastSeen = now;
  return changes;
}
