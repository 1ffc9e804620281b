#pragma once

// Calibration from scan folders: each folder's check reading and lit-field
// photo make a view; the views make the calibration file, its report and a
// picture per view. The station and corvalet-calibrate both run this.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "check/ScanCheck.h"
#include "check/ScanPoints3d.h"
#include "geometry/Calibrate.h"

// The lit-field photo at Path as the calibration reads it: its brightest channel (a
// coloured projector lights the board in its own colour), not turned by its orientation
// tag, as the check reads a scan. Empty when it cannot be read.
cv::Mat ReadLitGray(const std::string& Path);

// The view in scan folder Dir, whose check reading is Check: the board's corners
// in the lit-field photo, each corner's projector place from the read points,
// and the camera's settings from the check's report. Problem says why a view is unusable.
TCalibrationView CalibrationViewOf(const std::string& Dir, const TCheckResult& Check,
                                   const TBoard& Board, const THomographyOptions& Options);

// The same, reading the scan in Dir with the raster its report records; nullopt
// with Error naming the file when Dir holds no readable scan.
std::optional<TCalibrationView> ReadCalibrationView(const std::string& Dir, const TBoard& Board,
                                                    const THomographyOptions& Options,
                                                    std::string* Error);

// Calibrates from Views, then fits each view's corners again in its lit-field photo with
// the board's edges bent as the calibrated camera's lens bends them, and calibrates
// once more from them. Corners of a photo that cannot be read again stay as they are.
TCalibrationOutcome CalibrateFromPhotos(std::vector<TCalibrationView>& Views, const TBoard& Board,
                                        const TCalibrationOptions& Options);

struct TCalibrationRun {
  std::vector<TCalibrationView> Views;
  TCalibrationOutcome Outcome;
  // The files written: the calibration (only when there is one), the report, the pictures.
  std::vector<std::string> Written;
};

// "x.txt" and "x-view01.png" beside calibration file "x.yml".
std::string CalibrationReportPath(const std::string& File);
std::string CalibrationPicturePath(const std::string& File, int View);

// Reads every folder of Dirs as a view (each reported to Progress as it is read),
// calibrates, and writes File with its report and pictures. nullopt with Error
// when a folder holds no scan or a file cannot be written; a calibration the views
// cannot give is a run without one, its findings saying why.
std::optional<TCalibrationRun> RunCalibration(
    const std::vector<std::string>& Dirs, const TBoard& Board, const TCalibrationOptions& Options,
    const std::string& File, std::string* Error,
    const std::function<void(int View, const TCalibrationView&)>& Progress = {});
