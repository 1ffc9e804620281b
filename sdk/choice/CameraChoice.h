#pragma once

// Which camera the program drives, as the operator names it on the command
// line: real cameras through libgphoto2 (the default), a PTP/IP camera at an
// address, or the simulated rig. The program never falls back to the rig.

#include <QCommandLineOption>
#include <optional>
#include <string>
#include <string_view>

struct TCameraChoice {
  enum class TKind { Real, Network, Sim };
  TKind Kind = TKind::Real;
  std::string Address;  // IPv4, dotted decimal; for Network
  unsigned Port = 15740;
};

constexpr unsigned DefaultPtpipPort = 15740;

// The --camera option with its help text.
QCommandLineOption CameraCommandLineOption();

// The choice that Text names ("sim", "ptpip:ADDRESS[:PORT]"); nothing, with
// Error saying why, when Text names none.
std::optional<TCameraChoice> ParseCameraChoice(std::string_view Text, std::string& Error);

// libgphoto2's port path of a network camera: both connections on one port.
std::string PtpipPortPath(const TCameraChoice& Choice);

// Puts the chosen implementation behind the camera SDK functions.
void ApplyCameraChoice(const TCameraChoice& Choice);
