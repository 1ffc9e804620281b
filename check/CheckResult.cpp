#include "check/ScanCheck.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <sstream>

std::string TCheckRaster::Problem() const {
  if (Rows < 0 || Columns < 0) return "row and column counts must not be negative";
  if (std::int64_t(Rows) * Columns > 16384) return "more than 16384 points";
  if (Spacing < 1) return "spacing must be 1 or more";
  if (Size < 0 || Size > 255) return "point size must be 0 to 255";
  return {};
}

std::string TCheckRaster::Text() const {
  std::ostringstream out;
  out << OffsetX << ',' << OffsetY << ',' << Rows << ',' << Columns << ',' << Size << ','
      << Spacing;
  return out.str();
}

std::optional<TCheckRaster> TCheckRaster::Parse(const std::string& Text) {
  std::vector<int> values;
  std::istringstream in(Text);
  std::string item;
  while (std::getline(in, item, ',')) {
    try {
      std::size_t used = 0;
      const long value = std::stol(item, &used);
      if (item.find_first_not_of(" \t", used) != std::string::npos) return std::nullopt;
      if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
      values.push_back(int(value));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (values.size() != 6) return std::nullopt;
  TCheckRaster raster{values[0], values[1], values[2], values[3], values[4], values[5]};
  if (!raster.Problem().empty()) return std::nullopt;
  return raster;
}

int CheckCodeOf(int Index) {
  return Index >= 0 && Index < 16384 ? Index : 0;
}

std::string CheckCauseText(TCheckCause Cause) {
  switch (Cause) {
    case TCheckCause::LowContrast:
      return "málo kontrastu nebo rušivé okolní světlo";
    case TCheckCause::OutsideView:
      return "body mimo záběr kamery";
    case TCheckCause::Moved:
      return "kamera nebo předmět se mezi snímky pohnuly";
    case TCheckCause::OutOfOrder:
      return "snímky v nesprávném pořadí nebo chybí vzor";
    case TCheckCause::Separation:
      return "body příliš malé, příliš blízko u sebe nebo rozmazané: kamera je nerozliší";
    case TCheckCause::SettingChanged:
      return "nastavení kamery se během snímání změnilo";
  }
  return {};
}

const char* PointStateName(TPointState State) {
  switch (State) {
    case TPointState::Read:
      return "read";
    case TPointState::Weak:
      return "weak";
    case TPointState::Inconsistent:
      return "inconsistent";
    case TPointState::Cut:
      return "cut";
    case TPointState::Outside:
      return "outside";
    case TPointState::Unread:
      break;
  }
  return "unread";
}

void NoteCameraSettings(TCheckResult& Result, const std::string& Settings,
                        const std::vector<std::string>& Changes) {
  Result.CameraSettings = Settings;
  Result.SettingChanges = Changes;
  // Photos of one scan are compared with each other: a changed exposure alone loses points.
  if (!Changes.empty() && !Result.AllRead())
    Result.Causes.insert(Result.Causes.begin(),
                         {TCheckCause::SettingChanged, 0, Changes.front()});
}

bool TCheckResult::HasCause(TCheckCause Cause) const {
  return std::any_of(Causes.begin(), Causes.end(),
                     [Cause](const TCauseFinding& Item) { return Item.Cause == Cause; });
}

std::vector<int> TCheckResult::UnreadNumbers() const {
  std::vector<int> numbers;
  for (std::size_t i = 0; i < States.size(); ++i)
    if (States[i] != TPointState::Read) numbers.push_back(int(i) + 1);
  return numbers;
}

std::string TCheckResult::Verdict() const {
  std::string text =
      "Kontrola: " + std::to_string(Read) + "/" + std::to_string(Expected) + " bodů čitelných";
  if (AllRead()) return text;
  for (std::size_t i = 0; i < Causes.size(); ++i)
    text += (i == 0 ? "; pravděpodobná příčina: " : "; ") + CheckCauseText(Causes[i].Cause);
  return text;
}
