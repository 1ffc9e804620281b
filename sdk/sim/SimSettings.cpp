#include "sdk/sim/SimSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace {

TSettingValue Number(double Value) {
  return {Value, {}};
}

TSettingValue Named(const char* Name) {
  return {0, Name};
}

std::optional<double> ParseDouble(std::string_view Text) {
  double value = 0;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (Text.empty() || error != std::errc() || end != Text.data() + Text.size()) return std::nullopt;
  return value;
}

// The mean grey level the automatic modes aim at.
constexpr double MeterTarget = 118;
// How far the camera can correct: a metered photo is at most this many times brighter or darker.
constexpr double MeterRange = 8;

}  // namespace

TSimSettings::TSimSettings() {
  (*this)[TCameraSetting::ExposureMode] = Named("manual");
  (*this)[TCameraSetting::ShutterSpeed] = Number(1.0 / 30);
  (*this)[TCameraSetting::Aperture] = Number(8);
  (*this)[TCameraSetting::Iso] = Number(100);
  (*this)[TCameraSetting::FocusMode] = Named("manual");
  (*this)[TCameraSetting::WhiteBalance] = Named("daylight");
  (*this)[TCameraSetting::ImageFormat] = Named("JPEG");
}

const std::vector<TSettingValue>& SimAllowed(TCameraSetting Setting) {
  static const std::array<std::vector<TSettingValue>, SimSettingCount> allowed = {
      std::vector{Named("manual"), Named("automatic"), Named("aperture priority"),
                  Named("shutter priority")},
      std::vector{Number(1.0 / 1000), Number(1.0 / 500), Number(1.0 / 250), Number(1.0 / 125),
                  Number(1.0 / 60), Number(1.0 / 30), Number(1.0 / 15), Number(1.0 / 8),
                  Number(1.0 / 4), Number(1.0 / 2), Number(1)},
      std::vector{Number(2.8), Number(4), Number(5.6), Number(8), Number(11), Number(16)},
      std::vector{Number(100), Number(200), Number(400), Number(800), Number(1600),
                  Named(AutomaticValue)},
      std::vector{Named("manual"), Named("automatic")},
      std::vector{Named("automatic"), Named("daylight"), Named("tungsten"), Named("fluorescent"),
                  Named("flash")},
      std::vector{Named("JPEG")},
  };
  return allowed[std::size_t(Setting)];
}

std::optional<TCameraSetting> SimSettingKeyed(std::string_view Key) {
  static constexpr std::string_view keys[SimSettingCount] = {
      "mode", "shutter", "aperture", "iso", "focus", "whitebalance", "format"};
  for (std::size_t i = 0; i < SimSettingCount; ++i)
    if (Key == keys[i]) return TCameraSetting(i);
  return std::nullopt;
}

std::optional<TSettingValue> SimParseSetting(TCameraSetting Setting, std::string_view Text) {
  TSettingValue value;
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      // Short forms, as a comma-separated item cannot hold every name comfortably.
      if (Text == "aperture") Text = "aperture priority";
      if (Text == "shutter") Text = "shutter priority";
      value.Name = std::string(Text);
      break;
    case TCameraSetting::ShutterSpeed: {
      std::optional<double> seconds;
      if (Text.starts_with("1/")) {
        const auto denominator = ParseDouble(Text.substr(2));
        if (denominator && *denominator > 0) seconds = 1 / *denominator;
      } else {
        seconds = ParseDouble(Text);
      }
      if (!seconds) return std::nullopt;
      value.Number = *seconds;
      break;
    }
    case TCameraSetting::Aperture:
    case TCameraSetting::Iso: {
      if (Setting == TCameraSetting::Iso && (Text == "auto" || Text == AutomaticValue)) {
        value.Name = AutomaticValue;
        break;
      }
      const auto number = ParseDouble(Text);
      if (!number) return std::nullopt;
      value.Number = *number;
      break;
    }
    default:
      value.Name = std::string(Text);
      break;
  }
  // Within a hundredth: "1/30" and 0.0333 name the same speed.
  for (const TSettingValue& allowed : SimAllowed(Setting))
    if (allowed.Name == value.Name &&
        std::abs(allowed.Number - value.Number) <= 0.01 * std::abs(allowed.Number))
      return allowed;
  return std::nullopt;
}

EdsUInt32 SimPropertyOf(TCameraSetting Setting) {
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      return EdsProperty_ShootingMode;
    case TCameraSetting::ShutterSpeed:
      return EdsProperty_ShutterSpeed;
    case TCameraSetting::Aperture:
      return EdsProperty_Aperture;
    case TCameraSetting::Iso:
      return EdsProperty_IsoSpeed;
    default:
      return 0;
  }
}

double SimExposureScale(const TSimSettings& Settings, const QImage& Frame) {
  const TSimSettings reference;
  // With an automatic ISO the camera meters each photo even in manual mode.
  if (!IsAutomaticExposure(ExposureModeNamed(Settings[TCameraSetting::ExposureMode].Name)) &&
      Settings[TCameraSetting::Iso].Name != AutomaticValue) {
    const double time = Settings[TCameraSetting::ShutterSpeed].Number /
                        reference[TCameraSetting::ShutterSpeed].Number;
    const double stop = reference[TCameraSetting::Aperture].Number /
                        Settings[TCameraSetting::Aperture].Number;
    const double gain = Settings[TCameraSetting::Iso].Number / reference[TCameraSetting::Iso].Number;
    return time * stop * stop * gain;
  }
  // The meter averages a coarse grid of what the camera sees; a little room light is always there.
  double sum = 0;
  long count = 0;
  const int step = std::max(1, std::max(Frame.width(), Frame.height()) / 64);
  for (int y = step / 2; y < Frame.height(); y += step)
    for (int x = step / 2; x < Frame.width(); x += step, ++count) sum += qGray(Frame.pixel(x, y));
  const double mean = (count ? sum / double(count) : 0) + 8;
  return std::clamp(MeterTarget / mean, 1 / MeterRange, MeterRange);
}
