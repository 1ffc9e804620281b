#pragma once

#include <QStringList>
#include <ostream>

// corvalet-calibrate: Arguments as the program got them, the first being its
// name. Prints each view and the result to Out, problems to Err. Returns 0 with
// a calibration written, 1 when the views cannot give one, 2 on bad input or usage.
int RunCalibrateCommand(const QStringList& Arguments, std::ostream& Out, std::ostream& Err);
