#include "platform/DirectoryControls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/Application.h"

namespace {

std::vector<std::string> Lines(const QListWidget& List) {
  std::vector<std::string> lines;
  for (int i = 0; i < List.count(); ++i) lines.push_back(List.item(i)->text().toStdString());
  return lines;
}

// The path lines of Directory: "/", then one per level.
std::vector<std::string> PathLines(const QString& Directory) {
  std::vector<std::string> lines{"/"};
  for (const QString& level : Directory.split('/', Qt::SkipEmptyParts))
    lines.push_back(level.toStdString());
  return lines;
}

int Row(const QListWidget& List, const std::string& Text) {
  for (int i = List.count() - 1; i >= 0; --i)
    if (List.item(i)->text().toStdString() == Text) return i;
  return -1;
}

class DirectoryList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Temporary.isValid());
    Root = QDir(Temporary.path()).canonicalPath();
    for (const char* name : {"beta", "Alfa", "gama/delta", ".skryty"})
      ASSERT_TRUE(QDir(Root).mkpath(name));
    QFile(Root + "/soubor.txt").open(QIODevice::WriteOnly);
    Previous = QDir::currentPath();
    QDir::setCurrent(Root);
    Form.SetClientSize(231, 257);
    List = new TDirectoryListBox(&Form, "DirectoryListBox1", QRect(8, 40, 217, 177));
    Drives = new TDriveComboBox(&Form, "DriveComboBox1", QRect(8, 8, 217, 19));
    Drives->SetDirList(List);
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
  }
  void TearDown() override { QDir::setCurrent(Previous); }

  // The path lines of Directory followed by Children.
  static std::vector<std::string> Expected(const QString& Directory,
                                           std::vector<std::string> Children) {
    std::vector<std::string> lines = PathLines(Directory);
    lines.insert(lines.end(), Children.begin(), Children.end());
    return lines;
  }

  void DoubleClick(int Row) {
    const QRect line = List->visualItemRect(List->item(Row));
    ASSERT_TRUE(List->viewport()->rect().contains(line.center())) << "line off view";
    // Through the window, as the platform delivers a double click.
    QTest::mouseDClick(Form.windowHandle(), Qt::LeftButton, {},
                       List->viewport()->mapTo(&Form, line.center()));
    Application->ProcessMessages();
  }

  QTemporaryDir Temporary;
  QString Root;
  QString Previous;
  TForm Form;
  TDirectoryListBox* List = nullptr;
  TDriveComboBox* Drives = nullptr;
};

TEST_F(DirectoryList, StartsAtTheWorkingDirectoryWithPathAndSortedSubdirectories) {
  EXPECT_EQ(List->Directory(), Root.toStdString());
  EXPECT_EQ(Lines(*List), Expected(Root, {"Alfa", "beta", "gama"}));
  // The current directory's line is the selected one.
  EXPECT_EQ(List->currentRow(), int(PathLines(Root).size()) - 1);
  EXPECT_EQ(List->visualItemRect(List->item(0)).height(), TDirectoryListBox::ItemHeight);
  EXPECT_TRUE(List->Readable());
}

TEST_F(DirectoryList, OpeningByDoubleClickOrEnterChangesDirectorySelectingDoesNot) {
  const int gama = Row(*List, "gama");
  QTest::mouseClick(List->viewport(), Qt::LeftButton, {},
                    List->visualItemRect(List->item(gama)).center());
  EXPECT_EQ(List->currentRow(), gama);
  EXPECT_EQ(List->Directory(), Root.toStdString());

  DoubleClick(gama);
  EXPECT_EQ(List->Directory(), (Root + "/gama").toStdString());
  EXPECT_EQ(Lines(*List), Expected(Root + "/gama", {"delta"}));

  // Enter on the selected line of the parent goes up.
  List->setCurrentRow(Row(*List, QDir(Root).dirName().toStdString()));
  QTest::keyClick(List, Qt::Key_Return);
  EXPECT_EQ(List->Directory(), Root.toStdString());
  List->setCurrentRow(Row(*List, "beta"));
  QTest::keyClick(List, Qt::Key_Enter);
  EXPECT_EQ(List->Directory(), (Root + "/beta").toStdString());
  EXPECT_EQ(Lines(*List), Expected(Root + "/beta", {}));

  // Enter with no line selected does nothing.
  List->clearSelection();
  QTest::keyClick(List, Qt::Key_Return);
  EXPECT_EQ(List->Directory(), (Root + "/beta").toStdString());
}

TEST_F(DirectoryList, TheRootIsASingleSlash) {
  DoubleClick(0);
  EXPECT_EQ(List->Directory(), "/");
  EXPECT_EQ(List->item(0)->text(), "/");
  EXPECT_NE(Row(*List, QDir(Root).path().split('/', Qt::SkipEmptyParts)[0].toStdString()), -1);
  List->SetDirectory(Root.toStdString() + "/beta/../");
  EXPECT_EQ(List->Directory(), Root.toStdString());
}

TEST_F(DirectoryList, AVanishedDirectoryShowsItsPathAndACannotReadLine) {
  const int gama = Row(*List, "gama");
  ASSERT_TRUE(QDir(Root + "/gama").removeRecursively());
  DoubleClick(gama);
  EXPECT_EQ(List->Directory(), (Root + "/gama").toStdString());
  EXPECT_FALSE(List->Readable());
  EXPECT_EQ(Lines(*List), Expected(Root + "/gama", {TDirectoryListBox::UnreadableText}));
  QListWidgetItem* notice = List->item(List->count() - 1);
  EXPECT_FALSE(notice->flags() & Qt::ItemIsEnabled);
  // The notice opens nothing; the path lines still lead back.
  DoubleClick(List->count() - 1);
  EXPECT_EQ(List->Directory(), (Root + "/gama").toStdString());
  DoubleClick(List->count() - 3);
  EXPECT_EQ(List->Directory(), Root.toStdString());
  EXPECT_TRUE(List->Readable());
}

TEST_F(DirectoryList, ADirectoryWithoutAccessShowsTheCannotReadLine) {
  if (geteuid() == 0) GTEST_SKIP() << "file modes do not bind the superuser";
  const QString locked = Root + "/beta";
  ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::Permissions()));
  List->SetDirectory(locked.toStdString());
  QFile::setPermissions(locked,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  EXPECT_FALSE(List->Readable());
  EXPECT_EQ(Lines(*List), Expected(locked, {TDirectoryListBox::UnreadableText}));
}

TEST_F(DirectoryList, DriveSelectorFollowsTheListAndRemembersEachDrivesDirectory) {
  const std::vector<std::string> drives = TDriveComboBox::MountedDrives();
  ASSERT_FALSE(drives.empty());
  EXPECT_EQ(drives.front(), "/");
  EXPECT_EQ(Drives->count(), int(drives.size()));
  List->SetDirectory((Root + "/gama").toStdString());
  const std::string home = Drives->Drive();
  EXPECT_TRUE(Root.startsWith(QString::fromStdString(home)));

  // Another drive, chosen with the keyboard, opens at its root; coming back
  // to the first drive returns to its last directory.
  if (drives.size() > 1) {
    Drives->setFocus();
    Drives->setCurrentIndex(0);
    QTest::keyClick(Drives, Qt::Key_Down);
    EXPECT_EQ(List->Directory(), drives[1]);
  }
  Drives->SetDrive(home);
  EXPECT_EQ(List->Directory(), (Root + "/gama").toStdString());
  Drives->SetDrive("/not/a/drive");
  EXPECT_EQ(List->Directory(), (Root + "/gama").toStdString());
}

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
