#include "sdk/sim/SimConfig.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace {

std::string_view Trim(std::string_view Text) {
  const auto first = Text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = Text.find_last_not_of(" \t");
  return Text.substr(first, last - first + 1);
}

// A whole unsigned number in decimal or with a 0x prefix in hex.
std::optional<std::uint64_t> ParseNumber(std::string_view Text) {
  int base = 10;
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    base = 16;
    Text.remove_prefix(2);
  }
  if (Text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value, base);
  if (error != std::errc() || end != Text.data() + Text.size()) return std::nullopt;
  return value;
}

std::optional<int> ParseInRange(std::string_view Text, int Low, int High) {
  const auto value = ParseNumber(Text);
  if (!value || *value < std::uint64_t(Low) || *value > std::uint64_t(High)) return std::nullopt;
  return int(*value);
}

// A decimal number with an optional fraction, e.g. "2.5" or "-3".
std::optional<double> ParseDecimal(std::string_view Text, double Low, double High) {
  double value = 0;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (Text.empty() || error != std::errc() || end != Text.data() + Text.size() || value < Low ||
      value > High)
    return std::nullopt;
  return value;
}

std::vector<std::string_view> Split(std::string_view Text, char Separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = Text.find(Separator);
    parts.push_back(Trim(Text.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    Text.remove_prefix(at + 1);
  }
}

constexpr int MaxCameras = 16;
constexpr int MaxLatencyMs = 600000;
constexpr std::uint64_t MaxPhotoBytes = 1024ull * 1024 * 1024;
constexpr int MinSide = 16;
constexpr int MaxSide = 8192;

// Applies one key=value item; returns what is wrong with it, empty when it is fine.
std::string ApplyItem(std::string_view Key, std::string_view Value, TSimConfig& Config) {
  if (Key == "cameras") {
    const auto count = ParseInRange(Value, 0, MaxCameras);
    if (!count) return "expected a camera count from 0 to 16";
    Config.Cameras = *count;
  } else if (Key == "legacy") {
    if (Value != "0" && Value != "1") return "expected 0 or 1";
    Config.Legacy = Value == "1";
  } else if (Key == "camera" || Key == "latency") {
    const auto latency = ParseInRange(Value, 0, MaxLatencyMs);
    if (!latency) return "expected milliseconds from 0 to 600000";
    Config.LatencyMs = *latency;
  } else if (Key == "bandwidth") {
    const auto rate = ParseDecimal(Value, 0, 100000);
    if (!rate || *rate == 0) return "expected MB/s above 0 and up to 100000";
    Config.BandwidthMBps = *rate;
  } else if (Key == "bytes") {
    const auto bytes = ParseNumber(Value);
    if (!bytes || *bytes < 4096 || *bytes > MaxPhotoBytes)
      return "expected bytes from 4096 to 1073741824";
    Config.PhotoBytes = std::int64_t(*bytes);
  } else if (Key == "size") {
    const auto sides = Split(Value, 'x');
    const auto width = sides.size() == 2 ? ParseInRange(sides[0], MinSide, MaxSide) : std::nullopt;
    const auto height = sides.size() == 2 ? ParseInRange(sides[1], MinSide, MaxSide) : std::nullopt;
    if (!width || !height) return "expected WIDTHxHEIGHT, each from 16 to 8192";
    Config.Width = *width;
    Config.Height = *height;
  } else if (Key == "seed") {
    const auto seed = ParseNumber(Value);
    if (!seed || *seed > UINT32_MAX) return "expected an unsigned 32-bit number";
    Config.Seed = std::uint32_t(*seed);
  } else if (Key == "fail") {
    const auto parts = Split(Value, ':');
    if (parts.size() != 3) return "expected FUNCTION:CALL:CODE";
    const auto& names = SimFunctionNames();
    if (std::find(names.begin(), names.end(), parts[0]) == names.end())
      return "unknown SDK function";
    TSimFailure failure{std::string(parts[0]), 0, 0};
    if (parts[1] != "always") {
      const auto call = ParseNumber(parts[1]);
      if (!call || *call < 1 || *call > UINT32_MAX)
        return "expected a call number from 1, or always";
      failure.Call = unsigned(*call);
    }
    const auto code = ParseNumber(parts[2]);
    if (!code || *code == 0 || *code > UINT32_MAX) return "expected a non-zero 32-bit error code";
    failure.Code = EdsError(*code);
    Config.Failures.push_back(failure);
  } else if (Key == "blur") {
    const auto blur = ParseDecimal(Value, 0, 20);
    if (!blur) return "expected a blur from 0 to 20 pixels";
    Config.Optics.Blur = *blur;
  } else if (Key == "noise") {
    const auto noise = ParseDecimal(Value, 0, 64);
    if (!noise) return "expected a noise level from 0 to 64";
    Config.Optics.Noise = *noise;
  } else if (Key == "ambient") {
    const auto ambient = ParseInRange(Value, 0, 255);
    if (!ambient) return "expected an ambient level from 0 to 255";
    Config.Optics.Ambient = *ambient;
  } else if (Key == "exposure") {
    const auto exposure = ParseDecimal(Value, 0.01, 16);
    if (!exposure) return "expected an exposure from 0.01 to 16";
    Config.Optics.Exposure = *exposure;
  } else if (Key == "glare") {
    const auto parts = Split(Value, ':');
    double box[4];
    for (std::size_t i = 0; i < 4; ++i) {
      const auto share = parts.size() == 4 ? ParseDecimal(parts[i], 0, 1) : std::nullopt;
      if (!share) return "expected LEFT:TOP:RIGHT:BOTTOM, each a share from 0 to 1";
      box[i] = *share;
    }
    std::copy_n(box, 4, Config.Optics.Glare);
  } else if (Key == "zoom") {
    const auto zoom = ParseDecimal(Value, 1, 4);
    if (!zoom) return "expected a zoom from 1 to 4";
    Config.Optics.Zoom = *zoom;
  } else if (Key == "nudge") {
    const auto parts = Split(Value, ':');
    std::optional<double> dx, dy;
    std::optional<std::uint64_t> from;
    if (parts.size() == 3) {
      dx = ParseDecimal(parts[0], -64, 64);
      dy = ParseDecimal(parts[1], -64, 64);
      from = ParseNumber(parts[2]);
    }
    if (!dx || !dy || *dx != int(*dx) || *dy != int(*dy) || !from || *from < 1 ||
        *from > UINT32_MAX)
      return "expected DX:DY:SHOT, whole pixels from -64 to 64 and a shot number from 1";
    Config.Optics.NudgeX = int(*dx);
    Config.Optics.NudgeY = int(*dy);
    Config.Optics.NudgeFrom = unsigned(*from);
  } else if (const auto setting = SimSettingKeyed(Key)) {
    const auto value = SimParseSetting(*setting, Value);
    if (!value) return "not a value the camera allows";
    Config.Settings[*setting] = *value;
  } else if (Key == "turn") {
    const auto parts = Split(Value, ':');
    const auto shot = parts.size() == 3 ? ParseNumber(parts[0]) : std::nullopt;
    const auto setting = parts.size() == 3 ? SimSettingKeyed(parts[1]) : std::nullopt;
    const auto value = setting ? SimParseSetting(*setting, parts[2]) : std::nullopt;
    if (!shot || *shot < 1 || *shot > UINT32_MAX || !value)
      return "expected SHOT:SETTING:VALUE, a shot number from 1 and a value the camera allows";
    Config.Turns.push_back({unsigned(*shot), *setting, *value});
  } else if (Key == "scene") {
    if (!SimSceneNamed(Value, Config.Stage.Scene))
      return std::string("unknown scene; the scenes are ") + SimSceneList();
  } else if (Key == "board") {
    const auto parts = Split(Value, ':');
    const auto corners = parts.size() == 2 ? Split(parts[0], 'x') : std::vector<std::string_view>{};
    const auto columns = corners.size() == 2 ? ParseInRange(corners[0], 2, 40) : std::nullopt;
    const auto rows = corners.size() == 2 ? ParseInRange(corners[1], 2, 40) : std::nullopt;
    const auto square = parts.size() == 2 ? ParseDecimal(parts[1], 1, 200) : std::nullopt;
    if (!columns || !rows || !square)
      return "expected COLUMNSxROWS:SQUARE_MM, inner corners from 2 to 40 and a square from 1 to "
             "200 mm";
    Config.Stage.Board = {*columns, *rows, *square};
  } else if (Key == "pose") {
    const auto pose = ParseInRange(Value, 1, SimBoardPoseCount());
    if (!pose) return "expected a board pose from 1 to " + std::to_string(SimBoardPoseCount());
    Config.Stage.Pose = *pose - 1;
  } else if (Key == "truth") {
    if (Value.empty()) return "expected a folder";
    Config.TruthDir = std::string(Value);
  } else if (Key == "swallow") {
    const auto shot = ParseNumber(Value);
    if (!shot || *shot < 1 || *shot > UINT32_MAX) return "expected a shot number from 1";
    Config.Swallowed.push_back(unsigned(*shot));
  } else {
    return "unknown item";
  }
  return {};
}

}  // namespace

bool TSimOptics::Default() const {
  return Blur == 0 && Noise == 0 && Ambient == 0 && Exposure == 1 && Glare[2] <= Glare[0] &&
         Zoom == 1 && NudgeFrom == 0;
}

EdsError TSimConfig::FailureFor(std::string_view Function, unsigned Call) const {
  for (const TSimFailure& failure : Failures)
    if (failure.Function == Function && (failure.Call == 0 || failure.Call == Call))
      return failure.Code;
  return 0;
}

bool TSimConfig::IsSwallowed(unsigned Shot) const {
  return std::find(Swallowed.begin(), Swallowed.end(), Shot) != Swallowed.end();
}

std::optional<TSimConfig> ParseSimConfig(std::string_view Text, std::string* Error) {
  TSimConfig config;
  for (std::string_view item : Split(Text, ',')) {
    if (item.empty()) continue;
    const auto equals = item.find('=');
    std::string problem;
    if (equals == std::string_view::npos)
      problem = "expected key=value";
    else
      problem = ApplyItem(Trim(item.substr(0, equals)), Trim(item.substr(equals + 1)), config);
    if (!problem.empty()) {
      if (Error) *Error = "\"" + std::string(item) + "\": " + problem;
      return std::nullopt;
    }
  }
  return config;
}

const std::vector<std::string_view>& SimFunctionNames() {
  static const std::vector<std::string_view> names = {"EdsInitializeSDK",
                                                      "EdsTerminateSDK",
                                                      "EdsGetCameraList",
                                                      "EdsGetChildCount",
                                                      "EdsGetChildAtIndex",
                                                      "EdsGetDeviceInfo",
                                                      "EdsOpenSession",
                                                      "EdsCloseSession",
                                                      "EdsSetPropertyData",
                                                      "EdsSendCommand",
                                                      "EdsSendStatusCommand",
                                                      "EdsSetCapacity",
                                                      "EdsSetPropertyEventHandler",
                                                      "EdsSetObjectEventHandler",
                                                      "EdsSetProgressCallback",
                                                      "EdsGetDirectoryItemInfo",
                                                      "EdsCreateFileStream",
                                                      "EdsDownload",
                                                      "EdsDownloadComplete",
                                                      "EdsRelease"};
  return names;
}
