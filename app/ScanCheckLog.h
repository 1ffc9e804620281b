#pragma once

#include <memory>

#include "check/LiveCheck.h"

// A live scan check whose verdict line reaches the activity log on the GUI thread.
std::unique_ptr<TScanCheck> CreateLoggedScanCheck();
