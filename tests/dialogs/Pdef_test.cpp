#include "dialogs/Pdef.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <stdexcept>

#include "platform/Application.h"
#include "tests/support/DialogWorld.h"

using namespace Station;

namespace {

const std::string Invalid = "Špatně vyplněné hodnoty !";

struct TFieldLayout {
  const char* Name;
  const char* Group;
  const char* Label;
  int Top;
  const char* Text;
};

constexpr TFieldLayout Fields[] = {
    {"LabeledEdit1", "GroupBox1", "LHX", 16, "5"},
    {"LabeledEdit2", "GroupBox1", "LHY", 40, "5"},
    {"LabeledEdit3", "GroupBox1", "Řádků", 72, "100"},
    {"LabeledEdit4", "GroupBox1", "Sloupců", 96, "100"},
    {"LabeledEdit5", "GroupBox1", "Velikost", 128, "2"},
    {"LabeledEdit6", "GroupBox1", "Odstup", 152, "7"},
    {"LabeledEdit7", "GroupBox2", "Červená", 24, "0"},
    {"LabeledEdit8", "GroupBox2", "Modrá", 56, "0"},
    {"LabeledEdit9", "GroupBox2", "Zelená", 88, "255"},
    {"LabeledEdit10", "GroupBox3", "Červená", 24, "0"},
    {"LabeledEdit11", "GroupBox3", "Modrá", 56, "0"},
    {"LabeledEdit12", "GroupBox3", "Zelená", 88, "0"},
};

// Types a whole geometry and both colours (red, blue, green as on screen).
void TypeRaster(const TDialogWorld& World, const std::vector<std::string>& Geometry,
                const std::vector<std::string>& Colours) {
  for (std::size_t i = 0; i < Geometry.size(); ++i)
    World.Type("LabeledEdit" + std::to_string(i + 1), Geometry[i]);
  for (std::size_t i = 0; i < Colours.size(); ++i)
    World.Type("LabeledEdit" + std::to_string(i + 7), Colours[i]);
}

QAbstractButton* Button(const TDialogWorld& World, const char* Name) {
  return World.Dialog->findChild<QAbstractButton*>(Name);
}

// Picks the named item of an open menu with the arrow keys and Enter.
void Choose(QMenu& Menu, const char* Name) {
  const QList<QAction*> items = Menu.actions();
  int index = 0;
  while (index < items.size() && items[index]->objectName() != Name) ++index;
  ASSERT_LT(index, items.size()) << Name;
  for (int i = 0; i <= index; ++i) QTest::keyClick(&Menu, Qt::Key_Down);
  ASSERT_EQ(Menu.activeAction(), items[index]);
  QTest::keyClick(&Menu, Qt::Key_Return);
  EXPECT_FALSE(Menu.isVisible());
}

TEST(PointDefLayout, CaptionsFieldsAndButtonsAsDesigned) {
  TDialogWorld world;
  TPointDef& dialog = *world.Dialog;
  EXPECT_EQ(dialog.Caption(), "Nastavení rastru bodů");
  EXPECT_EQ(dialog.size(), QSize(265, 593));
  EXPECT_EQ(dialog.BorderStyle(), TBorderStyle::bsDialog);

  const std::tuple<const char*, const char*, QRect> groups[] = {
      {"GroupBox1", "Geometrie", QRect(8, 8, 249, 185)},
      {"GroupBox2", "Barva bodů", QRect(8, 200, 249, 145)},
      {"GroupBox3", "Barva pozadí", QRect(8, 352, 249, 145)}};
  for (const auto& [name, caption, bounds] : groups) {
    auto* group = dialog.findChild<TGroupBox*>(name);
    ASSERT_NE(group, nullptr) << name;
    EXPECT_EQ(group->Caption(), caption);
    EXPECT_EQ(group->geometry(), bounds) << name;
  }
  for (const TFieldLayout& layout : Fields) {
    TLabeledEdit& field = world.Field(layout.Name);
    EXPECT_EQ(field.parentWidget()->objectName(), layout.Group) << layout.Name;
    EXPECT_EQ(field.geometry(), QRect(128, layout.Top, 105, 21)) << layout.Name;
    EXPECT_EQ(field.Text(), layout.Text) << layout.Name;
    QLabel* label = field.EditLabel();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->objectName().toStdString(), std::string(layout.Name) + "Label");
    EXPECT_EQ(label->text().toStdString(), layout.Label);
    EXPECT_TRUE(QFontInfo(label->font()).bold());
    // The whole bold caption fits between the group's frame and its edit.
    EXPECT_GE(label->x(), 2) << layout.Label;
    EXPECT_GE(label->width(), label->sizeHint().width()) << layout.Label;
    EXPECT_LE(label->geometry().right(), field.x()) << layout.Label;
    EXPECT_TRUE(label->isVisible());
  }
  const std::tuple<const char*, const char*, const char*, QRect> buttons[] = {
      {"SpeedButton1", "GroupBox2", "Předvolby", QRect(8, 112, 233, 25)},
      {"SpeedButton2", "GroupBox3", "Předvolby", QRect(8, 112, 233, 25)},
      {"SpeedButton3", "PointDef", "Použít", QRect(8, 504, 249, 33)}};
  for (const auto& [name, parent, caption, bounds] : buttons) {
    QAbstractButton* button = Button(world, name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(button->parentWidget()->objectName(), parent);
    EXPECT_EQ(button->text().toStdString(), caption);
    EXPECT_EQ(button->geometry(), bounds) << name;
    EXPECT_GE(bounds.width(), button->sizeHint().width()) << name;
  }

  auto* menu = dialog.findChild<TPopupMenu*>("PopupMenu1");
  ASSERT_NE(menu, nullptr);
  std::vector<std::pair<std::string, std::string>> items;
  for (QAction* item : menu->actions())
    items.emplace_back(item->objectName().toStdString(), item->text().toStdString());
  EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{{"erven1", "červená"},
                                                                     {"modr1", "modrá"},
                                                                     {"zelen1", "zelená"},
                                                                     {"cyan1", "cyan"},
                                                                     {"magenta1", "magenta"},
                                                                     {"lut1", "žlutá"},
                                                                     {"bl1", "bílá"},
                                                                     {"ern1", "černá"}}));
  // No control opens it as its context menu.
  EXPECT_EQ(Button(world, "SpeedButton1")->contextMenuPolicy(), Qt::DefaultContextMenu);
}

TEST(PointDefLayout, ApplyIsTheKeyboardsDefaultButtonAndGroupCaptionsArePlain) {
  TDialogWorld world;
  auto* apply = world.Dialog->findChild<QPushButton*>("SpeedButton3");
  ASSERT_NE(apply, nullptr);
  EXPECT_TRUE(QFontInfo(apply->font()).bold());
  // Enter in a field applies.
  world.Type("LabeledEdit5", "4");
  QTest::keyClick(&world.Field("LabeledEdit5"), Qt::Key_Return);
  EXPECT_EQ(TRasterState::Of(*world.Generator).PointSize, 4);
  // Tab from the last field reaches "Použít", and Space presses it.
  world.Type("LabeledEdit5", "5");
  world.Field("LabeledEdit12").setFocus();
  QTest::keyClick(&world.Field("LabeledEdit12"), Qt::Key_Tab);
  EXPECT_EQ(world.Dialog->focusWidget(), apply);
  QTest::keyClick(apply, Qt::Key_Space);
  EXPECT_EQ(TRasterState::Of(*world.Generator).PointSize, 5);

  // No blue caption: that marks the main window's groups.
  for (const char* name : {"GroupBox1", "GroupBox2", "GroupBox3"}) {
    const QImage image = world.Dialog->findChild<TGroupBox*>(name)->grab().toImage();
    int blue = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb pixel = image.pixel(x, y);
        blue += qBlue(pixel) > 160 && qRed(pixel) < 96 && qGreen(pixel) < 96;
      }
    EXPECT_EQ(blue, 0) << name;
  }
}

TEST(PointDefApply, GeometryAndEachColourChannelReachTheProjection) {
  TDialogWorld world;
  // Red, blue, green as on screen: 256 keeps 0, -1 gives 255, 300 gives 44.
  TypeRaster(world, {"20", "30", "4", "5", "3", "10"}, {"256", "-1", "300"});
  world.Type("LabeledEdit10", "300");
  world.Type("LabeledEdit11", "256");
  world.Type("LabeledEdit12", "-1");
  world.Apply();

  EXPECT_EQ(world.LogMessages(),
            std::vector<std::string>{
                "Promítaný rastr: LHX 20, LHY 30, řádků 4, sloupců 5, velikost 3, odstup 10"});
  const TRasterState expected{20, 30, 4, 5, 3, 10, 0x2CFF00, 0x002CFF, true};
  EXPECT_EQ(TRasterState::Of(*MatGen), expected);
  EXPECT_EQ(world.Pixel(0, 0), 0x2CFF00u);
  EXPECT_EQ(world.Pixel(30, 20), 0x002CFFu);
  // The far corner of the last point, then the pixel beyond it.
  EXPECT_EQ(world.Pixel(30 + 3 * 10 + 2, 20 + 4 * 10 + 2), 0x002CFFu);
  EXPECT_EQ(world.Pixel(30 + 3 * 10 + 3, 20 + 4 * 10 + 2), 0x2CFF00u);
  EXPECT_EQ(world.Pixel(30 + 4 * 10, 20), 0x2CFF00u);
  // Applying redraws the bitmap without showing the projection.
  EXPECT_FALSE(world.Projection->isVisible());
  EXPECT_TRUE(world.Dialog->isVisible());
}

TEST(PointDefApply, PointCountCapUsesTheFullProduct) {
  struct TCase {
    const char* Rows;
    const char* Columns;
    const char* Spacing;
    std::int32_t RowCount;
    std::int32_t ColumnCount;
  };
  const TCase cases[] = {
      {"200", "100", "4", 163, 100},
      {"128", "128", "5", 128, 128},  // exactly 16384: kept
      {"128", "129", "5", 127, 129},
      {"16384", "1", "1", 729, 1},  // not capped; the bitmap's height limits it
      {"50000", "50000", "7", 0, 144},
      {"65536", "65536", "7", 0, 144},  // the product wraps to 0 in 32 bits
      {"-200", "-100", "7", 0, 144},    // refused in the point table: the raster before stays
      {"200", "0", "4", 182, 0},
  };
  TDialogWorld world;
  for (const TCase& test : cases) {
    TypeRaster(world, {"5", "5", test.Rows, test.Columns, "2", test.Spacing}, {});
    world.Apply();
    EXPECT_EQ(MatGen->RowCount(), test.RowCount) << test.Rows << " x " << test.Columns;
    EXPECT_EQ(MatGen->ColumnCount(), test.ColumnCount) << test.Rows << " x " << test.Columns;
    // The typed count stays in its field.
    EXPECT_EQ(world.Field("LabeledEdit3").Text(), test.Rows);
    // The log gives the raster projected, after the corrections, not the fields.
    if (test.Rows[0] != '-') {
      EXPECT_EQ(world.LogMessages().back(),
                "Promítaný rastr: LHX 5, LHY 5, řádků " + std::to_string(test.RowCount) +
                    ", sloupců " + std::to_string(test.ColumnCount) + ", velikost " +
                    (test.Spacing == std::string("1") ? "0" : "2") + ", odstup " + test.Spacing);
    }
  }
  // Only the negative rows fail, in the point table.
  const std::vector<std::string> log = world.LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), Invalid), 1);
}

TEST(PointDefApply, RejectedTextLeavesTheRasterInForce) {
  const std::pair<const char*, const char*> entries[] = {
      {"LabeledEdit3", "abc"},        {"LabeledEdit1", ""},
      {"LabeledEdit9", "2147483648"}, {"LabeledEdit6", "-2147483649"},
      {"LabeledEdit12", "12abc"},     {"LabeledEdit5", "1.5"},
      {"LabeledEdit4", "0x10"},       {"LabeledEdit7", "99999999999999999999"},
      {"LabeledEdit2", "1 000"},      {"LabeledEdit8", "+-3"},
  };
  TDialogWorld world;
  const TRasterState before = TRasterState::Of(*MatGen);
  const std::uint64_t bitmap = world.BitmapChecksum();
  std::size_t logged = 0;
  for (const auto& [name, text] : entries) {
    // Every other field would change the raster if anything were applied.
    TypeRaster(world, {"20", "20", "10", "10", "4", "9"}, {"255", "255", "0"});
    for (const char* colour : {"LabeledEdit10", "LabeledEdit11", "LabeledEdit12"})
      world.Type(colour, "17");
    world.Type(name, text);
    world.Apply();
    ASSERT_EQ(world.LogMessages().size(), ++logged) << name << " '" << text << "'";
    EXPECT_EQ(world.LogMessages().back(), Invalid);
    EXPECT_EQ(TRasterState::Of(*MatGen), before) << name << " '" << text << "'";
    EXPECT_EQ(world.BitmapChecksum(), bitmap) << name << " '" << text << "'";
    EXPECT_EQ(world.Field(name).Text(), text);
  }
}

TEST(PointDefApply, RefusalIsShownInTheDialogNamingAndMarkingTheFirstWrongField) {
  TDialogWorld world;
  const QLabel& status = *world.Dialog->findChild<QLabel*>("Label1");
  const auto marked = [&](const char* Name) { return !world.Field(Name).styleSheet().isEmpty(); };
  world.Type("LabeledEdit11", "x");
  world.Type("LabeledEdit4", "abc");
  world.Apply();
  EXPECT_EQ(status.text().toStdString(), std::string(Invalid) + "\nGeometrie, Sloupců: \"abc\"");
  EXPECT_TRUE(marked("LabeledEdit4"));
  EXPECT_FALSE(marked("LabeledEdit11"));

  world.Type("LabeledEdit4", "100");
  world.Apply();
  EXPECT_EQ(status.text().toStdString(), std::string(Invalid) + "\nBarva pozadí, Modrá: \"x\"");
  EXPECT_FALSE(marked("LabeledEdit4"));
  EXPECT_TRUE(marked("LabeledEdit11"));

  // The generator's own refusal names its field too.
  world.Type("LabeledEdit11", "0");
  world.Type("LabeledEdit6", "0");
  world.Apply();
  EXPECT_EQ(status.text().toStdString(), std::string(Invalid) + "\nGeometrie, Odstup: \"0\"");
  EXPECT_TRUE(marked("LabeledEdit6"));

  world.Type("LabeledEdit6", "7");
  world.Apply();
  EXPECT_TRUE(status.text().isEmpty());
  EXPECT_FALSE(marked("LabeledEdit6"));
  const std::vector<std::string> log = world.LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), Invalid), 3);
}

TEST(PointDefApply, EscapeClosesTheDialogLikeItsCloseBox) {
  TDialogWorld world;
  ASSERT_TRUE(world.Dialog->isVisible());
  QTest::keyClick(&world.Field("LabeledEdit3"), Qt::Key_Escape);
  EXPECT_FALSE(world.Dialog->isVisible());
}

TEST(PointDefApply, RefusedGeometryLeavesTheRasterInForceAndTheNextApplyRecovers) {
  TDialogWorld world;
  const TRasterState before = TRasterState::Of(*MatGen);
  const std::uint64_t bitmap = world.BitmapChecksum();
  for (const auto& [name, text] : {std::pair{"LabeledEdit6", "0"},
                                   {"LabeledEdit6", "-3"},
                                   {"LabeledEdit3", "-5"},
                                   {"LabeledEdit4", "-5"}}) {
    world.Type(name, text);
    world.Apply();
    EXPECT_EQ(TRasterState::Of(*MatGen), before) << name << " " << text;
    EXPECT_EQ(world.BitmapChecksum(), bitmap) << name << " " << text;
    world.Type(name, name == std::string("LabeledEdit6") ? "7" : "100");
  }
  EXPECT_EQ(world.LogMessages(), std::vector<std::string>(4, Invalid));

  world.Apply();
  EXPECT_EQ(world.LogMessages().size(), 5u);
  ASSERT_NE(MatGen->CodeTable(), nullptr);
  EXPECT_EQ(MatGen->RowCount(), 100);
  EXPECT_EQ(world.Pixel(5, 5), 0x00FF00u);
}

TEST(PointDefApply, TheRefusalShowsWholeAndGoesWhenTheDialogIsOpenedAgain) {
  TDialogWorld world;
  const QLabel& status = *world.Dialog->findChild<QLabel*>("Label1");
  // Lines of the refusal as the label lays them out in its width.
  const auto fits = [&] {
    const QRect needed = status.fontMetrics().boundingRect(QRect(0, 0, status.width(), 10000),
                                                           Qt::TextWordWrap, status.text());
    return needed.width() <= status.width() && needed.height() <= status.height();
  };
  // The widest caption and a value far longer than the label.
  world.Type("LabeledEdit10", "12345678901234567890123456789012345678901234567890");
  world.Apply();
  EXPECT_TRUE(
      status.text().startsWith(QString::fromUtf8(Invalid) + "\nBarva pozadí, Červená: \"12"));
  EXPECT_TRUE(status.text().endsWith("890\""));
  EXPECT_TRUE(fits()) << status.text().toStdString();
  world.Type("LabeledEdit10", "0");
  world.Type("LabeledEdit4", "-100");
  world.Apply();
  EXPECT_EQ(status.text().toStdString(), std::string(Invalid) + "\nGeometrie, Sloupců: \"-100\"");
  EXPECT_TRUE(fits()) << status.text().toStdString();

  // Closed by its close box and opened again: the fields are kept, the refusal is gone.
  world.Dialog->close();
  world.Dialog->show();
  EXPECT_TRUE(status.text().isEmpty());
  EXPECT_TRUE(world.Field("LabeledEdit4").styleSheet().isEmpty());
  EXPECT_EQ(world.Field("LabeledEdit4").Text(), "-100");
}

TEST(StrToInt, AcceptsSignedDecimalsWithBlanksInTheInt32Range) {
  const std::pair<const char*, std::int32_t> accepted[] = {{"0", 0},
                                                           {"42", 42},
                                                           {"-7", -7},
                                                           {"+7", 7},
                                                           {"  12 ", 12},
                                                           {"\t-3\t", -3},
                                                           {"007", 7},
                                                           {"-0", 0},
                                                           {"2147483647", INT_MAX},
                                                           {"-2147483648", INT_MIN},
                                                           {" +2147483647", INT_MAX}};
  for (const auto& [text, value] : accepted) EXPECT_EQ(StrToInt(text), value) << text;

  const char* rejected[] = {"",      " ",    "+",          "-",           "+-1",
                            "--1",   "++1",  "- 1",        "1 2",         "1.0",
                            "1,000", "0x10", "1e3",        "abc",         "12abc",
                            "٣",     "１２", "2147483648", "-2147483649", "99999999999999999999999",
                            "\n5",   "5\n"};
  for (const char* text : rejected)
    EXPECT_THROW(StrToInt(text), std::invalid_argument) << "'" << text << "'";
}

TEST(PointDefPresets, EveryPresetFillsThePointFieldsThroughTheMenu) {
  const std::tuple<const char*, const char*, const char*, const char*> presets[] = {
      {"erven1", "255", "0", "0"},  {"modr1", "0", "255", "0"},      {"zelen1", "0", "0", "255"},
      {"cyan1", "0", "255", "255"}, {"magenta1", "255", "255", "0"}, {"lut1", "255", "0", "255"},
      {"bl1", "255", "255", "255"}, {"ern1", "0", "0", "0"}};
  TDialogWorld world;
  auto* menu = world.Dialog->findChild<TPopupMenu*>("PopupMenu1");
  ASSERT_NE(menu, nullptr);
  const TRasterState before = TRasterState::Of(*MatGen);
  for (const auto& [item, red, blue, green] : presets) {
    // Any mouse button opens it; the right one here.
    QTest::mouseClick(Button(world, "SpeedButton1"), Qt::RightButton);
    ASSERT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->pos(), world.Dialog->frameGeometry().topLeft() + QPoint(16, 312));
    EXPECT_EQ(ColourTarget, TColourTarget::Points);
    Choose(*menu, item);
    EXPECT_EQ(world.Field("LabeledEdit7").Text(), red) << item;
    EXPECT_EQ(world.Field("LabeledEdit8").Text(), blue) << item;
    EXPECT_EQ(world.Field("LabeledEdit9").Text(), green) << item;
    EXPECT_EQ(world.Field("LabeledEdit10").Text(), "0") << item;
  }
  EXPECT_EQ(TRasterState::Of(*MatGen), before);
}

TEST(PointDefPresets, BackgroundYellowIsYellowOnceApplied) {
  TDialogWorld world;
  auto* menu = world.Dialog->findChild<TPopupMenu*>("PopupMenu1");
  ASSERT_NE(menu, nullptr);
  // The points button first, so that the background one has to switch the target.
  QTest::mouseClick(Button(world, "SpeedButton1"), Qt::LeftButton);
  menu->close();
  QTest::mouseClick(Button(world, "SpeedButton2"), Qt::LeftButton);
  ASSERT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->pos(), world.Dialog->frameGeometry().topLeft() + QPoint(16, 464));
  EXPECT_EQ(ColourTarget, TColourTarget::Background);
  const std::uint64_t bitmap = world.BitmapChecksum();
  Choose(*menu, "lut1");
  EXPECT_EQ(world.Field("LabeledEdit10").Text(), "255");
  EXPECT_EQ(world.Field("LabeledEdit11").Text(), "0");
  EXPECT_EQ(world.Field("LabeledEdit12").Text(), "255");
  EXPECT_EQ(world.Field("LabeledEdit9").Text(), "255");
  EXPECT_EQ(world.BitmapChecksum(), bitmap);

  world.Apply();
  EXPECT_EQ(MatGen->BackgroundColour().Value(), 0xFFFF00u);
  EXPECT_EQ(world.Pixel(0, 0), 0xFFFF00u);
}

TEST(PointDefModal, FieldsSurviveCloseAndReopenWithoutApplying) {
  TDialogWorld world;
  world.Dialog->hide();
  const TRasterState before = TRasterState::Of(*MatGen);
  WhenModal([&] {
    world.Type("LabeledEdit5", "42");
    world.Type("LabeledEdit8", "128");
    world.Dialog->close();
  });
  EXPECT_NE(world.Dialog->ShowModal(), QDialog::Accepted);
  EXPECT_FALSE(world.Dialog->isVisible());

  std::string size, blue;
  WhenModal([&] {
    size = world.Field("LabeledEdit5").Text();
    blue = world.Field("LabeledEdit8").Text();
    world.Dialog->close();
  });
  EXPECT_NE(world.Dialog->ShowModal(), QDialog::Accepted);
  EXPECT_EQ(size, "42");
  EXPECT_EQ(blue, "128");
  EXPECT_EQ(TRasterState::Of(*MatGen), before);
  EXPECT_TRUE(world.LogMessages().empty());
}

TEST(PointDefModal, CameraTransferIsHandledWhileTheDialogIsOpen) {
  TDialogWorld world;
  world.Dialog->hide();
  TForm mainWindow;
  struct TSeen {
    LPARAM Photo;
    bool DialogModal;
  };
  std::vector<TSeen> seen;
  const auto previous = Application->SetMessageHook([&](TMsg& Msg, bool& Handled) {
    if (Msg.message != CameraTransferMessage) return;
    seen.push_back({Msg.lParam, QApplication::activeModalWidget() == world.Dialog.get()});
    Handled = true;
  });

  std::size_t seenInApply = 0;
  QTimer poll;
  WhenModal([&] {
    // Taken inside "Použít", which processes pending messages.
    EXPECT_TRUE(PostMessageA(mainWindow.Handle(), CameraTransferMessage, 0, 1));
    world.Apply();
    seenInApply = seen.size();
    // Taken by the dialog's own loop.
    EXPECT_TRUE(PostMessageA(mainWindow.Handle(), CameraTransferMessage, 0, 2));
    poll.start(1);
  });
  QDeadlineTimer deadline(5000);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (seen.size() == 2 || deadline.hasExpired()) world.Dialog->close();
  });
  world.Dialog->ShowModal();
  poll.stop();
  Application->SetMessageHook(previous);

  EXPECT_EQ(seenInApply, 1u);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Photo, 1);
  EXPECT_EQ(seen[1].Photo, 2);
  EXPECT_TRUE(seen[0].DialogModal);
  EXPECT_TRUE(seen[1].DialogModal);
  for (const std::string& line : world.LogMessages())
    EXPECT_THAT(line, ::testing::StartsWith("Promítaný rastr: "));
}

}  // namespace
