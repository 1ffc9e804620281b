#pragma once

// The calibration in force: the one place the station keeps it, remembered
// across restarts with the other choices, and the board the operator gave.

#include <optional>
#include <string>

#include "geometry/CalibrationFile.h"

struct TCheckCalibration;

struct TCalibrationInForce {
  std::string File;
  TCalibration Calibration;
};

// Null while none is in force.
const TCalibrationInForce* CalibrationInForce();
// "Kalibrace: FILE (kamera 0,04 px, projektor 0,05 px, dvojice 0,06 px)", or
// "Kalibrace: žádná": the line each scan's report carries.
std::string CalibrationInForceLine();
// What a scan's check is given at its start: the line above, the camera's
// photo size and the file; an empty file while none is in force.
TCheckCalibration CheckCalibrationInForce();
// Reads File and puts it in force, remembered; false with Error (naming the
// file) leaves what was in force.
bool PutCalibrationInForce(const std::string& File, std::string* Error);
// The remembered calibration put in force again at start; the log says which, or why not.
void RestoreCalibration();

// False (--defaults): the calibration put in force and the board given hold
// for this run only, and the remembered ones are not read.
void RememberCalibrationChoices(bool Remember);

// The board last given, "9x6:25" before any.
std::string RememberedBoard();
void RememberBoard(const std::string& Board);
