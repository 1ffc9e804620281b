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
#include "pattern/obraz.h"
#include "platform/ProjectorFeed.h"
#include "session/Koordinator.h"
#include "tests/support/DialogWorld.h"
#include "tests/support/Station.h"

using ::testing::Contains;
using ::testing::IsEmpty;
using namespace Station;

namespace {

fs::path ConfigHome;
// The raster the projection window starts with, as the settings dialog's fields give it.
const TPointDef::TFieldValues StartUpRaster{10, 10, 80, 120, 3, 8, 0, 0, 255, 0, 0, 0};
const std::string StartUpText = "LHX 10, LHY 10, řádků 80, sloupců 120, velikost 3, odstup 8";

class TChoiceMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    Folder = MakeTempDirectory("corvalet-memory");
    Cleanup.Paths.push_back(Folder);
    Restart();
    Form1->RemembersChoices = true;
  }
  void TearDown() override {
    Form1->RemembersChoices = false;
    Restart();
  }

  // What a new start of the program finds before it restores anything: the
  // start-up folder, raster and dialog texts, an empty log.
  static void Restart() {
    Koordinator->OutputDirectory = TKoordinator::DefaultOutputDirectory();
    Koordinator->FolderPerScan = false;
    MatGen->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
    const char* texts[] = {"5", "5", "100", "100", "2", "7", "0", "0", "255", "0", "0", "0"};
    for (int i = 0; i < 12; ++i)
      PointDef->findChild<TLabeledEdit*>("LabeledEdit" + QString::number(i + 1))->SetText(texts[i]);
    Form1->Memo1->Lines().Clear();
  }
  static TPointDef::TFieldValues RasterInForce() { return TPointDef::ValuesOf(*MatGen); }

  fs::path Folder;
  TRemoveAtEnd Cleanup;
};

TEST_F(TChoiceMemoryTest, ARestartRestoresTheFolderThePerScanChoiceAndTheRaster) {
  ChooseFolder(Folder, true);
  ASSERT_TRUE(Koordinator->FolderPerScan);
  EXPECT_THAT(LogMessages(), ::testing::ElementsAre("Zvolen adresář " + Folder.string() +
                                                    "/, každé snímání do nového podadresáře"));
  TypeRaster({"12", "9", "40", "30", "3", "11"});
  ASSERT_EQ(MatGen->Spacing(), 11);
  const TPointDef::TFieldValues typed = RasterInForce();
  Restart();

  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, Folder.string() + "/");
  EXPECT_TRUE(Koordinator->FolderPerScan);
  EXPECT_EQ(RasterInForce(), typed);
  EXPECT_EQ(PointDef->LabeledEdit6->Text(), "11");
  EXPECT_THAT(LogMessages(),
              ::testing::ElementsAre("Obnoven adresář " + Folder.string() + "/",
                                     "Obnoveno: každé snímání do nového podadresáře",
                                     "Promítaný rastr: LHX 12, LHY 9, řádků 40, sloupců 30, "
                                     "velikost 3, odstup 11",
                                     "Obnoven rastr: LHX 12, LHY 9, řádků 40, sloupců 30, "
                                     "velikost 3, odstup 11"));
  // The directory dialog opens at the folder in use.
  EXPECT_EQ(FolderTheDialogOpensAt(), Folder.string());
  // Kept in the test's configuration folder, never the user's.
  EXPECT_THAT(QSettings().fileName().toStdString(), ::testing::StartsWith(ConfigHome.string()));
}

TEST_F(TChoiceMemoryTest, TheRasterRememberedIsTheRasterTheProjectorDraws) {
  // Only a folder chosen: the start-up raster stays in force after a restart.
  ChooseFolder(Folder);
  Restart();
  RestoreChoices();
  EXPECT_EQ(RasterInForce(), StartUpRaster);
  EXPECT_THAT(LogMessages(), ::testing::Not(Contains(::testing::StartsWith("Obnoven rastr"))));

  // The generator's corrections are remembered, not the texts typed: offsets off the
  // picture, more rows than fit, a size past the spacing, a negative size's
  // 255-pixel squares, colour components past 255.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"0", "50", "500", "30", "9", "9", "256", "-1", "300"},
       "LHX 10, LHY 10, řádků 80, sloupců 30, velikost 8, odstup 9"},
      {{"20", "20", "10", "10", "-1", "40"},
       "LHX 20, LHY 20, řádků 10, sloupců 10, velikost 255, odstup 40"}};
  for (const auto& [texts, restored] : cases) {
    TypeRaster(texts);
    const TPointDef::TFieldValues drawn = RasterInForce();
    Restart();
    RestoreChoices();
    EXPECT_EQ(RasterInForce(), drawn) << restored;
    EXPECT_THAT(LogMessages(), Contains("Obnoven rastr: " + restored));
  }
  EXPECT_EQ(MatGen->PointSize(), 255);
  EXPECT_EQ(MatGen->PointColour().Value(), 0x002CFFu);
}

TEST_F(TChoiceMemoryTest, AGoneFolderStaysRememberedAndARefusedRasterIsLeftOut) {
  ChooseFolder(Folder);
  // A whole raster with spacing 0, as the settings file may hold it.
  TypeRaster({"12", "9", "40", "30", "3", "11"});
  QSettings().setValue("Raster/Spacing", 0);
  Restart();
  fs::remove_all(Folder);
  const std::string fallback = Koordinator->OutputDirectory;

  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, fallback);
  EXPECT_EQ(RasterInForce(), StartUpRaster);
  ASSERT_NE(MatGen->CodeTable(), nullptr);
  EXPECT_EQ(PointDef->LabeledEdit6->Text(), "7");
  EXPECT_THAT(LogMessages(), Contains("Zapamatovaný adresář \"" + Folder.string() +
                                      "/\" nelze použít: No such file or directory; snímky "
                                      "půjdou do " +
                                      fallback + "; zůstává zapamatován, dokud nezvolíte jiný"));
  EXPECT_THAT(LogMessages(), Contains("Zapamatovaný rastr nelze použít; platí " + StartUpText));
  // "Zobrazit" still shows the start-up raster.
  Click("SpeedButton5");
  ASSERT_TRUE(RunLoopUntil([] { return !LatestProjectorFrame().isNull(); }));
  EXPECT_EQ(WrongPointsOnProjector(2), 0);
  Click("SpeedButton6");

  // A raster chosen meanwhile does not forget the folder; once it is back, a restart finds it.
  TypeRaster({"12"});
  fs::create_directory(Folder);
  Restart();
  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, Folder.string() + "/");
  // Another folder chosen replaces it.
  const fs::path other = MakeTempDirectory("corvalet-memory");
  Cleanup.Paths.push_back(other);
  ChooseFolder(other);
  EXPECT_EQ(QSettings().value("OutputDirectory").toString().toStdString(), other.string() + "/");
}

TEST_F(TChoiceMemoryTest, AnEmptyRememberedFolderIsNoChoice) {
  QSettings().setValue("OutputDirectory", "");
  const std::string fallback = Koordinator->OutputDirectory;
  RestoreChoices();
  EXPECT_EQ(Koordinator->OutputDirectory, fallback);
  EXPECT_THAT(LogMessages(), IsEmpty());
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
