// The projection window, run once on the offscreen platform's single screen
// and once with two screens (tests/platform/two_screens.json).

#include "pattern/obraz.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWindow>

#include "platform/Application.h"
#include "platform/Monitors.h"
#include "platform/ProjectorFeed.h"

namespace {

// The main window stands in for the program's.
TForm* MainWindow = nullptr;

class TProjectionWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form2->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form2));
    Application->ProcessMessages();
  }
  void TearDown() override { Form2->hide(); }

  // A double click as the operator makes it: press, release, press, double click, release.
  static void DoubleClickImage() {
    QTest::mouseDClick(Form2->windowHandle(), Qt::LeftButton, {}, QPoint(500, 300));
    Application->ProcessMessages();
  }
};

TEST(ProjectionWindow, StartsHiddenWithTheStartUpRasterOnABlackField) {
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_EQ(Form2->Caption(), "Velkar");
  EXPECT_EQ(Form2->BorderStyle(), TBorderStyle::bsDialog);
  EXPECT_EQ(Form2->size(), QSize(1016, 734));
  EXPECT_EQ(Form2->findChild<TImage*>("Image1"), Form2->Image1);
  EXPECT_EQ(Form2->Image1->geometry(), QRect(0, 0, 1016, 734));

  ASSERT_NE(MatGen, nullptr);
  TBitmap& bitmap = Form2->Image1->Picture().Bitmap();
  EXPECT_EQ(bitmap.Width(), 1016);
  EXPECT_EQ(bitmap.Height(), 734);
  EXPECT_EQ(MatGen->RowCount(), 80);
  EXPECT_EQ(MatGen->ColumnCount(), 120);
  EXPECT_EQ(MatGen->PointColour().Green, 0xFF);
  int lit = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const auto* row = static_cast<const std::uint8_t*>(bitmap.ScanLine(y));
    for (int x = 0; x < bitmap.Width() * 3; ++x) lit += row[x] != 0;
  }
  EXPECT_EQ(lit, 0);
}

TEST_F(TProjectionWindowTest, ShowingItThrowsItsBitmapOntoTheProjector) {
  MatGen->DrawAllPoints();
  Form2->Image1->Repaint();
  const QImage frame = LatestProjectorFrame();
  ASSERT_FALSE(frame.isNull());
  EXPECT_EQ(frame.size(), QSize(1016, 734));
  EXPECT_EQ(frame.pixelColor(962, 642), QColor(0, 255, 0));
  EXPECT_EQ(frame.pixelColor(15, 15), QColor(0, 0, 0));
  MatGen->FillField(0);
}

TEST_F(TProjectionWindowTest, ClickShowsTheMainWindow) {
  MainWindow->hide();
  QTest::mouseClick(Form2->Image1, Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(MainWindow->isVisible());
  EXPECT_TRUE(Form2->isVisible());
}

TEST_F(TProjectionWindowTest, DoubleClickMovesOntoTheSecondMonitor) {
  const std::vector<QRect> monitors = MonitorBounds();
  if (monitors.size() < 2) GTEST_SKIP() << "needs two screens";
  MainWindow->hide();
  DoubleClickImage();
  // The click of the first press came first.
  EXPECT_TRUE(MainWindow->isVisible());
  EXPECT_EQ(Form2->frameGeometry().topLeft(), monitors[1].topLeft());
  EXPECT_EQ(Form2->size(), QSize(1016, 734));
  EXPECT_TRUE(monitors[1].contains(Form2->geometry().topLeft()));

  // Hidden and shown again, it stays on its monitor.
  Form2->hide();
  Form2->show();
  Application->ProcessMessages();
  EXPECT_EQ(Form2->frameGeometry().topLeft(), monitors[1].topLeft());
}

TEST_F(TProjectionWindowTest, DoubleClickWithOneMonitorMovesNothing) {
  if (MonitorBounds().size() != 1) GTEST_SKIP() << "needs exactly one screen";
  const QPoint before = Form2->pos();
  DoubleClickImage();
  EXPECT_EQ(Form2->pos(), before);
  EXPECT_TRUE(MainWindow->isVisible());
}

}  // namespace

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  application.CreateForm(MainWindow);
  application.CreateForm(Form2);
  MainWindow->show();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
