#include "platform/Widgets.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QStyleHints>
#include <QTest>
#include <QTextBlock>

#include "platform/Application.h"
#include "platform/ProjectorFeed.h"

namespace {

// A window for controls; shown once they are all made, as the program does.
struct TWindow {
  TForm Form;
  TWindow() { Form.SetClientSize(400, 300); }
  void Show() {
    Form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&Form));
  }
};

TEST(SpeedButton, ClickAndMouseUpOfAnyButton) {
  TWindow window;
  auto* button = new TSpeedButton(&window.Form, "SpeedButton10", "Snímání", QRect(58, 48, 55, 25));
  std::vector<std::string> events;
  button->OnClick = [&] { events.push_back("click"); };
  button->OnMouseUp = [&](Qt::MouseButton Button, QPoint Position) {
    events.push_back(Button == Qt::RightButton ? "up right" : "up left");
    EXPECT_EQ(Position, QPoint(5, 6));
  };
  window.Show();
  auto* found = window.Form.findChild<TSpeedButton*>("SpeedButton10");
  ASSERT_EQ(found, button);
  EXPECT_EQ(button->geometry(), QRect(58, 48, 55, 25));
  EXPECT_EQ(button->text(), QString::fromUtf8("Snímání"));
  QTest::mouseClick(found, Qt::LeftButton, {}, QPoint(5, 6));
  QTest::mouseClick(found, Qt::RightButton, {}, QPoint(5, 6));
  EXPECT_EQ(events, (std::vector<std::string>{"up left", "click", "up right"}));
  EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
}

TEST(SpeedButton, BoldCaptionsFitTheirButtons) {
  TWindow window;
  EXPECT_EQ(QFontInfo(window.Form.font()).pixelSize(), 11);
  const std::pair<const char*, int> captions[] = {
      {"Inicializace", 71}, {"Odpojit", 71}, {"Definovat", 71}, {"Adresář", 103},
      {"Jeden", 46},        {"Snímání", 55}, {"Předvolby", 97}, {"Použít", 121}};
  for (const auto& [caption, width] : captions) {
    TSpeedButton button(&window.Form, "b", caption, QRect(0, 0, width, 25));
    QFont bold = button.font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    // Inside the one-pixel frame.
    EXPECT_LE(metrics.horizontalAdvance(button.text()), width - 2) << caption;
    EXPECT_LE(metrics.height(), 25 - 2) << caption;
  }
}

TEST(GroupBox, HoldsChildrenAtAbsolutePositionsUnderABlueCaption) {
  TWindow window;
  auto* group = new TGroupBox(&window.Form, "GroupBox3", "Snímání", QRect(264, 352 - 300, 121, 81));
  auto* button = new TSpeedButton(group, "SpeedButton9", "Adresář", QRect(10, 16, 103, 25));
  window.Show();
  EXPECT_EQ(button->mapTo(&window.Form, QPoint(0, 0)), QPoint(274, 68));
  EXPECT_EQ(group->Caption(), "Snímání");
  const QImage shot = group->grab(QRect(0, 0, 121, 14)).toImage();
  int blue = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) {
      const QColor pixel = shot.pixelColor(x, y);
      blue += pixel.blue() > 200 && pixel.red() < 80 && pixel.green() < 80;
    }
  EXPECT_GT(blue, 10);
}

TEST(Memo, LinesAreAddedCountedAndDeleted) {
  TWindow window;
  auto* memo = new TMemo(&window.Form, "Memo1", QRect(0, 0, 385, 200));
  EXPECT_EQ(memo->Lines().Count(), 0);
  for (int i = 1; i <= 25; ++i) memo->Lines().Add("řádek " + std::to_string(i));
  EXPECT_EQ(memo->Lines().Count(), 25);
  memo->Lines().Delete(0);
  EXPECT_EQ(memo->Lines().Count(), 24);
  EXPECT_EQ(memo->Lines().Strings(0), "řádek 2");
  EXPECT_EQ(memo->Lines().Strings(23), "řádek 25");
  memo->Lines().Delete(23);
  memo->Lines().Add("poslední");
  // What is shown is what the lines hold.
  EXPECT_EQ(memo->blockCount(), 24);
  EXPECT_EQ(memo->document()->firstBlock().text(), QString::fromUtf8("řádek 2"));
  EXPECT_EQ(memo->document()->lastBlock().text(), QString::fromUtf8("poslední"));
  memo->Lines().Clear();
  EXPECT_EQ(memo->Lines().Count(), 0);
  EXPECT_TRUE(memo->toPlainText().isEmpty());
}

// Fills the bitmap with one colour, given as blue, green, red bytes.
void Fill(TBitmap& Bitmap, std::uint8_t Blue, std::uint8_t Green, std::uint8_t Red) {
  for (int y = 0; y < Bitmap.Height(); ++y)
    for (int x = 0; x < Bitmap.Width(); ++x) {
      std::uint8_t* pixel = Bitmap.ScanLine(y) + 3 * x;
      pixel[0] = Blue;
      pixel[1] = Green;
      pixel[2] = Red;
    }
}

TEST(Image, PublishesWhatItPaintsWhileVisibleAndClearsOnHide) {
  TForm form;
  form.SetClientSize(64, 48);
  auto* image = new TImage(&form, "Image1", QRect(0, 0, 64, 48));
  EXPECT_EQ(image->Data().Width(), 64);
  TBitmap& bitmap = image->Picture().Bitmap();
  bitmap.SetPixelFormat(TPixelFormat::pf24bit);
  bitmap.SetWidth(63);  // rows padded to 192 bytes
  bitmap.SetHeight(48);
  Fill(bitmap, 0, 255, 0);
  bitmap.ScanLine(47)[3 * 62 + 2] = 200;  // the bottom-right pixel gets some red

  // Painting while hidden throws no light.
  image->Repaint();
  EXPECT_TRUE(LatestProjectorFrame().isNull());

  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  Application->ProcessMessages();
  QImage frame = LatestProjectorFrame();
  ASSERT_EQ(frame.size(), QSize(63, 48));
  EXPECT_EQ(frame.pixelColor(0, 0), QColor(0, 255, 0));
  EXPECT_EQ(frame.pixelColor(62, 47), QColor(200, 255, 0));
  // The screen shows the bitmap from the top-left corner.
  EXPECT_EQ(image->grab().toImage().pixelColor(62, 47), QColor(200, 255, 0));

  // A pattern in the bitmap reaches the projector only when painted.
  Fill(bitmap, 255, 0, 0);
  EXPECT_EQ(LatestProjectorFrame().pixelColor(10, 10), QColor(0, 255, 0));
  image->Repaint();
  EXPECT_EQ(LatestProjectorFrame().pixelColor(10, 10), QColor(0, 0, 255));

  form.hide();
  EXPECT_TRUE(LatestProjectorFrame().isNull());
  form.show();
  Application->ProcessMessages();
  EXPECT_FALSE(LatestProjectorFrame().isNull());

  // Other formats show nothing.
  bitmap.SetPixelFormat(TPixelFormat::pf32bit);
  image->Repaint();
  EXPECT_TRUE(LatestProjectorFrame().isNull());
}

TEST(Image, DoubleClickComesAfterAClick) {
  TWindow window;
  auto* image = new TImage(&window.Form, "Image1", QRect(0, 0, 100, 100));
  std::vector<std::string> events;
  image->OnClick = [&] { events.push_back("click"); };
  image->OnDblClick = [&] { events.push_back("double"); };
  window.Show();
  // Through the window, so that the platform's own double-click detection runs.
  QWindow* handle = window.Form.windowHandle();
  QTest::mouseClick(handle, Qt::LeftButton, {}, QPoint(10, 10));
  Application->ProcessMessages();
  EXPECT_EQ(events, (std::vector<std::string>{"click"}));
  QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
  events.clear();
  QTest::mouseDClick(handle, Qt::LeftButton, {}, QPoint(10, 10));
  Application->ProcessMessages();
  EXPECT_EQ(events, (std::vector<std::string>{"click", "double"}));
  QTest::mouseClick(handle, Qt::RightButton, {}, QPoint(10, 10));
  Application->ProcessMessages();
  EXPECT_EQ(events.size(), 2u);
}

TEST(LabeledEdit, LabelStandsLeftAndTextIsUtf8) {
  TWindow window;
  auto* group = new TGroupBox(&window.Form, "GroupBox1", "Geometrie", QRect(8, 8, 121, 185));
  new TLabeledEdit(group, "LabeledEdit5", "Velikost", QRect(56, 128, 49, 21), "2");
  window.Show();
  auto* edit = window.Form.findChild<TLabeledEdit*>("LabeledEdit5");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->geometry(), QRect(56, 128, 49, 21));
  EXPECT_EQ(edit->Text(), "2");
  QLabel* label = group->findChild<QLabel*>("LabeledEdit5Label");
  ASSERT_EQ(label, edit->EditLabel());
  EXPECT_EQ(label->text(), QString::fromUtf8("Velikost"));
  EXPECT_TRUE(label->font().bold());
  EXPECT_FALSE(edit->font().bold());
  EXPECT_EQ(label->geometry().right() + 1 + TLabeledEdit::LabelSpacing, 56);
  EXPECT_GE(label->x(), 0);  // fits in its group
  EXPECT_NEAR(label->geometry().center().y(), edit->geometry().center().y(), 1);

  edit->clear();
  QTest::keyClicks(edit, "-17");
  EXPECT_EQ(edit->Text(), "-17");
  edit->SetText("Řádků");
  EXPECT_EQ(edit->text(), QString::fromUtf8("Řádků"));
  edit->hide();
  EXPECT_TRUE(label->isHidden());
}

TEST(PopupMenu, OpensAtTheScreenPointAndRunsTheChosenItem) {
  TWindow window;
  auto* menu = new TPopupMenu(&window.Form, "PopupMenu1");
  std::vector<std::string> chosen;
  menu->AddItem("erven1", "červená", [&] { chosen.push_back("erven1"); });
  menu->AddItem("bl1", "bílá", [&] { chosen.push_back("bl1"); });
  window.Show();
  ASSERT_NE(menu->Item("bl1"), nullptr);
  EXPECT_EQ(menu->Item("bl1")->text(), QString::fromUtf8("bílá"));
  EXPECT_EQ(menu->Item("nic"), nullptr);

  menu->Popup(QPoint(116, 312));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
  EXPECT_EQ(menu->pos(), QPoint(116, 312));
  // Down twice from no item selects the second one.
  QTest::keyClick(menu, Qt::Key_Down);
  QTest::keyClick(menu, Qt::Key_Down);
  QTest::keyClick(menu, Qt::Key_Return);
  EXPECT_EQ(chosen, (std::vector<std::string>{"bl1"}));
  EXPECT_FALSE(menu->isVisible());
}

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
