// Whole scans through the real buttons, with real waits and the simulated
// camera: the photographs must spell out every point's number.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "app/Ovl_1.h"
#include "app/ScanCheckLog.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "sdk/sim/SimRig.h"
#include "session/Canonator.h"
#include "tests/support/ScanDecode.h"

namespace fs = std::filesystem;

namespace {

constexpr int PhotoWidth = 2048;
constexpr int PhotoHeight = 1536;

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> SplitCrLf(const std::string& Text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = Text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(Text.substr(start, end - start));
  return lines;
}

// Runs the loop until Done holds or Milliseconds have passed.
bool RunLoopUntil(const std::function<bool()>& Done, int Milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (!Done() && timer.elapsed() < Milliseconds) {
    Application->ProcessMessages();
    QThread::msleep(1);
  }
  return Done();
}

void Click(const char* Name) {
  auto* button = Form1->findChild<TSpeedButton*>(Name);
  ASSERT_NE(button, nullptr) << Name;
  QTest::mouseClick(button, Qt::LeftButton);
}

class TEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvalet-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    Form1->show();
    Form2->hide();
    Application->ProcessMessages();
  }
  void TearDown() override {
    Stomper->Check = nullptr;
    Canonator->Disconnect();
    Stomper->Running = false;
    Stomper->PhotoTimeout = TStomper::DefaultPhotoTimeout;
    fs::remove_all(Dir);
  }

  void ConnectRig(const std::string& Config) {
    ASSERT_TRUE(SimConfigure(Config));
    Click("SpeedButton1");
    ASSERT_TRUE(Canonator->Connected);
    Canonator->OutputDirectory = Dir.string() + "/";
  }

  std::vector<std::string> Photos() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir))
      if (entry.path().extension() == ".JPG") names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path Dir;
};

// The newest log line that begins with Prefix, without its time; empty when none.
std::string LastLogLine(const std::string& Prefix) {
  const TMemoLines& lines = Form1->Memo1->Lines();
  for (int i = lines.Count() - 1; i >= 0; --i) {
    const std::string line = lines.Strings(i);
    const auto at = line.find(" : " + Prefix);
    if (at != std::string::npos) return line.substr(at + 3);
  }
  return {};
}

TEST_F(TEndToEndTest, FullScanSpellsOutEveryPointNumber) {
  ConnectRig("cameras=1,latency=0,seed=17");
  const auto check = CreateLoggedScanCheck();
  Stomper->Check = check.get();
  Click("SpeedButton10");
  ASSERT_FALSE(Form1->isVisible());
  ASSERT_TRUE(RunLoopUntil([] { return Form1->isVisible(); }, 90000)) << "the scan never ended";
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 17);

  const std::vector<std::string> index = SplitCrLf(ReadFile(Dir / "corvalet.sbf"));
  ASSERT_EQ(index.size(), 19u);
  EXPECT_EQ(index[0].rfind("SBF File : 0, 1, points, 14x code pics, ", 0), 0u);
  EXPECT_EQ(index[1], std::string(80, '-'));
  const std::vector<std::string> names(index.begin() + 2, index.end());
  EXPECT_EQ(Photos().size(), 17u);

  std::vector<QImage> photos;
  for (const std::string& name : names) {
    QImage photo(QString::fromStdString((Dir / name).string()), "JPEG");
    ASSERT_FALSE(photo.isNull()) << name;
    ASSERT_EQ(photo.size(), QSize(PhotoWidth, PhotoHeight)) << name;
    photos.push_back(std::move(photo));
  }
  const TScanDecoding decoded = DecodeScan(photos);
  EXPECT_EQ(decoded.NotFound, 0);
  EXPECT_EQ(decoded.Wrong, 0) << decoded.FirstWrong;

  // The check, run while the scan ran, agrees and leaves its report beside the index.
  ASSERT_TRUE(RunLoopUntil([] { return !LastLogLine("Kontrola").empty(); }, 30000));
  EXPECT_EQ(LastLogLine("Kontrola"), "Kontrola: 9600/9600 bodů čitelných");
  EXPECT_TRUE(fs::exists(Dir / "corvalet-check.txt"));
  EXPECT_TRUE(fs::exists(Dir / "corvalet-check.png"));
  EXPECT_EQ(SplitCrLf(ReadFile(Dir / "corvalet.sbf")), index);
}

TEST_F(TEndToEndTest, SwallowedShotStopsTheScanAtThePhotoTimeLimit) {
  // The sixth shot is accepted but never delivered.
  ConnectRig("cameras=1,latency=0,size=640x480,swallow=6");
  Stomper->PhotoTimeout = 2000;
  QElapsedTimer clock;
  clock.start();
  Click("SpeedButton10");
  ASSERT_TRUE(RunLoopUntil([] { return Form1->isVisible(); }, 60000)) << "the scan never stopped";
  EXPECT_GE(clock.elapsed(), 2000);
  EXPECT_EQ(SimStatistics().ShotsSwallowed, 1u);
  EXPECT_FALSE(Stomper->Running);
  EXPECT_EQ(Stomper->Step, 6);
  EXPECT_EQ(Photos().size(), 5u);
  EXPECT_TRUE(Canonator->CapturedFiles.empty());
  EXPECT_FALSE(fs::exists(Dir / "corvalet.sbf"));
  const TMemoLines& log = Form1->Memo1->Lines();
  ASSERT_GE(log.Count(), 2);
  EXPECT_TRUE(log.Strings(log.Count() - 2).ends_with(" : Snímek ke step_5 nepřišel do 2 s"));
  EXPECT_TRUE(
      log.Strings(log.Count() - 1).ends_with(" : Snímání zastaveno, seznam snímků nezapsán"));
}

}  // namespace

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  application.CreateForm(Form1);
  application.CreateForm(Form2);
  application.CreateForm(PointDef);
  application.CreateForm(Form3);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
