#pragma once

// What a calibration leaves beside its file for the operator: a text report
// and a picture per view.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/Calibrate.h"

// Residuals are drawn this many times their length.
constexpr double ResidualMagnification = 100;

// The report: the result with its units, the findings, and every view with
// its errors or why it was left out. File names the calibration file.
std::string CalibrationReportText(const std::string& File,
                                  const std::vector<TCalibrationView>& Views, const TBoard& Board,
                                  const TCalibrationOutcome& Outcome);

// View V's lit-field photo (Photo, grey or colour) with its corners, each
// corner's camera residual in red and projector residual in blue, magnified.
cv::Mat ViewPicture(const cv::Mat& Photo, const std::vector<TCalibrationView>& Views, int V,
                    const TBoard& Board, const TCalibrationOutcome& Outcome);
