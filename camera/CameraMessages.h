#pragma once

#include "platform/Messages.h"

// The camera's messages to the main window.
constexpr UINT CameraPropertyMessage = WM_USER + 1;    // 1025
// wParam: the camera session that announced it; lParam: its item reference.
constexpr UINT CameraTransferMessage = WM_USER + 2;    // 1026
constexpr UINT DownloadProgressMessage = WM_USER + 3;  // 1027
