#pragma once

#include <QStringList>
#include <ostream>

#include "check/ScanCheck.h"

// The command-line check of a scan folder: Arguments as the program got them,
// the first being the program's name. Prints the verdict to Out, problems to Err.
// Returns 0 when every point was read, 1 when not, 2 on bad input or usage.
// Raster stands when neither --raster nor a report beside the scan gives one.
int RunCheckCommand(const QStringList& Arguments, std::ostream& Out, std::ostream& Err,
                    const TCheckRaster& Raster = TCheckRaster{});
