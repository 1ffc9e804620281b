#pragma once

#include <QRect>
#include <vector>

// Full bounds (not the work area) of each monitor, in the platform's order;
// index 0 is the first monitor. Needs a GUI application.
std::vector<QRect> MonitorBounds();
