#include "sdk/sim/SimRigState.h"

namespace SimRigDetail {

void TRig::ChangeSetting(EdsBaseRef Ref, TCamera& Camera, TCameraSetting Setting,
                         const TSettingValue& Value) {
  if (Camera.Settings[Setting] == Value) return;
  Camera.Settings[Setting] = Value;
  if (const EdsUInt32 property = SimPropertyOf(Setting))
    TellProperty(Ref, EdsPropertyEvent_ValueChanged, property);
}

namespace {

class TSimCameraSettings final : public ICameraSettings {
 public:
  EdsError List(EdsCameraRef Camera, std::vector<TSettingState>& Out) override {
    return OnCamera(Camera, [&](TRig&, TCamera& camera) {
      Out.clear();
      for (std::size_t i = 0; i < SimSettingCount; ++i) Out.push_back(State(camera, TCameraSetting(i)));
      return EdsResult_Ok;
    });
  }

  EdsError Get(EdsCameraRef Camera, TCameraSetting Setting, TSettingState& Out) override {
    return OnCamera(Camera, [&](TRig&, TCamera& camera) {
      Out = State(camera, Setting);
      return EdsResult_Ok;
    });
  }

  EdsError Set(EdsCameraRef Camera, TCameraSetting Setting, const TSettingValue& Value) override {
    return OnCamera(Camera, [&](TRig& rig, TCamera& camera) {
      const auto& allowed = SimAllowed(Setting);
      if (std::find(allowed.begin(), allowed.end(), Value) == allowed.end())
        return EdsResult_InvalidParameter;
      // What the camera meters itself it does not take from the host.
      const TExposureMode mode = ExposureModeNamed(camera.Settings[TCameraSetting::ExposureMode].Name);
      if ((Setting == TCameraSetting::ShutterSpeed &&
           (mode == TExposureMode::Automatic || mode == TExposureMode::AperturePriority)) ||
          (Setting == TCameraSetting::Aperture &&
           (mode == TExposureMode::Automatic || mode == TExposureMode::ShutterPriority)))
        return EdsResult_InvalidParameter;
      rig.ChangeSetting(Camera, camera, Setting, Value);
      return EdsResult_Ok;
    });
  }

 private:
  static TSettingState State(const TCamera& Camera, TCameraSetting Setting) {
    return {Setting, Camera.Settings[Setting], SimAllowed(Setting), true};
  }

  template <typename TBody>
  static EdsError OnCamera(EdsCameraRef Ref, TBody&& Body) {
    TRig& rig = Rig();
    std::lock_guard guard(rig.Lock);
    if (!rig.Initialized) return EdsResult_InternalError;
    auto camera = rig.Objects.Find<TCamera>(Ref);
    if (!camera) return EdsResult_InvalidHandle;
    if (!camera->SessionOpen) return EdsResult_SessionNotOpen;
    return Body(rig, *camera);
  }
};

}  // namespace

}  // namespace SimRigDetail

ICameraSettings& SimCameraSettings() {
  // Never destroyed, like the rig: a late call from another static's destructor stays safe.
  static auto* settings = new SimRigDetail::TSimCameraSettings;
  return *settings;
}
