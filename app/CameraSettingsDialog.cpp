#include "app/CameraSettingsDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <algorithm>

#include "app/CameraSettingsWatch.h"
#include "app/Ovl_1.h"
#include "camera/appmaster.h"
#include "platform/Forms.h"
#include "session/Koordinator.h"

namespace {

const char* ComboName(TCameraSetting Setting) {
  switch (Setting) {
    case TCameraSetting::ExposureMode:
      return "ComboExposureMode";
    case TCameraSetting::ShutterSpeed:
      return "ComboShutterSpeed";
    case TCameraSetting::Aperture:
      return "ComboAperture";
    case TCameraSetting::Iso:
      return "ComboIso";
    case TCameraSetting::FocusMode:
      return "ComboFocusMode";
    case TCameraSetting::WhiteBalance:
      return "ComboWhiteBalance";
    case TCameraSetting::ImageFormat:
      return "ComboImageFormat";
  }
  return "";
}

QString Text(TCameraSetting Setting, const TSettingValue& Value) {
  return QString::fromStdString(SettingText(Setting, Value));
}

}  // namespace

TCameraSettingsDialog::TCameraSettingsDialog(QWidget* Parent) : QDialog(Parent) {
  setObjectName("CameraSettings");
  setWindowTitle(QStringLiteral("Nastavení kamery"));
  auto* layout = new QVBoxLayout(this);
  // Its size follows the settings shown, as fixed as every other window's, and
  // wide enough for the whole title.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addSpacerItem(new QSpacerItem(TitleBarWidth(windowTitle()), 0));
  FGrid = new QGridLayout;
  layout->addLayout(FGrid);
  FMessage = new QLabel(this);
  FMessage->setObjectName("Message");
  FMessage->setWordWrap(true);
  layout->addWidget(FMessage);
  auto* buttons = new QHBoxLayout;
  auto* apply = new QPushButton(QStringLiteral("Použít"), this);
  apply->setObjectName("ApplyButton");
  auto* close = new QPushButton(QStringLiteral("Zavřít"), this);
  close->setObjectName("CloseButton");
  buttons->addWidget(apply);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  connect(apply, &QPushButton::clicked, this, [this] { Apply(); });
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  Reload();
}

QComboBox* TCameraSettingsDialog::Combo(TCameraSetting Setting) const {
  for (const TRow& row : FRows)
    if (row.State.Setting == Setting) return row.Combo;
  return nullptr;
}

void TCameraSettingsDialog::Reload() {
  for (TRow& row : FRows) {
    delete row.Combo;
    delete row.Label;
  }
  FRows.clear();
  const std::vector<TSettingState> settings = TCameraSettingsWatch::Read();
  if (settings.empty()) {
    FMessage->setText(Koordinator != nullptr && Koordinator->Connected
                          ? QStringLiteral("Kamera svá nastavení nesděluje.")
                          : QStringLiteral("Kamera není připojena."));
    return;
  }
  int line = 0;
  for (const TSettingState& state : settings) {
    TRow row{state, new QComboBox(this), new QLabel(QString::fromUtf8(SettingLabel(state.Setting)), this)};
    row.Combo->setObjectName(ComboName(state.Setting));
    // The camera's present value is always shown, also when it lists no values.
    std::vector<TSettingValue> values = state.Allowed;
    if (std::find(values.begin(), values.end(), state.Value) == values.end())
      values.insert(values.begin(), state.Value);
    row.State.Allowed = values;
    for (const TSettingValue& value : values) row.Combo->addItem(Text(state.Setting, value));
    row.Combo->setCurrentIndex(int(std::find(values.begin(), values.end(), state.Value) - values.begin()));
    row.Combo->setEnabled(state.Writable && values.size() > 1);
    FGrid->addWidget(row.Label, line, 0);
    FGrid->addWidget(row.Combo, line, 1);
    ++line;
    FRows.push_back(row);
  }
}

void TCameraSettingsDialog::Apply() {
  ICameraSettings* source = CameraSettingsInUse();
  if (source == nullptr || Koordinator == nullptr || !Koordinator->Controller || FRows.empty()) {
    Reload();
    return;
  }
  const EdsCameraRef camera = Koordinator->Controller->GetCameraRef();
  QStringList refused;
  for (const TRow& row : FRows) {
    const int index = row.Combo->currentIndex();
    if (index < 0 || std::size_t(index) >= row.State.Allowed.size()) continue;
    const TSettingValue& chosen = row.State.Allowed[std::size_t(index)];
    if (chosen == row.State.Value) continue;
    if (source->Set(camera, row.State.Setting, chosen) != EdsResult_Ok)
      refused << QString::fromUtf8(SettingLabel(row.State.Setting)) + " " +
                     Text(row.State.Setting, chosen);
  }
  // What the camera took, read back: the lists show it, and the log line.
  Reload();
  if (Stomper != nullptr) Stomper->CameraSettings.LogSettings();
  FMessage->setText(refused.isEmpty()
                        ? QStringLiteral("Nastaveno.")
                        : QStringLiteral("Kamera odmítla: %1.").arg(refused.join(QStringLiteral(", "))));
}
