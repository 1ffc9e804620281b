#include "app/CalibrationInForce.h"

#include <QSettings>
#include <memory>

#include "check/LiveCheck.h"
#include "platform/DecimalText.h"
#include "session/Koordinator.h"

namespace {

constexpr char FileKey[] = "Calibration/File";
constexpr char BoardKey[] = "Calibration/Board";

std::unique_ptr<TCalibrationInForce>& InForce() {
  static std::unique_ptr<TCalibrationInForce> calibration;
  return calibration;
}

// Whether the choices go to QSettings; if not, the board given this run.
bool Remembering = true;
std::string RunBoard;

std::string Pixels(double Value) {
  return DecimalText(Value, 2) + " px";
}

}  // namespace

const TCalibrationInForce* CalibrationInForce() {
  return InForce().get();
}

std::string CalibrationInForceLine() {
  const TCalibrationInForce* inForce = CalibrationInForce();
  if (inForce == nullptr) return "Kalibrace: žádná";
  const TCalibration& c = inForce->Calibration;
  return "Kalibrace: " + inForce->File + " (kamera " + Pixels(c.CameraRms) + ", projektor " +
         Pixels(c.ProjectorRms) + ", dvojice " + Pixels(c.StereoRms) + ")";
}

TCheckCalibration CheckCalibrationInForce() {
  const TCalibrationInForce* inForce = CalibrationInForce();
  if (inForce == nullptr) return {CalibrationInForceLine(), 0, 0, {}};
  const cv::Size photo = inForce->Calibration.Rig.Camera.Size;
  return {CalibrationInForceLine(), photo.width, photo.height, inForce->File};
}

bool PutCalibrationInForce(const std::string& File, std::string* Error) {
  auto calibration = ReadCalibrationFile(File, Error);
  if (!calibration) return false;
  InForce() = std::make_unique<TCalibrationInForce>(TCalibrationInForce{File, *calibration});
  if (Remembering) QSettings().setValue(FileKey, QString::fromStdString(File));
  return true;
}

void RestoreCalibration() {
  const QSettings settings;
  if (Koordinator == nullptr || !Remembering || !settings.contains(FileKey)) return;
  const std::string file = settings.value(FileKey).toString().toStdString();
  std::string error;
  auto calibration = ReadCalibrationFile(file, &error);
  if (!calibration) {
    Koordinator->Log("Zapamatovanou kalibraci nelze použít: " + error);
    return;
  }
  InForce() = std::make_unique<TCalibrationInForce>(TCalibrationInForce{file, *calibration});
  Koordinator->Log("Obnovena k" + CalibrationInForceLine().substr(1));
}

void RememberCalibrationChoices(bool Remember) {
  Remembering = Remember;
}

std::string RememberedBoard() {
  const QString board =
      Remembering ? QSettings().value(BoardKey).toString() : QString::fromStdString(RunBoard);
  return board.isEmpty() ? "9x6:25" : board.toStdString();
}

void RememberBoard(const std::string& Board) {
  if (!Remembering) {
    RunBoard = Board;
    return;
  }
  QSettings().setValue(BoardKey, QString::fromStdString(Board));
}
