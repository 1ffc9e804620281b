#include "dialogs/adres.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QInputDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Widgets.h"
#include "tests/support/DialogWorld.h"

using namespace Station;

namespace {

// A fresh dialog created while the working directory is a temporary tree.
class OutputDirectoryDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Temporary.isValid());
    Root = QDir(Temporary.path()).canonicalPath().toStdString();
    for (const char* name : {"alfa", "beta/gama", "beta/zmizi"})
      ASSERT_TRUE(QDir(QString::fromStdString(Root)).mkpath(name));
    Previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(Root));
    Dialog = std::make_unique<TForm3>();
    Form3 = Dialog.get();
    List = Dialog->findChild<TDirectoryListBox*>("DirectoryListBox1");
    ASSERT_EQ(List, Dialog->DirectoryListBox1);
  }
  void TearDown() override {
    Form3 = nullptr;
    QDir::setCurrent(Previous);
  }

  // Runs Steps inside the modal showing, then ends it with "Použít" or the close box.
  int Show(std::function<void()> Steps, bool Confirm = true) {
    WhenModal([this, Steps = std::move(Steps), Confirm] {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(Dialog.get()));
      Steps();
      if (Confirm)
        QTest::mouseClick(Dialog->findChild<TSpeedButton*>("SpeedButton1"), Qt::LeftButton);
      else
        Dialog->close();
    });
    return Dialog->ShowModal();
  }

  QRect LineRect(const std::string& Text) const {
    const QList<QListWidgetItem*> found =
        List->findItems(QString::fromStdString(Text), Qt::MatchExactly);
    EXPECT_FALSE(found.isEmpty()) << Text;
    return found.isEmpty() ? QRect() : List->visualItemRect(found.back());
  }
  void Select(const std::string& Text) const {
    QTest::mouseClick(List->viewport(), Qt::LeftButton, {}, LineRect(Text).center());
  }
  void Open(const std::string& Text) const {
    QTest::mouseDClick(List->viewport(), Qt::LeftButton, {}, LineRect(Text).center());
  }

  QTemporaryDir Temporary;
  std::string Root;
  QString Previous;
  std::unique_ptr<TForm3> Dialog;
  TDirectoryListBox* List = nullptr;
};

TEST_F(OutputDirectoryDialog, LayoutAsDesigned) {
  EXPECT_EQ(Dialog->Caption(), "Výběr adresáře");
  EXPECT_EQ(Dialog->size(), QSize(291, 281));
  EXPECT_EQ(Dialog->BorderStyle(), TBorderStyle::bsDialog);
  auto* drives = Dialog->findChild<TDriveComboBox*>("DriveComboBox1");
  ASSERT_NE(drives, nullptr);
  EXPECT_EQ(drives->geometry(), QRect(8, 8, 275, 19));
  EXPECT_EQ(List->geometry(), QRect(8, 40, 275, 177));
  auto* button = Dialog->findChild<TSpeedButton*>("SpeedButton1");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->geometry(), QRect(150, 248, 133, 25));
  EXPECT_EQ(button->text().toStdString(), "Použít");
  auto* box = Dialog->findChild<QCheckBox*>("CheckBox1");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text().toStdString(), "Každé snímání do nového podadresáře");
  EXPECT_FALSE(box->isChecked());
  auto* make = Dialog->findChild<TSpeedButton*>("SpeedButton2");
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->text().toStdString(), "Nový adresář");
  EXPECT_EQ(drives->Drive(), "/");
}

TEST_F(OutputDirectoryDialog, ConfirmingAtOnceGivesTheWorkingDirectoryAtCreation) {
  // Changing it later moves nothing.
  QDir::setCurrent(QString::fromStdString(Root + "/alfa"));
  EXPECT_EQ(Show([] {}), 1);
  EXPECT_EQ(Dialog->DirectoryListBox1->Directory(), Root);
}

TEST_F(OutputDirectoryDialog, OnlyAnOpenedLineCounts) {
  EXPECT_EQ(Show([this] { Select("alfa"); }), 1);
  EXPECT_EQ(List->Directory(), Root);

  EXPECT_EQ(Show([this] {
              Open("beta");
              Select("gama");
              QTest::keyClick(List, Qt::Key_Return);
            }),
            1);
  EXPECT_EQ(List->Directory(), Root + "/beta/gama");
}

TEST_F(OutputDirectoryDialog, RootEndsInItsSeparator) {
  EXPECT_EQ(Show([this] { Open("/"); }), 1);
  EXPECT_EQ(List->Directory(), "/");
  // The main window appends one more, always.
  EXPECT_EQ(List->Directory() + "/", "//");
}

TEST_F(OutputDirectoryDialog, CloseBoxCancelsAndTheNextOpeningShowsTheLastDirectory) {
  EXPECT_NE(Show([this] { Open("alfa"); }, false), 1);
  EXPECT_FALSE(Dialog->isVisible());
  std::string shown;
  EXPECT_EQ(Show([&] {
              shown = List->Directory();
              EXPECT_EQ(List->currentItem()->text().toStdString(), "alfa");
            }),
            1);
  EXPECT_EQ(shown, Root + "/alfa");
  EXPECT_EQ(List->Directory(), Root + "/alfa");
}

TEST_F(OutputDirectoryDialog, ADirectoryThatCannotBeWrittenIsRefusedAndTheDialogStaysOpen) {
  std::vector<std::string> errors;
  Application->SetErrorBox([&](const std::string& Text) { errors.push_back(Text); });
  const std::string gone = Root + "/beta/zmizi";
  EXPECT_EQ(Show([&] {
              Open("beta");
              // Gone between listing and opening, like a drive without its medium.
              ASSERT_TRUE(QDir(QString::fromStdString(Root + "/beta")).rmdir("zmizi"));
              Open("zmizi");
              EXPECT_FALSE(List->Readable());
              QTest::mouseClick(Dialog->findChild<TSpeedButton*>("SpeedButton1"), Qt::LeftButton);
              EXPECT_TRUE(Dialog->isVisible());
              EXPECT_EQ(List->Directory(), gone);
              ASSERT_EQ(errors.size(), 1u);
              EXPECT_EQ(errors[0], "Do adresáře \"" + gone +
                                       "\" nelze ukládat snímky: " + std::strerror(ENOENT));
              Open("beta");
            }),
            1);
  Application->SetErrorBox({});
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(List->Directory(), Root + "/beta");
}

TEST_F(OutputDirectoryDialog, EscapeCancelsLikeTheCloseBox) {
  WhenModal([this] { QTest::keyClick(List, Qt::Key_Escape); });
  EXPECT_NE(Dialog->ShowModal(), 1);
  EXPECT_FALSE(Dialog->isVisible());
}

TEST_F(OutputDirectoryDialog, NewFolderButtonMakesTheNamedFolderOrRefusesAndChangesNothing) {
  std::vector<std::string> errors;
  Application->SetErrorBox([&](const std::string& Text) { errors.push_back(Text); });
  // Types Name into the question "Nový adresář" asks and confirms it.
  const auto makeFolder = [this](const QString& Name) {
    QTimer::singleShot(0, [Name] {
      auto* ask = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(ask, nullptr);
      ask->setTextValue(Name);
      ask->accept();
    });
    QTest::mouseClick(Dialog->findChild<TSpeedButton*>("SpeedButton2"), Qt::LeftButton);
  };
  EXPECT_EQ(Show([&] {
              for (const QString& name :
                   {QString(), QString("a/b"), QString("tab\tname"), QString("alfa")}) {
                makeFolder(name);
                EXPECT_EQ(List->Directory(), Root);
              }
              ASSERT_EQ(errors.size(), 4u);
              EXPECT_EQ(errors[0], "Název adresáře je prázdný");
              EXPECT_EQ(errors[1], "Název \"a/b\" nesmí obsahovat \"/\" ani řídicí znaky");
              EXPECT_EQ(errors[2], "Název \"tab\tname\" nesmí obsahovat \"/\" ani řídicí znaky");
              EXPECT_EQ(errors[3], "Adresář \"" + Root + "/alfa\" už existuje");
              EXPECT_EQ(QDir(QString::fromStdString(Root))
                            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                            .size(),
                        2);

              makeFolder(QString::fromUtf8("pohled č. 3"));
              EXPECT_EQ(errors.size(), 4u);
            }),
            1);
  Application->SetErrorBox({});
  // Made in the folder shown, and shown: "Použít" confirms it.
  EXPECT_EQ(List->Directory(), Root + "/pohled č. 3");
  EXPECT_TRUE(QDir(QString::fromStdString(Root + "/pohled č. 3")).exists());
}

}  // namespace
