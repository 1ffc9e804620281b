// The operator's choices across a restart, in a configuration folder of the test's own.

#include "app/ChoiceMemory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QSettings>
#include <QTest>

#include "app/Ovl_1.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/Mat_gen.h"
#include "session/Koordinator.h"
#include "tests/support/DialogWorld.h"
#include "tests/support/Station.h"

using ::testing::Contains;
using namespace Station;

namespace {

fs::path ConfigHome;
constexpr TPointDef::TFieldValues StartUp = TPointDef::StartUpValues;

class TChoiceMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    Folder = MakeTempDirectory("corvalet-memory");
    Cleanup.Paths.push_back(Folder);
    Form1->Memo1->Lines().Clear();
    Form1->RemembersChoices = true;
  }
  void TearDown() override {
    Form1->RemembersChoices = false;
    Koordinator->FolderPerScan = false;
    PointDef->ApplyValues(StartUp);
  }

  // "Adresář", Directory chosen, the per-scan box ticked when PerScan, confirmed.
  static void ChooseFolder(const fs::path& Directory, bool PerScan = false) {
    Form3->DirectoryListBox1->SetDirectory(Directory.string());
    WhenModal([PerScan] {
      if (PerScan) QTest::mouseClick(Form3->findChild<QCheckBox*>("CheckBox1"), Qt::LeftButton);
      Click("SpeedButton1", Form3);
    });
    Click("SpeedButton9");
  }
  // "Definovat", the geometry typed, "Použít", then the close box.
  static void TypeRaster(const std::vector<std::string>& Geometry) {
    WhenModal([Geometry] {
      for (std::size_t i = 0; i < Geometry.size(); ++i) {
        auto* field = PointDef->findChild<TLabeledEdit*>("LabeledEdit" + QString::number(i + 1));
        field->selectAll();
        QTest::keyClicks(field, QString::fromStdString(Geometry[i]));
      }
      QTest::mouseClick(PointDef->findChild<QWidget*>("SpeedButton3"), Qt::LeftButton);
      PointDef->close();
    });
    Click("SpeedButton7");
  }

  fs::path Folder;
  TRemoveAtEnd Cleanup;
};

TEST_F(TChoiceMemoryTest, ARestartRestoresTheFolderThePerScanChoiceAndTheRaster) {
  ChooseFolder(Folder, true);
  ASSERT_TRUE(Koordinator->FolderPerScan);
  TypeRaster({"12", "9", "40", "30", "3", "11"});
  ASSERT_EQ(MatGen->Spacing(), 11);
  // What a restart finds: the start-up folder and raster in force.
  Koordinator->OutputDirectory = TKoordinator::DefaultOutputDirectory();
  Koordinator->FolderPerScan = false;
  PointDef->ApplyValues(StartUp);
  Form1->Memo1->Lines().Clear();

  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, Folder.string() + "/");
  EXPECT_TRUE(Koordinator->FolderPerScan);
  EXPECT_EQ(Form3->DirectoryListBox1->Directory(), Folder.string());
  EXPECT_EQ(
      std::vector<std::int32_t>({MatGen->OffsetX(), MatGen->OffsetY(), MatGen->RowCount(),
                                 MatGen->ColumnCount(), MatGen->PointSize(), MatGen->Spacing()}),
      std::vector<std::int32_t>({12, 9, 40, 30, 3, 11}));
  EXPECT_EQ(PointDef->LabeledEdit6->Text(), "11");
  EXPECT_THAT(LogMessages(),
              ::testing::ElementsAre("Obnoven adresář " + Folder.string() + "/",
                                     "Obnoveno: každé snímání do nového podadresáře",
                                     "Promítaný rastr: LHX 12, LHY 9, řádků 40, sloupců 30, "
                                     "velikost 3, odstup 11",
                                     "Obnoven rastr: LHX 12, LHY 9, řádků 40, sloupců 30, "
                                     "velikost 3, odstup 11"));
  // Kept in the test's configuration folder, never the user's.
  EXPECT_THAT(QSettings().fileName().toStdString(), ::testing::StartsWith(ConfigHome.string()));
}

TEST_F(TChoiceMemoryTest, AGoneFolderOrARefusedRasterIsLeftOutAndSaidSo) {
  ChooseFolder(Folder);
  QSettings().setValue("Raster/Spacing", 0);
  const std::string before = TKoordinator::DefaultOutputDirectory();
  Koordinator->OutputDirectory = before;
  fs::remove_all(Folder);

  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, before);
  EXPECT_EQ(PointDef->Applied, StartUp);
  EXPECT_EQ(PointDef->LabeledEdit6->Text(), "7");
  EXPECT_THAT(LogMessages(), Contains("Zapamatovaný adresář \"" + Folder.string() +
                                      "/\" nelze použít: No such file or directory; snímky "
                                      "půjdou do " +
                                      before));
  EXPECT_THAT(LogMessages(), Contains("Zapamatovaný rastr nelze použít; platí LHX 5, LHY 5, "
                                      "řádků 100, sloupců 100, velikost 2, odstup 7"));
}

TEST_F(TChoiceMemoryTest, NothingIsRememberedWhenTheRunStartedFromDefaults) {
  Form1->RemembersChoices = false;
  ChooseFolder(Folder);
  TypeRaster({"12"});
  EXPECT_EQ(Koordinator->OutputDirectory, Folder.string() + "/");
  EXPECT_TRUE(QSettings().allKeys().isEmpty());
}

}  // namespace

int main(int argc, char** argv) {
  // Set before the first settings object: Qt reads it once.
  ConfigHome = MakeTempDirectory("corvalet-config");
  setenv("XDG_CONFIG_HOME", ConfigHome.c_str(), 1);
  QCoreApplication::setOrganizationName("corvaletscan-test");
  QCoreApplication::setApplicationName("corvaletscan-test");
  const int result = RunTestsWithWindowSet(argc, argv);
  fs::remove_all(ConfigHome);
  return result;
}
