// The camera settings dialog through its real widgets, with the simulated camera.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/Ovl_1.h"
#include "camera/appmaster.h"
#include "sdk/CameraSettings.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

using ::testing::ElementsAre;
using namespace Station;

namespace {

std::string ComboText(QDialog* Dialog, const char* Name) {
  auto* combo = Dialog->findChild<QComboBox*>(Name);
  return combo ? combo->currentText().toStdString() : "(no " + std::string(Name) + ")";
}

void Choose(QDialog* Dialog, const char* Name, const char* Text) {
  auto* combo = Dialog->findChild<QComboBox*>(Name);
  ASSERT_NE(combo, nullptr) << Name;
  const int index = combo->findText(QString::fromUtf8(Text));
  ASSERT_GE(index, 0) << Name << " offers no " << Text;
  combo->setCurrentIndex(index);
}

void Press(QDialog* Dialog, const char* Name) {
  auto* button = Dialog->findChild<QPushButton*>(Name);
  ASSERT_NE(button, nullptr) << Name;
  QTest::mouseClick(button, Qt::LeftButton);
}

TEST(CameraSettingsDialog, ShowsTheCameraValuesAppliesAChoiceAndNamesARefusal) {
  ASSERT_TRUE(SimConfigure("cameras=1,latency=0,size=320x240,mode=automatic"));
  TStation station;
  station.Click("SpeedButton1");
  ASSERT_TRUE(Koordinator->Connected);
  EXPECT_THAT(station.SettingsLines, ElementsAre("Kamera: automatika, 1/30 s, f/8, ISO 100"));
  station.Mark();

  std::vector<std::string> seen;
  QTimer::singleShot(0, [&] {
    auto* dialog = Form1->findChild<QDialog*>("CameraSettings");
    ASSERT_NE(dialog, nullptr);
    // Whatever fails below, the dialog must not stay open.
    struct TCloser {
      QDialog* Dialog;
      ~TCloser() {
        if (Dialog->isVisible()) Dialog->reject();
      }
    } closer{dialog};
    ASSERT_TRUE(dialog->isVisible());
    auto message = [&] { return dialog->findChild<QLabel*>("Message")->text().toStdString(); };
    seen.push_back(
        ComboText(dialog, "ComboExposureMode") + ", " + ComboText(dialog, "ComboShutterSpeed") +
        ", " + ComboText(dialog, "ComboFocusMode") + ", " + ComboText(dialog, "ComboWhiteBalance"));
    // Every name in Czech, as the exposure modes are.
    QStringList balances;
    auto* balance = dialog->findChild<QComboBox*>("ComboWhiteBalance");
    for (int i = 0; balance != nullptr && i < balance->count(); ++i)
      balances << balance->itemText(i);
    seen.push_back(balances.join(", ").toStdString());
    // In automatic mode the camera chooses the time itself: refused, and read back.
    Choose(dialog, "ComboShutterSpeed", "1/125 s");
    Press(dialog, "ApplyButton");
    seen.push_back(message() + " " + ComboText(dialog, "ComboShutterSpeed"));
    Choose(dialog, "ComboExposureMode", "manuál");
    Choose(dialog, "ComboShutterSpeed", "1/125 s");
    Press(dialog, "ApplyButton");
    seen.push_back(message() + " " + ComboText(dialog, "ComboExposureMode") + ", " +
                   ComboText(dialog, "ComboShutterSpeed"));
    Press(dialog, "CloseButton");
  });
  station.Click("SpeedButton12");

  EXPECT_THAT(seen,
              ElementsAre("automatika, 1/30 s, manuální, denní světlo",
                          "automatické, denní světlo, žárovka, zářivka, blesk",
                          "Kamera odmítla: čas 1/125 s. 1/30 s", "Nastaveno. manuál, 1/125 s"));
  TSettingState shutter;
  ASSERT_EQ(SimCameraSettings().Get(Koordinator->Controller->GetCameraRef(),
                                    TCameraSetting::ShutterSpeed, shutter),
            EdsResult_Ok);
  EXPECT_DOUBLE_EQ(shutter.Value.Number, 1.0 / 125);
  // The log shows what the camera took after each "Použít".
  EXPECT_THAT(station.SettingsLines, ElementsAre("Kamera: automatika, 1/30 s, f/8, ISO 100",
                                                 "Kamera: manuál, 1/125 s, f/8, ISO 100"));
}

}  // namespace

int main(int argc, char** argv) {
  return RunTestsWithWindowSet(argc, argv);
}
