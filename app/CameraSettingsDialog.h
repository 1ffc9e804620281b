#pragma once

#include <QDialog>
#include <vector>

#include "sdk/CameraSettings.h"

class QComboBox;
class QGridLayout;
class QLabel;

// "Nastavení kamery": one list per setting the connected camera offers, with
// the values it allows. "Použít" sends each changed choice, reads the settings
// back and shows what the camera took; a refused value is named in Message.
class TCameraSettingsDialog : public QDialog {
 public:
  explicit TCameraSettingsDialog(QWidget* Parent = nullptr);

  // Reads the camera's settings and shows them; the message says when there are none.
  void Reload();
  // Sends the changed choices, then shows the settings read back.
  void Apply();

  // The list of Setting, null when the camera does not offer it. Object names:
  // "ComboExposureMode", "ComboShutterSpeed", "ComboAperture", "ComboIso",
  // "ComboFocusMode", "ComboWhiteBalance", "ComboImageFormat".
  QComboBox* Combo(TCameraSetting Setting) const;

 private:
  struct TRow {
    TSettingState State;
    QComboBox* Combo = nullptr;
    QLabel* Label = nullptr;
  };
  std::vector<TRow> FRows;
  QGridLayout* FGrid = nullptr;
  QLabel* FMessage = nullptr;
};
