#pragma once

// The camera's capture settings in the station's own plain terms, beside the
// SDK functions: each backend that can read or set them puts its
// implementation in use, as it puts its SDK functions in use
// (sdk/CameraBackend.h). No maker's codes travel through here.

#include <optional>
#include <string>
#include <vector>

#include "camera/EDSDKError.h"
#include "camera/EDSDKType.h"

enum class TCameraSetting {
  ExposureMode,  // Name: one of the TExposureMode names
  ShutterSpeed,  // Number: seconds; Name "bulb" or "time" when the shutter stays open at will
  Aperture,      // Number: f-number
  Iso,           // Number: ISO speed; Name "automatic" when the camera meters it per photo
  FocusMode,     // Name: "manual", "automatic", ...
  WhiteBalance,  // Name: "automatic", "daylight", "tungsten", ...
  ImageFormat,   // Name: "JPEG", ...
};

enum class TExposureMode { Manual, Automatic, AperturePriority, ShutterPriority, Other };

// One value of a setting: Number for shutter speed, aperture and ISO, Name for the rest
// and for the values of those three that have no number (automatic ISO, bulb).
struct TSettingValue {
  double Number = 0;
  std::string Name;
  bool operator==(const TSettingValue&) const = default;
};

// A setting as the camera reports it.
struct TSettingState {
  TCameraSetting Setting = TCameraSetting::ExposureMode;
  TSettingValue Value;
  // The values the camera allows now; empty when it does not say.
  std::vector<TSettingValue> Allowed;
  bool Writable = true;
};

class ICameraSettings {
 public:
  virtual ~ICameraSettings() = default;
  // The settings Camera (an open session) offers, in TCameraSetting order.
  virtual EdsError List(EdsCameraRef Camera, std::vector<TSettingState>& Out) = 0;
  // One setting; EdsResult_NotSupported when the camera does not offer it.
  virtual EdsError Get(EdsCameraRef Camera, TCameraSetting Setting, TSettingState& Out) = 0;
  // A value the camera refuses gives EdsResult_InvalidParameter (or its own
  // error) and leaves the setting as it was.
  virtual EdsError Set(EdsCameraRef Camera, TCameraSetting Setting, const TSettingValue& Value) = 0;
};

// From now on CameraSettingsInUse gives Settings (null: the camera offers none).
void UseCameraSettings(ICameraSettings* Settings);
ICameraSettings* CameraSettingsInUse();

// "manual", "automatic", "aperture priority", "shutter priority", "other".
const char* ExposureModeName(TExposureMode Mode);
// Other for a name that is none of the above.
TExposureMode ExposureModeNamed(const std::string& Name);
// Modes in which the camera chooses the exposure of each photo itself.
bool IsAutomaticExposure(TExposureMode Mode);
// The Name of a setting's automatic value ("automatic"), and of the shutter's open-at-will ones.
inline constexpr char AutomaticValue[] = "automatic";
inline constexpr char BulbValue[] = "bulb";
inline constexpr char TimeValue[] = "time";

// The setting's value as the station shows it, in Czech: "1/30 s", "f/8", "ISO 100",
// "manuál", "denní světlo", "automatické ISO", "B (bulb)".
std::string SettingText(TCameraSetting Setting, const TSettingValue& Value);
// The setting's name as the station shows it: "čas", "clona", ...
const char* SettingLabel(TCameraSetting Setting);
// The exposure mode of Settings, empty when the camera reports none.
std::optional<TExposureMode> ExposureModeOf(const std::vector<TSettingState>& Settings);
// True when Settings report an automatic ISO: the camera then meters every photo
// whatever its exposure mode.
bool IsoIsAutomatic(const std::vector<TSettingState>& Settings);
// The settings that matter for a scan, comma-separated: "manuál, 1/30 s, f/8, ISO 100".
std::string ExposureSummary(const std::vector<TSettingState>& Settings);
