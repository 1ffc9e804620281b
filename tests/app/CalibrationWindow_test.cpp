// The calibration window driven as the operator drives it: each view's line,
// a view without the board named, too few views refused, the board remembered.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <filesystem>

#include "app/CalibrationInForce.h"
#include "app/CalibrationWindow.h"
#include "platform/Application.h"
#include "tests/support/OwnHome.h"
#include "tests/support/SimScan.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

std::string LogText(TCalibrationWindow& Window) {
  return Window.findChild<QPlainTextEdit*>("CalibrationLog")->toPlainText().toStdString();
}

void Click(TCalibrationWindow& Window, const char* Name) {
  QTest::mouseClick(Window.findChild<QPushButton*>(Name), Qt::LeftButton);
}

bool Idle(TCalibrationWindow& Window) {
  return QTest::qWaitFor([&] { return !Window.Busy(); }, 120000);
}

}  // namespace

TEST(CalibrationWindow, ViewsAreJudgedAndTooFewRefused) {
  TCalibrationWindow window(nullptr);
  auto* board = window.findChild<QLineEdit*>("BoardEdit");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->text(), "9x6:25");

  std::vector<std::string> asked;
  // The scan the sequencer would take: the simulated rig's wall, where no board stands.
  window.ScanInto = [&](const std::string& Folder) {
    asked.push_back(Folder);
    WriteSimScan(Folder, TSimScanSetup{});
    window.ViewScanned(Folder);
    return true;
  };
  board->setText("9x6");
  Click(window, "ViewButton");
  EXPECT_TRUE(asked.empty());
  EXPECT_NE(LogText(window).find("Deska \"9x6\" nejde přečíst"), std::string::npos);

  board->setText("7x5:30");
  Click(window, "ViewButton");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].ends_with("/pohled-01/")) << asked[0];
  ASSERT_TRUE(Idle(window));
  EXPECT_NE(LogText(window).find("Pohled 1: nepoužitelný: deska není v záběru"), std::string::npos)
      << LogText(window);
  EXPECT_EQ(RememberedBoard(), "7x5:30");

  Click(window, "ComputeButton");
  ASSERT_TRUE(Idle(window));
  EXPECT_NE(LogText(window).find("Kalibrace nemá dost pohledů: deska je nalezena v 0 z 1"),
            std::string::npos)
      << LogText(window);
  EXPECT_EQ(CalibrationInForce(), nullptr);
  EXPECT_TRUE(fs::exists(window.SessionFolder() + "corvalet-calibration.txt"));
  EXPECT_FALSE(fs::exists(window.SessionFolder() + "corvalet-calibration.yml"));
}

TEST(CalibrationWindow, WithDefaultsTheBoardHoldsForTheRunOnly) {
  RememberBoard("7x5:30");
  RememberCalibrationChoices(false);
  {
    TCalibrationWindow window(nullptr);
    auto* board = window.findChild<QLineEdit*>("BoardEdit");
    EXPECT_EQ(board->text(), "9x6:25");
    window.ScanInto = [](const std::string&) { return false; };
    board->setText("8x4:20");
    Click(window, "ViewButton");
    EXPECT_EQ(RememberedBoard(), "8x4:20");
  }
  RememberCalibrationChoices(true);
  EXPECT_EQ(RememberedBoard(), "7x5:30");
}

int main(int argc, char** argv) {
  // Settings and photos of the test's own, never the user's.
  const fs::path home = Station::UseOwnHome("corvalet-calibration-window");
  fs::current_path(home);
  TApplication application(argc, argv);
  QCoreApplication::setOrganizationName("corvaletscan-test");
  QCoreApplication::setApplicationName("corvaletscan-test");
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  fs::current_path("/");
  fs::remove_all(home);
  return result;
}
