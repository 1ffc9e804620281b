#pragma once

#include <memory>

#include "check/LiveCheck.h"

// A live scan check whose verdict line reaches the activity log on the GUI thread,
// after the folder of the scan it judged: "Sken <folder> – Kontrola: ...", and
// then to the main window's check window.
std::unique_ptr<TScanCheck> CreateLoggedScanCheck();
