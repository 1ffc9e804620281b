#include "camera/camera.h"

#include <cstring>

TCamera::TCamera(const EdsDeviceInfo& DeviceInfo) : DeviceInfo(DeviceInfo) {}

std::string TCamera::GetDescription() const {
  // The SDK does not promise a NUL inside the field.
  const char* text = DeviceInfo.DeviceDescription;
  return std::string(text, strnlen(text, sizeof DeviceInfo.DeviceDescription));
}
