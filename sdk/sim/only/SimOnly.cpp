// Linked as an object file, so it always runs: a program that links the rig as
// its only camera SDK has it in use before main.

#include "sdk/CameraBackend.h"
#include "sdk/CameraSettings.h"
#include "sdk/sim/SimRig.h"

namespace {

const bool SimInUse = [] {
  UseCameraBackend(&SimCameraBackend());
  UseCameraSettings(&SimCameraSettings());
  return true;
}();

}  // namespace
