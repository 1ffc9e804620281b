#pragma once

// Real cameras through libgphoto2, one implementation of the camera SDK
// functions of camera/EDSDKApi.h (put in use with UseCameraBackend).
//
// The camera list holds the USB cameras that libgphoto2 detects, then the
// PTP/IP cameras configured here (they are never detected). Pictures go to the
// host: each new photo is announced with a transfer request and the camera's
// copy is deleted only after a complete download. All libgphoto2 calls are
// serialised by one lock; a thread of the backend watches for new photos.
// After a communication error or a failed download the camera's session is
// over: every call on it fails until the SDK is started again.

#include <string>
#include <vector>

struct TCameraBackend;

const TCameraBackend& Gphoto2CameraBackend();
class ICameraSettings;
// The capture settings (sdk/CameraSettings.h) through libgphoto2's configuration
// widgets, for UseCameraSettings beside Gphoto2CameraBackend.
ICameraSettings& Gphoto2CameraSettings();

// Where the system tells about USB cameras: their device nodes, their records
// (vendor and product) and the processes that may hold them.
struct TUsbPlaces {
  std::string Devices = "/dev/bus/usb";
  std::string Records = "/sys/bus/usb/devices";
  std::string Processes = "/proc";
};

struct TGphoto2Cameras {
  bool Usb = true;  // list the USB cameras that libgphoto2 detects
  // libgphoto2 port paths of PTP/IP cameras, "ptpip:ADDRESS:PORT:PORT", listed after USB.
  std::vector<std::string> NetworkPorts;
  // Read when a USB camera does not open, to say why.
  TUsbPlaces UsbPlaces = {};
};
// Which cameras the next EdsInitializeSDK lists.
void Gphoto2ConfigureCameras(TGphoto2Cameras Cameras);

// The model name libgphoto2 gives a PTP/IP camera in the list.
constexpr const char* Gphoto2NetworkModel = "PTP/IP Camera";
