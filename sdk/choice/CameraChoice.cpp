#include "sdk/choice/CameraChoice.h"

#include <arpa/inet.h>

#include <charconv>

#include "sdk/CameraBackend.h"
#include "sdk/CameraSettings.h"
#include "sdk/gphoto2/Gphoto2Backend.h"
#include "sdk/sim/SimRig.h"

namespace {

constexpr std::string_view NetworkPrefix = "ptpip:";

bool IsIPv4(const std::string& Address) {
  in_addr parsed{};
  return inet_pton(AF_INET, Address.c_str(), &parsed) == 1;
}

}  // namespace

QCommandLineOption CameraCommandLineOption() {
  return QCommandLineOption(
      "camera",
      "The camera to drive: sim (the simulated camera), or ptpip:ADDRESS[:PORT] (a camera on "
      "the network at an IPv4 address, port 15740 unless given). Without it: cameras on USB.",
      "camera");
}

std::optional<TCameraChoice> ParseCameraChoice(std::string_view Text, std::string& Error) {
  const std::string quoted = "\"" + std::string(Text) + "\"";
  if (Text == "sim") return TCameraChoice{TCameraChoice::TKind::Sim, "", DefaultPtpipPort};
  if (!Text.starts_with(NetworkPrefix)) {
    Error = quoted + " names no camera; use sim or ptpip:ADDRESS[:PORT]";
    return std::nullopt;
  }
  std::string_view rest = Text.substr(NetworkPrefix.size());
  TCameraChoice choice{TCameraChoice::TKind::Network, "", DefaultPtpipPort};
  const std::size_t colon = rest.find(':');
  choice.Address = std::string(rest.substr(0, colon));
  if (!IsIPv4(choice.Address)) {
    Error = quoted + ": \"" + choice.Address + "\" is not an IPv4 address such as 192.168.1.10";
    return std::nullopt;
  }
  if (colon != std::string_view::npos) {
    const std::string_view port = rest.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || value == 0 ||
        value > 65535) {
      Error = quoted + ": the port must be a number from 1 to 65535";
      return std::nullopt;
    }
    choice.Port = value;
  }
  return choice;
}

std::string PtpipPortPath(const TCameraChoice& Choice) {
  // libgphoto2 takes the event connection on 15740 unless told the port twice.
  const std::string port = std::to_string(Choice.Port);
  return "ptpip:" + Choice.Address + ":" + port + ":" + port;
}

void ApplyCameraChoice(const TCameraChoice& Choice) {
  switch (Choice.Kind) {
    case TCameraChoice::TKind::Sim:
      UseCameraBackend(&SimCameraBackend());
      UseCameraSettings(&SimCameraSettings());
      return;
    case TCameraChoice::TKind::Network:
      Gphoto2ConfigureCameras({false, {PtpipPortPath(Choice)}});
      UseCameraBackend(&Gphoto2CameraBackend());
      UseCameraSettings(&Gphoto2CameraSettings());
      return;
    case TCameraChoice::TKind::Real:
      Gphoto2ConfigureCameras({true, {}});
      UseCameraBackend(&Gphoto2CameraBackend());
      UseCameraSettings(&Gphoto2CameraSettings());
      return;
  }
}
