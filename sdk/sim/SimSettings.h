#pragma once

// The simulated camera's capture settings: the values it allows, how its
// photos' brightness follows them, and their text in CORVALET_SIM.

#include <QImage>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "sdk/CameraSettings.h"

constexpr std::size_t SimSettingCount = 7;

// One value per TCameraSetting; a new rig camera starts manual, 1/30 s, f/8, ISO 100.
struct TSimSettings {
  std::array<TSettingValue, SimSettingCount> Values;
  TSimSettings();
  TSettingValue& operator[](TCameraSetting Setting) { return Values[std::size_t(Setting)]; }
  const TSettingValue& operator[](TCameraSetting Setting) const {
    return Values[std::size_t(Setting)];
  }
  bool operator==(const TSimSettings&) const = default;
};

// After shot Shot (1 = the first) the camera's own dial sets Setting to Value.
struct TSimTurn {
  unsigned Shot = 0;
  TCameraSetting Setting = TCameraSetting::ShutterSpeed;
  TSettingValue Value;
};

const std::vector<TSettingValue>& SimAllowed(TCameraSetting Setting);
// The setting a CORVALET_SIM key names: mode, shutter, aperture, iso, focus, whitebalance, format.
std::optional<TCameraSetting> SimSettingKeyed(std::string_view Key);
// An allowed value from its text: "aperture" (priority) or "manual"; "1/30" or "0.5"; "8";
// "100" or "auto".
std::optional<TSettingValue> SimParseSetting(TCameraSetting Setting, std::string_view Text);
// The property that the camera's change notice names, 0 for settings it does not tell.
EdsUInt32 SimPropertyOf(TCameraSetting Setting);

// The factor on every light level of a photo: 1 at 1/30 s, f/8, ISO 100; in an
// automatic mode or with automatic ISO the camera meters Frame (what it sees) and picks its own.
double SimExposureScale(const TSimSettings& Settings, const QImage& Frame);
