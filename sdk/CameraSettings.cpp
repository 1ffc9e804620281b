#include "sdk/CameraSettings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

std::atomic<ICameraSettings*> InUse{nullptr};

// "%g" with a decimal comma, as the log writes numbers.
std::string Decimal(double Number) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", Number);
  std::string result = text;
  for (char& c : result)
    if (c == '.') c = ',';
  return result;
}

// Focus and white balance names as backends give them (libgphoto2's labels in
// lower case), in Czech; a name not listed is shown as the camera gives it.
std::string NameText(const std::string& Name) {
  static const std::pair<const char*, const char*> Czech[] = {
      {"manual", "manuální"},
      {"automatic", "automatické"},
      {"automatic macro", "automatické makro"},
      {"one-push automatic", "automatické jednorázové"},
      {"undefined", "neurčeno"},
      {"daylight", "denní světlo"},
      {"cloudy", "zataženo"},
      {"shade", "stín"},
      {"fluorescent", "zářivka"},
      {"tungsten", "žárovka"},
      {"flash", "blesk"}};
  for (const auto& [name, text] : Czech)
    if (Name == name) return text;
  return Name;
}

}  // namespace

void UseCameraSettings(ICameraSettings* Settings) {
  InUse.store(Settings);
}

ICameraSettings* CameraSettingsInUse() {
  return InUse.load();
}

const char* ExposureModeName(TExposureMode Mode) {
  switch (Mode) {
    case TExposureMode::Manual:
      return "manual";
    case TExposureMode::Automatic:
      return "automatic";
    case TExposureMode::AperturePriority:
      return "aperture priority";
    case TExposureMode::ShutterPriority:
      return "shutter priority";
    case TExposureMode::Other:
      break;
  }
  return "other";
}

TExposureMode ExposureModeNamed(const std::string& Name) {
  for (TExposureMode mode : {TExposureMode::Manual, TExposureMode::Automatic,
                             TExposureMode::AperturePriority, TExposureMode::ShutterPriority})
    if (Name == ExposureModeName(mode)) return mode;
  return TExposureMode::Other;
}

bool IsAutomaticExposure(TExposureMode Mode) {
  return Mode == TExposureMode::Automatic || Mode == TExposureMode::AperturePriority ||
         Mode == TExposureMode::ShutterPriority;
}

std::string SettingText(TCameraSetting Setting, const TSettingValue& Value) {
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      switch (ExposureModeNamed(Value.Name)) {
        case TExposureMode::Manual:
          return "manuál";
        case TExposureMode::Automatic:
          return "automatika";
        case TExposureMode::AperturePriority:
          return "priorita clony";
        case TExposureMode::ShutterPriority:
          return "priorita času";
        case TExposureMode::Other:
          break;
      }
      return Value.Name.empty() || Value.Name == ExposureModeName(TExposureMode::Other)
                 ? "jiný režim"
                 : "jiný režim (" + Value.Name + ")";
    case TCameraSetting::ShutterSpeed: {
      // Bulb and time keep the shutter open as long as the release says: no number.
      if (Value.Name == BulbValue) return "B (bulb)";
      if (Value.Name == TimeValue) return "T (time)";
      if (!Value.Name.empty()) return Value.Name;
      // Below a second cameras name the fraction: 1/30 s.
      if (Value.Number > 0 && Value.Number < 1) {
        const double denominator = 1 / Value.Number;
        if (std::abs(denominator - std::round(denominator)) < 0.05 * denominator)
          return "1/" + std::to_string(std::lround(denominator)) + " s";
      }
      return Decimal(Value.Number) + " s";
    }
    case TCameraSetting::Aperture:
      if (!Value.Name.empty())
        return Value.Name == AutomaticValue ? "automatická clona" : Value.Name;
      return "f/" + Decimal(Value.Number);
    case TCameraSetting::Iso:
      if (Value.Name == AutomaticValue) return "automatické ISO";
      return "ISO " + (Value.Name.empty() ? Decimal(Value.Number) : Value.Name);
    case TCameraSetting::FocusMode:
    case TCameraSetting::WhiteBalance:
    case TCameraSetting::ImageFormat:
      break;
  }
  return Setting == TCameraSetting::ImageFormat ? Value.Name : NameText(Value.Name);
}

const char* SettingLabel(TCameraSetting Setting) {
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      return "režim expozice";
    case TCameraSetting::ShutterSpeed:
      return "čas";
    case TCameraSetting::Aperture:
      return "clona";
    case TCameraSetting::Iso:
      return "ISO";
    case TCameraSetting::FocusMode:
      return "ostření";
    case TCameraSetting::WhiteBalance:
      return "vyvážení bílé";
    case TCameraSetting::ImageFormat:
      return "formát";
  }
  return "";
}

std::optional<TExposureMode> ExposureModeOf(const std::vector<TSettingState>& Settings) {
  for (const TSettingState& state : Settings)
    if (state.Setting == TCameraSetting::ExposureMode) return ExposureModeNamed(state.Value.Name);
  return std::nullopt;
}

bool IsoIsAutomatic(const std::vector<TSettingState>& Settings) {
  return std::any_of(Settings.begin(), Settings.end(), [](const TSettingState& State) {
    return State.Setting == TCameraSetting::Iso && State.Value.Name == AutomaticValue;
  });
}

std::string ExposureSummary(const std::vector<TSettingState>& Settings) {
  std::string summary;
  for (TCameraSetting setting : {TCameraSetting::ExposureMode, TCameraSetting::ShutterSpeed,
                                 TCameraSetting::Aperture, TCameraSetting::Iso}) {
    for (const TSettingState& state : Settings) {
      if (state.Setting != setting) continue;
      if (!summary.empty()) summary += ", ";
      summary += SettingText(setting, state.Value);
    }
  }
  return summary;
}
