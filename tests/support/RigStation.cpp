#include "tests/support/RigStation.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "app/Ovl_1.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Sleep.h"
#include "platform/Timer.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"

namespace Station {

namespace {

unsigned PhotosOnTheirWay(const TSimStatistics& Stats) {
  const unsigned settled = Stats.ShotsSwallowed + Stats.ShotsToCard + Stats.PhotosDelivered;
  return Stats.ShotsAccepted > settled ? Stats.ShotsAccepted - settled : 0;
}

}  // namespace

bool WaitForDeliveries(unsigned Count) {
  QElapsedTimer timer;
  timer.start();
  while (SimStatistics().PhotosDelivered < Count) {
    if (timer.elapsed() > Patience.count()) return false;
    QThread::usleep(200);
  }
  return true;
}

TStation::TStation() {
  // The photo time limit runs only when a test moves the clock on.
  SetManualTime(true);
  FLogWatch = QObject::connect(Form1->Memo1, &QPlainTextEdit::textChanged, [this] {
    const TMemoLines& lines = Form1->Memo1->Lines();
    if (lines.Count() > FSeenLines) {
      const std::string line = lines.Strings(lines.Count() - 1);
      LineAdded(MessageOf(line));
      // A saved photo's line names the file the station recorded, folder and all.
      if (MessageOf(line) == Saved && Koordinator != nullptr) {
        EXPECT_EQ(SavedPath(line), Koordinator->LastSavedDirectory + Koordinator->LastSavedFile);
      }
    }
    FSeenLines = lines.Count();
  });
  FSeenLines = Form1->Memo1->Lines().Count();
  SetSleepFunction([this](std::uint32_t Milliseconds) {
    Waits.push_back(Milliseconds);
    const int step = Stomper->Step;
    if (Milliseconds == std::uint32_t(Stomper->Delay) && Stomper->Running && step >= 0 &&
        step < TStomper::FinalStep && WrongPointsOnProjector(step, 7) != 0)
      WrongPatternSteps.push_back(step);
    if (OnWait) OnWait(Milliseconds);
  });
  Application->SetErrorBox([this](const std::string& Text) { Errors.push_back(Text); });
  FPreviousHook = Application->SetMessageHook({});
  Application->SetMessageHook([this](TMsg& Msg, bool& Handled) {
    if (Msg.message == CameraTransferMessage && HoldTransfers) {
      Held.push_back(Msg);
      Handled = true;
      return;
    }
    if (Msg.message == CameraTransferMessage) ++Transfers;
    FPreviousHook(Msg, Handled);
  });
}

TStation::~TStation() {
  // A case that failed half-way may leave a scan running or a window hidden.
  if (Koordinator != nullptr) Koordinator->Disconnect();
  Stomper->Running = false;
  Form2->hide();
  Form1->show();
  Application->ProcessMessages();
  Application->SetMessageHook(FPreviousHook);
  Application->SetErrorBox({});
  SetSleepFunction({});
  SetManualTime(false);
  QObject::disconnect(FLogWatch);
}

void TStation::Click(const char* Name) {
  Station::Click(Name);
  // A new SDK instance counts its deliveries from 0.
  if (std::string(Name) == "SpeedButton1") Rebase();
}

void TStation::ClickProjection() {
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
}

void TStation::ChooseDirectory(const fs::path& Directory) {
  ChooseFolder(Directory);
}

bool TStation::RunUntil(const std::function<bool()>& Done) {
  return RunLoopUntil(Done);
}

bool TStation::Settle() {
  return RunUntil([this] {
    const TSimStatistics stats = SimStatistics();
    // Delivered counts a photo just before its message is posted: equal counts
    // mean every message came and was handled.
    return PhotosOnTheirWay(stats) == 0 &&
           stats.PhotosDelivered - FDeliveredAtStart == Transfers - FTransfersAtStart;
  });
}

void TStation::ReleaseHeld() {
  for (const TMsg& msg : Held)
    EXPECT_TRUE(PostMessageA(msg.hwnd, msg.message, msg.wParam, msg.lParam));
  Held.clear();
}

void TStation::Rebase() {
  FTransfersAtStart = Transfers;
  FDeliveredAtStart = SimStatistics().PhotosDelivered;
}

void TStation::Mark() {
  Messages.clear();
  SettingsLines.clear();
  Errors.clear();
  Waits.clear();
  WrongPatternSteps.clear();
  FSaved.clear();
  FListed.clear();
  FScanStart = 0;
}

std::vector<std::string> TStation::SavedNames() const {
  std::vector<std::string> names;
  for (const TSavedPhoto& photo : FSaved) names.push_back(photo.Name);
  return names;
}

std::vector<std::string> TStation::ScanNames() const {
  std::vector<std::string> names;
  for (std::size_t i = FScanStart; i < FSaved.size(); ++i)
    if (FListed[i]) names.push_back(FSaved[i].Name);
  return names;
}

void TStation::LineAdded(const std::string& Message) {
  if (Message.starts_with(CameraSettingsPrefix)) {
    SettingsLines.push_back(Message);
    return;
  }
  Messages.push_back(Message);
  if (Message == ScanStarted) FScanStart = FSaved.size();
  if (Message == NotListed && !FListed.empty()) FListed.back() = false;
  if (Message != Saved && Message != SavedCameraKeeps) return;
  // The name was recorded just before the line was logged.
  if (Koordinator == nullptr || Koordinator->LastSavedFile.empty()) {
    ADD_FAILURE() << "\"" << Message << "\" logged with no recorded file";
    return;
  }
  TSavedPhoto photo;
  photo.Name = Koordinator->LastSavedFile;
  const std::string bytes = ReadFile(fs::path(Koordinator->OutputDirectory) / photo.Name);
  photo.Size = bytes.size();
  photo.Digest = SimDigest(bytes);
  FSaved.push_back(photo);
  FListed.push_back(true);
}

void ExpectPhotosIntact(const fs::path& Directory, const std::vector<TSavedPhoto>& Photos,
                        QSize Size, const std::string& Context) {
  for (const TSavedPhoto& photo : Photos) {
    SCOPED_TRACE(Context + " " + photo.Name);
    const std::string bytes = ReadFile(Directory / photo.Name);
    const std::optional<TSimPhoto> sent = SimPhoto(photo.Name);
    ASSERT_TRUE(sent.has_value()) << "the rig never delivered it";
    EXPECT_GT(photo.Size, 0u);
    EXPECT_EQ(photo.Size, sent->Size) << "saved short";
    EXPECT_EQ(photo.Digest, sent->Digest) << "saved other bytes than were sent";
    EXPECT_EQ(bytes.size(), photo.Size) << "changed on disk since it was saved";
    EXPECT_EQ(SimDigest(bytes), photo.Digest) << "changed on disk since it was saved";
    const QImage image =
        QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), int(bytes.size()), "JPEG");
    EXPECT_FALSE(image.isNull()) << "does not decode";
    EXPECT_EQ(image.size(), Size);
  }
}

}  // namespace Station
