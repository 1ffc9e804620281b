#include "tests/reliability/Station.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/ProjectorFeed.h"
#include "platform/Sleep.h"
#include "platform/Timer.h"
#include "sdk/sim/SimRig.h"
#include "session/Canonator.h"

namespace Station {

namespace {

std::string MessageOf(const std::string& Line) {
  const auto at = Line.find(" : ");
  return at == std::string::npos ? Line : Line.substr(at + 3);
}

unsigned PhotosOnTheirWay(const TSimStatistics& Stats) {
  const unsigned settled = Stats.ShotsSwallowed + Stats.ShotsToCard + Stats.PhotosDelivered;
  return Stats.ShotsAccepted > settled ? Stats.ShotsAccepted - settled : 0;
}

// Whether the point with Index is lit in the pattern of Step (0..16).
bool PointLitAt(int Step, int Index) {
  if (Step == 0) return false;
  if (Step <= 2) return true;
  return (Index >> (14 - (Step - 2))) & 1;
}

// Compares a sample of the start-up raster's points on the projector with the
// pattern of Step: every 7th point's centre pixel, and a pixel between points.
bool ProjectorShows(int Step) {
  const QImage frame = LatestProjectorFrame();
  if (frame.isNull()) return false;
  for (int index = 1; index <= 80 * 120; index += 7) {
    const int r = (index - 1) / 120;
    const int c = (index - 1) % 120;
    const bool lit = frame.pixelColor(10 + 8 * c + 1, 10 + 8 * r + 1).green() > 128;
    if (lit != PointLitAt(Step, index)) return false;
  }
  return (frame.pixelColor(15, 15).green() > 128) == (Step == 1);
}

std::string JsonString(const std::string& Text) {
  std::string out = "\"";
  for (const char c : Text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
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

void BuildWindowSet() {
  Application->CreateForm(Form1);
  Application->CreateForm(Form2);
  Application->CreateForm(PointDef);
  Application->CreateForm(Form3);
  Form1->show();
  Application->ProcessMessages();
}

fs::path MakeTempDirectory(const std::string& Prefix) {
  std::string pattern = (fs::temp_directory_path() / (Prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
  return pattern;
}

TRemoveAtEnd::~TRemoveAtEnd() {
  std::error_code ignored;
  for (const fs::path& path : Paths) fs::remove_all(path, ignored);
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string bytes(std::size_t(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), std::streamsize(bytes.size()));
  return bytes;
}

std::optional<std::vector<std::string>> ReadIndex(const fs::path& Path) {
  std::error_code error;
  if (!fs::is_regular_file(Path, error)) return std::nullopt;
  const std::string text = ReadFile(Path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  // Every line ends in CR LF, the last one too.
  if (start != text.size() || lines.size() < 2) return std::nullopt;
  if (lines[0].rfind("SBF File : 0, 1, points, 14x code pics, ", 0) != 0) return std::nullopt;
  if (lines[1] != std::string(80, '-')) return std::nullopt;
  return std::vector<std::string>(lines.begin() + 2, lines.end());
}

std::vector<std::string> FilesIn(const fs::path& Directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Directory, error))
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string PhotoMissing(int Step) {
  return "Snímek ke step_" + std::to_string(Step) + " nepřišel do 30 s";
}

std::vector<std::string> ScanLog(const std::string& Outcomes) {
  std::vector<std::string> lines = {ScanStarted};
  for (int step = 0; step < TStomper::FinalStep; ++step) {
    const char outcome = std::size_t(step) < Outcomes.size() ? Outcomes[step] : '.';
    lines.push_back("step_" + std::to_string(step));
    if (outcome == 's') lines.push_back(ShutterFailed);
    if (outcome == 'u') lines.push_back(UnlockFailed);
    if (outcome == 's' || outcome == 'w') {
      lines.insert(lines.end(), {PhotoMissing(step), ScanStopped});
      return lines;
    }
    if (outcome == 'd') {
      lines.insert(lines.end(), {NotSaved, ScanStopped});
      return lines;
    }
    lines.push_back(outcome == 'k' ? SavedCameraKeeps : Saved);
  }
  lines.push_back(ScanEnded);
  return lines;
}

TStation::TStation() {
  // The photo time limit runs only when a test moves the clock on.
  SetManualTime(true);
  FLogWatch = QObject::connect(Form1->Memo1, &QPlainTextEdit::textChanged, [this] {
    const TMemoLines& lines = Form1->Memo1->Lines();
    if (lines.Count() > FSeenLines) LineAdded(MessageOf(lines.Strings(lines.Count() - 1)));
    FSeenLines = lines.Count();
  });
  FSeenLines = Form1->Memo1->Lines().Count();
  SetSleepFunction([this](std::uint32_t Milliseconds) {
    Waits.push_back(Milliseconds);
    const int step = Stomper->Step;
    if (Milliseconds == std::uint32_t(Stomper->Delay) && Stomper->Running && step >= 0 &&
        step < TStomper::FinalStep && !ProjectorShows(step))
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
  if (Canonator != nullptr) Canonator->Disconnect();
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
  auto* button = Form1->findChild<TSpeedButton*>(Name);
  ASSERT_NE(button, nullptr) << Name;
  QTest::mouseClick(button, Qt::LeftButton);
  // A new SDK instance counts its deliveries from 0.
  if (std::string(Name) == "SpeedButton1") Rebase();
}

void TStation::ClickProjection() {
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
}

void TStation::ChooseDirectory(const fs::path& Directory) {
  Form3->DirectoryListBox1->SetDirectory(Directory.string());
  QTimer::singleShot(0, [] {
    if (auto* ok = Form3->findChild<TSpeedButton*>("SpeedButton1"))
      QTest::mouseClick(ok, Qt::LeftButton);
  });
  Click("SpeedButton9");
}

bool TStation::RunUntil(const std::function<bool()>& Done) {
  QElapsedTimer timer;
  timer.start();
  while (!Done()) {
    if (timer.elapsed() > Patience.count()) return false;
    Application->ProcessMessages();
    QThread::usleep(200);
  }
  return true;
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
  Messages.push_back(Message);
  if (Message == ScanStarted) FScanStart = FSaved.size();
  if (Message == NotListed && !FListed.empty()) FListed.back() = false;
  if (Message != Saved && Message != SavedCameraKeeps) return;
  // The name was recorded just before the line was logged.
  if (Canonator == nullptr || Canonator->LastSavedFile.empty()) {
    ADD_FAILURE() << "\"" << Message << "\" logged with no recorded file";
    return;
  }
  TSavedPhoto photo;
  photo.Name = Canonator->LastSavedFile;
  const std::string bytes = ReadFile(fs::path(Canonator->OutputDirectory) / photo.Name);
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

struct TWatchdog::TState {
  std::mutex Lock;
  std::condition_variable Disarmed;
  bool Done = false;
};

TWatchdog::TWatchdog(std::string Label, std::chrono::milliseconds Limit)
    : FState(std::make_shared<TState>()) {
  FThread = std::thread([state = FState, Label = std::move(Label), Limit] {
    std::unique_lock lock(state->Lock);
    if (state->Disarmed.wait_for(lock, Limit, [&] { return state->Done; })) return;
    std::fprintf(stderr, "HANG: %s did not finish within %lld ms\n", Label.c_str(),
                 static_cast<long long>(Limit.count()));
    std::fflush(stderr);
    std::abort();
  });
}

TWatchdog::~TWatchdog() {
  {
    std::lock_guard guard(FState->Lock);
    FState->Done = true;
  }
  FState->Disarmed.notify_all();
  FThread.join();
}

void PrintSummary(const std::map<std::string, std::string>& Fields) {
  std::ostringstream line;
  line << "RELIABILITY {";
  bool first = true;
  for (const auto& [key, value] : Fields) {
    line << (first ? "" : ", ") << JsonString(key) << ": " << JsonString(value);
    first = false;
  }
  line << "}\n";
  std::fputs(line.str().c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace Station
