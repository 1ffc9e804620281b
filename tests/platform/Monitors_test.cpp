#include "platform/Monitors.h"

#include <gtest/gtest.h>

#include <QTest>

#include "platform/Application.h"

namespace {

int Argc = 1;
char Arg0[] = "monitors_test";
char* Argv[] = {Arg0, nullptr};

// Runs with the two screens of two_screens.json.
TEST(Monitors, FullBoundsOfEachScreenInThePlatformsOrder) {
  TApplication app(Argc, Argv);
  const std::vector<QRect> bounds = MonitorBounds();
  ASSERT_EQ(bounds.size(), 2u);
  EXPECT_EQ(bounds[0], QRect(0, 0, 1280, 1024));
  EXPECT_EQ(bounds[1], QRect(1280, 0, 1024, 768));

  // A window moved to the second monitor's corner keeps its client area
  // inside its frame.
  TForm form;
  form.SetClientSize(1016, 734);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_EQ(form.frameGeometry().center(), bounds[0].center());
  form.move(bounds[1].topLeft());
  EXPECT_EQ(form.frameGeometry().topLeft(), bounds[1].topLeft());
  EXPECT_TRUE(bounds[1].contains(form.geometry()));
  EXPECT_NE(form.geometry().topLeft(), bounds[1].topLeft());
}

}  // namespace
