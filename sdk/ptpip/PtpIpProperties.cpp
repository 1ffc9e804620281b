#include <cmath>

#include "sdk/ptpip/PtpIpState.h"

using namespace PtpIpDetail;

namespace {

constexpr std::uint16_t TypeUint16 = 0x0004, TypeUint32 = 0x0006;
constexpr std::uint8_t GetSetWritable = 1, FormEnumeration = 2;

// A standard device property and the setting it carries.
struct TProperty {
  std::uint16_t Code;
  TCameraSetting Setting;
  std::uint16_t DataType;
};

constexpr TProperty Properties[] = {
    {PtpCode::ExposureProgramMode, TCameraSetting::ExposureMode, TypeUint16},
    {PtpCode::ExposureTime, TCameraSetting::ShutterSpeed, TypeUint32},
    {PtpCode::FNumber, TCameraSetting::Aperture, TypeUint16},
    {PtpCode::ExposureIndex, TCameraSetting::Iso, TypeUint16},
    {PtpCode::FocusMode, TCameraSetting::FocusMode, TypeUint16},
    {PtpCode::WhiteBalance, TCameraSetting::WhiteBalance, TypeUint16},
};

const TProperty* PropertyCoded(std::uint16_t Code) {
  for (const TProperty& p : Properties)
    if (p.Code == Code) return &p;
  return nullptr;
}

const TProperty* PropertyOf(TCameraSetting Setting) {
  for (const TProperty& p : Properties)
    if (p.Setting == Setting) return &p;
  return nullptr;
}

// The standard PTP value of a setting: time in 0.1 ms, f-number times 100, the
// ISO number (0xFFFF automatic), and the standard codes of the named modes.
std::uint32_t PtpValue(TCameraSetting Setting, const TSettingValue& Value) {
  switch (Setting) {
    case TCameraSetting::ShutterSpeed:
      return std::uint32_t(std::lround(Value.Number * 10000));
    case TCameraSetting::Aperture:
      return std::uint32_t(std::lround(Value.Number * 100));
    case TCameraSetting::Iso:
      // The standard's automatic exposure index.
      return Value.Name == AutomaticValue ? 0xFFFF : std::uint32_t(std::lround(Value.Number));
    case TCameraSetting::ExposureMode:
      switch (ExposureModeNamed(Value.Name)) {
        case TExposureMode::Manual:
          return 1;
        case TExposureMode::Automatic:
          return 2;
        case TExposureMode::AperturePriority:
          return 3;
        case TExposureMode::ShutterPriority:
          return 4;
        case TExposureMode::Other:
          return 0;
      }
      return 0;
    case TCameraSetting::FocusMode:
      return Value.Name == "manual" ? 1 : Value.Name == "automatic" ? 2 : 0;
    case TCameraSetting::WhiteBalance:
      for (const auto& [code, name] : {std::pair{2, "automatic"}, {4, "daylight"},
                                      {5, "fluorescent"}, {6, "tungsten"}, {7, "flash"}})
        if (Value.Name == name) return std::uint32_t(code);
      return 0;
    case TCameraSetting::ImageFormat:
      break;
  }
  return 0;
}

void PutValue(QByteArray& B, std::uint16_t Type, std::uint32_t Value) {
  if (Type == TypeUint32)
    Put32(B, Value);
  else
    Put16(B, std::uint16_t(Value));
}

}  // namespace

const std::vector<std::uint16_t>& TPtpIpCamera::TState::SupportedProperties() {
  static const std::vector<std::uint16_t> codes = [] {
    std::vector<std::uint16_t> all;
    for (const TProperty& p : Properties) all.push_back(p.Code);
    return all;
  }();
  return codes;
}

TReply TPtpIpCamera::TState::GetPropertyDesc(std::uint32_t Transaction, std::uint16_t Code) {
  const TProperty* p = PropertyCoded(Code);
  if (!p) return {PtpCode::DevicePropNotSupported};
  const auto& allowed = SimAllowed(p->Setting);
  QByteArray d;
  Put16(d, p->Code);
  Put16(d, p->DataType);
  d.append(char(GetSetWritable));
  PutValue(d, p->DataType, PtpValue(p->Setting, TSimSettings()[p->Setting]));
  PutValue(d, p->DataType, PtpValue(p->Setting, Settings[p->Setting]));
  d.append(char(FormEnumeration));
  Put16(d, std::uint16_t(allowed.size()));
  for (const TSettingValue& value : allowed) PutValue(d, p->DataType, PtpValue(p->Setting, value));
  return SendDataSet(Transaction, d);
}

TReply TPtpIpCamera::TState::GetPropertyValue(std::uint32_t Transaction, std::uint16_t Code) {
  const TProperty* p = PropertyCoded(Code);
  if (!p) return {PtpCode::DevicePropNotSupported};
  QByteArray d;
  PutValue(d, p->DataType, PtpValue(p->Setting, Settings[p->Setting]));
  return SendDataSet(Transaction, d);
}

TReply TPtpIpCamera::TState::SetPropertyValue(std::uint16_t Code, const QByteArray& Data) {
  const TProperty* p = PropertyCoded(Code);
  if (!p) return {PtpCode::DevicePropNotSupported};
  const qsizetype size = p->DataType == TypeUint32 ? 4 : 2;
  if (Data.size() != size) return {PtpCode::InvalidDevicePropFormat};
  const std::uint32_t value = size == 4 ? Get32(Data, 0) : Get16(Data, 0);
  for (const TSettingValue& allowed : SimAllowed(p->Setting)) {
    if (PtpValue(p->Setting, allowed) != value) continue;
    std::lock_guard guard(Lock);
    Settings[p->Setting] = allowed;
    ++Stats.PropertySets;
    return {};
  }
  Say(QStringLiteral("property %1: value %2 refused").arg(Hex(Code)).arg(value));
  std::lock_guard guard(Lock);
  ++Stats.PropertySetsRefused;
  return {PtpCode::InvalidDevicePropValue};
}

void TPtpIpCamera::TState::TurnDials(int Shot) {
  for (const TSimTurn& turn : Options.Turns) {
    if (turn.Shot != unsigned(Shot) || Settings[turn.Setting] == turn.Value) continue;
    {
      std::lock_guard guard(Lock);
      Settings[turn.Setting] = turn.Value;
    }
    Say(QStringLiteral("capture %1: the camera's dial turned").arg(Shot));
    if (const TProperty* p = PropertyOf(turn.Setting); p && Evt.Fd >= 0)
      SendEvent(PtpCode::DevicePropChanged, 0, {p->Code});
  }
}
