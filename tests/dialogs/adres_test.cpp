#include "dialogs/adres.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
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
  EXPECT_EQ(Dialog->size(), QSize(231, 257));
  EXPECT_EQ(Dialog->BorderStyle(), TBorderStyle::bsDialog);
  auto* drives = Dialog->findChild<TDriveComboBox*>("DriveComboBox1");
  ASSERT_NE(drives, nullptr);
  EXPECT_EQ(drives->geometry(), QRect(8, 8, 217, 19));
  EXPECT_EQ(List->geometry(), QRect(8, 40, 217, 177));
  auto* button = Dialog->findChild<TSpeedButton*>("SpeedButton1");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->geometry(), QRect(8, 224, 217, 25));
  EXPECT_EQ(button->text().toStdString(), "Použít");
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

}  // namespace
