#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sdk/CameraSettings.h"
#include "sdk/gphoto2/Gphoto2State.h"

using namespace Gphoto2Detail;

namespace {

// libgphoto2's names of the configuration widgets, in the order tried.
struct TWidgetNames {
  TCameraSetting Setting;
  std::vector<const char*> Names;
};

const std::vector<TWidgetNames>& WidgetNames() {
  static const std::vector<TWidgetNames> names = {
      {TCameraSetting::ExposureMode, {"expprogram", "autoexposuremode"}},
      {TCameraSetting::ShutterSpeed, {"shutterspeed", "shutterspeed2"}},
      {TCameraSetting::Aperture, {"f-number", "aperture"}},
      {TCameraSetting::Iso, {"iso"}},
      {TCameraSetting::FocusMode, {"focusmode"}},
      {TCameraSetting::WhiteBalance, {"whitebalance"}},
      {TCameraSetting::ImageFormat, {"imageformat", "imagequality"}},
  };
  return names;
}

std::string Lower(std::string Text) {
  for (char& c : Text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return Text;
}

// A number in the widget's text: "f/5.6", "0.0333s", "1/30", "100"; NaN when none.
double NumberIn(const std::string& Text) {
  std::string rest = Text;
  if (rest.rfind("f/", 0) == 0) rest = rest.substr(2);
  const char* begin = rest.c_str();
  char* end = nullptr;
  const double first = std::strtod(begin, &end);
  if (end == begin) return std::nan("");
  if (*end == '/') {
    const char* denominatorBegin = end + 1;
    const double denominator = std::strtod(denominatorBegin, &end);
    if (end == denominatorBegin || denominator == 0) return std::nan("");
    return first / denominator;
  }
  return first;
}

// The exposure program as the camera's widget names it: the generic letters and common words.
TExposureMode ModeNamed(const std::string& Text) {
  const std::string text = Lower(Text);
  if (text == "m" || text == "manual") return TExposureMode::Manual;
  if (text == "p" || text == "program" || text == "auto" || text == "automatic" ||
      text == "program auto" || text == "green")
    return TExposureMode::Automatic;
  if (text == "a" || text == "av" || text == "aperture priority") return TExposureMode::AperturePriority;
  if (text == "s" || text == "tv" || text == "shutter priority") return TExposureMode::ShutterPriority;
  return TExposureMode::Other;
}

// The plain value of one of the widget's texts.
TSettingValue PlainValue(TCameraSetting Setting, const std::string& Text) {
  TSettingValue value;
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      value.Name = ExposureModeName(ModeNamed(Text));
      break;
    case TCameraSetting::ShutterSpeed:
    case TCameraSetting::Aperture:
    case TCameraSetting::Iso: {
      const std::string text = Lower(Text);
      const double number = NumberIn(Text);
      // Makers' drivers name the automatic ISO ("Auto", "Auto ISO"); the generic PTP
      // driver shows the standard's value for it, 0xFFFF, as a number.
      if (Setting == TCameraSetting::Iso &&
          (text.find("auto") != std::string::npos || number == 0xFFFF))
        value.Name = AutomaticValue;
      else if (Setting == TCameraSetting::ShutterSpeed && (text == BulbValue || text == TimeValue))
        value.Name = text;
      else if (std::isnan(number))
        value.Name = text;
      else
        value.Number = number;
      break;
    }
    case TCameraSetting::FocusMode:
    case TCameraSetting::WhiteBalance:
      value.Name = Lower(Text);
      break;
    case TCameraSetting::ImageFormat:
      value.Name = Text;
      break;
  }
  return value;
}

bool SameValue(const TSettingValue& A, const TSettingValue& B) {
  if (A.Name != B.Name) return false;
  // Cameras round: 0.0333 s is 1/30 s, f/5.6 is 5.66.
  return std::abs(A.Number - B.Number) <= 0.02 * std::max(std::abs(A.Number), std::abs(B.Number));
}

struct TWidget {
  CameraWidget* Root = nullptr;
  ~TWidget() {
    if (Root) gp_widget_free(Root);
  }
};

// The widget's value and choices in plain form.
TSettingState Describe(TCameraSetting Setting, CameraWidget* Widget) {
  TSettingState state;
  state.Setting = Setting;
  int readOnly = 0;
  gp_widget_get_readonly(Widget, &readOnly);
  state.Writable = readOnly == 0;
  CameraWidgetType type;
  gp_widget_get_type(Widget, &type);
  if (type == GP_WIDGET_RANGE) {
    float current = 0, low = 0, high = 0, step = 0;
    gp_widget_get_value(Widget, &current);
    gp_widget_get_range(Widget, &low, &high, &step);
    state.Value.Number = current;
    // A long range says nothing useful as a list; the dialog then offers none.
    if (step > 0 && (high - low) / step <= 64)
      for (int i = 0; i <= int((high - low) / step + 0.5f); ++i)
        state.Allowed.push_back({low + float(i) * step, {}});
    return state;
  }
  if (type == GP_WIDGET_RADIO || type == GP_WIDGET_MENU) {
    for (int i = 0; i < gp_widget_count_choices(Widget); ++i) {
      const char* choice = nullptr;
      if (gp_widget_get_choice(Widget, i, &choice) != GP_OK || !choice) continue;
      // Several of the camera's texts may mean one plain value ("other" modes).
      const TSettingValue value = PlainValue(Setting, choice);
      if (std::none_of(state.Allowed.begin(), state.Allowed.end(),
                       [&](const TSettingValue& Known) { return SameValue(Known, value); }))
        state.Allowed.push_back(value);
    }
  }
  const char* text = nullptr;
  if (type != GP_WIDGET_TOGGLE && type != GP_WIDGET_DATE &&
      gp_widget_get_value(Widget, &text) == GP_OK && text)
    state.Value = PlainValue(Setting, text);
  return state;
}

class TGphoto2Settings final : public ICameraSettings {
 public:
  EdsError List(EdsCameraRef Camera, std::vector<TSettingState>& Out) override {
    return OnUsable(Camera, [&](TBackend& backend, TCamera& camera) {
      Out.clear();
      for (const TWidgetNames& names : WidgetNames()) {
        TSettingState state;
        const EdsError error = Read(backend, camera, names.Setting, state, nullptr);
        if (error == EdsResult_NotSupported) continue;
        if (error) return error;
        Out.push_back(state);
      }
      return EdsResult_Ok;
    });
  }

  EdsError Get(EdsCameraRef Camera, TCameraSetting Setting, TSettingState& Out) override {
    return OnUsable(Camera, [&](TBackend& backend, TCamera& camera) {
      return Read(backend, camera, Setting, Out, nullptr);
    });
  }

  EdsError Set(EdsCameraRef Camera, TCameraSetting Setting, const TSettingValue& Value) override {
    return OnUsable(Camera, [&](TBackend& backend, TCamera& camera) -> EdsError {
      TWidget widget;
      const char* name = nullptr;
      TSettingState state;
      if (EdsError error = Read(backend, camera, Setting, state, &widget, &name)) return error;
      if (!state.Writable) return EdsResult_NotSupported;
      CameraWidgetType type;
      gp_widget_get_type(widget.Root, &type);
      int result = GP_ERROR_BAD_PARAMETERS;
      if (type == GP_WIDGET_RANGE) {
        const float number = float(Value.Number);
        result = gp_widget_set_value(widget.Root, &number);
      } else {
        // The camera's own text for the value: the choice that means it.
        for (int i = 0; i < gp_widget_count_choices(widget.Root); ++i) {
          const char* choice = nullptr;
          if (gp_widget_get_choice(widget.Root, i, &choice) != GP_OK || !choice ||
              !SameValue(PlainValue(Setting, choice), Value))
            continue;
          result = gp_widget_set_value(widget.Root, choice);
          break;
        }
      }
      if (result < GP_OK) return EdsResult_InvalidParameter;
      result = gp_camera_set_single_config(camera.Handle, name, widget.Root, backend.Context);
      // A value the camera refuses comes back as bad parameters; the session goes on.
      if (result == GP_ERROR_BAD_PARAMETERS) return EdsResult_InvalidParameter;
      if (result < GP_OK) return backend.Failure(camera, "setting " + std::string(name), result);
      return EdsResult_Ok;
    });
  }

 private:
  // Reads Setting's widget under the first name the camera knows; keeps it in
  // Keep (with its name in KeptName) when asked, else frees it.
  static EdsError Read(TBackend& Backend, TCamera& Camera, TCameraSetting Setting,
                       TSettingState& Out, TWidget* Keep, const char** KeptName = nullptr) {
    for (const TWidgetNames& names : WidgetNames()) {
      if (names.Setting != Setting) continue;
      for (const char* name : names.Names) {
        TWidget widget;
        const int result =
            gp_camera_get_single_config(Camera.Handle, name, &widget.Root, Backend.Context);
        if (result == GP_ERROR_BAD_PARAMETERS || result == GP_ERROR_NOT_SUPPORTED) continue;
        if (result < GP_OK) return Backend.Failure(Camera, "reading " + std::string(name), result);
        Out = Describe(Setting, widget.Root);
        if (Keep) {
          std::swap(Keep->Root, widget.Root);
          if (KeptName) *KeptName = name;
        }
        return EdsResult_Ok;
      }
    }
    return EdsResult_NotSupported;
  }
};

}  // namespace

ICameraSettings& Gphoto2CameraSettings() {
  // Never destroyed, like the backend.
  static auto* settings = new TGphoto2Settings;
  return *settings;
}
