#pragma once

#include <string>

#include "camera/EDSDKType.h"

// The camera found by the controller: a copy of its device information.
class TCamera {
 public:
  explicit TCamera(const EdsDeviceInfo& DeviceInfo);

  // The device description up to its first NUL, at most the field's 256 characters.
  std::string GetDescription() const;

  // Byte-for-byte copy of the record taken at construction.
  const EdsDeviceInfo DeviceInfo;
};
