#pragma once

// Why a USB camera could not be opened, read from the system, and what the
// operator can do about it: which processes hold its device node, and who may
// open that node.

#include <string>
#include <vector>

#include "sdk/gphoto2/Gphoto2Backend.h"

// The device node of a libgphoto2 USB port path: "usb:001,005" is
// Devices + "/001/005"; empty for another path.
std::string UsbDeviceNode(const std::string& Port, const TUsbPlaces& Places);
// The processes that have Node open, as "1234 (gvfsd-gphoto2)"; those of
// another user stay unseen without the right to look.
std::vector<std::string> UsbNodeHolders(const std::string& Node, const std::string& Processes);
// Log lines on why Model at Port did not open with libgphoto2's Result and
// what to do: the node denied to this user (the group or the udev rule it
// needs), or the camera held by another program (which one, where it can be
// found). Empty when the system tells nothing more.
std::vector<std::string> UsbOpenAdvice(int Result, const std::string& Model,
                                       const std::string& Port, const TUsbPlaces& Places);
