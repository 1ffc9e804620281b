// Every window of the station as a window manager frames it: the whole title
// shows, the size is fixed, Escape closes what it should, and Qt's own
// buttons speak Czech like the rest.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QPushButton>
#include <QTest>

#include "app/AimWindow.h"
#include "app/Ovl_1.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Forms.h"
#include "tests/support/DialogWorld.h"
#include "tests/support/Station.h"

using namespace Station;

namespace {

// Whole title, and a size the operator cannot change: no resize, no maximise.
void ExpectFramedAsDesigned(const QWidget& Window) {
  const std::string title = Window.windowTitle().toStdString();
  EXPECT_GE(Window.width(), TitleBarWidth(Window.windowTitle())) << title;
  EXPECT_EQ(Window.minimumSize(), Window.maximumSize()) << title;
  EXPECT_EQ(Window.minimumSize(), Window.size()) << title;
  EXPECT_FALSE(Window.windowFlags() & Qt::WindowMaximizeButtonHint) << title;
}

TEST(Windows, EveryWindowShowsItsWholeTitleAndKeepsItsSize) {
  for (QWidget* form : std::initializer_list<QWidget*>{Form1, Form2, PointDef, Form3})
    ExpectFramedAsDesigned(*form);

  bool seen = false;
  WhenModal([&seen] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->objectName(), "CameraSettings");
    ExpectFramedAsDesigned(*dialog);
    seen = true;
    // Escape closes it, as any dialog.
    QTest::keyClick(dialog, Qt::Key_Escape);
  });
  Click("SpeedButton12");
  EXPECT_TRUE(seen);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(Windows, TheAimWindowIsFixedAndEscapeClosesIt) {
  TAimWindow window(Form1);
  window.ShowOutcome({std::nullopt, {}, "no photo"});
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ExpectFramedAsDesigned(window);
  QTest::keyClick(window.findChild<QPushButton*>("AgainButton"), Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible());
}

TEST(Windows, QtsOwnButtonsAreCzech) {
  QString cancel;
  WhenModal([&cancel] {
    auto* ask = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(ask, nullptr);
    const auto* buttons = ask->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    cancel = buttons->button(QDialogButtonBox::Cancel)->text();
    ask->reject();
  });
  // "Nový adresář" asks for the name in Qt's own dialog.
  Form3->SpeedButton2Click();
  EXPECT_EQ(cancel.toStdString(), "Zrušit");
  EXPECT_TRUE(Application->QtTextsCzech()) << TApplication::QtTextsFolder();
}

}  // namespace

int main(int argc, char** argv) {
  return RunTestsWithWindowSet(argc, argv);
}
