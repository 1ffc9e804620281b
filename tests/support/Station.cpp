#include "tests/support/Station.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QCheckBox>
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

#include "app/Ovl_1.h"
#include "app/Windows.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "platform/ProjectorFeed.h"

namespace Station {

namespace {

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

void BuildWindowSet() {
  CreateWindows(*Application);
  Form1->show();
  Application->ProcessMessages();
}

int RunTestsWithWindowSet(int& Argc, char** Argv) {
  TApplication application(Argc, Argv);
  BuildWindowSet();
  ::testing::InitGoogleTest(&Argc, Argv);
  return RUN_ALL_TESTS();
}

void Click(const char* Name, QWidget* Window) {
  // Any button: the main window's speed buttons and the push buttons of the newer windows.
  auto* button = (Window != nullptr ? Window : Form1)->findChild<QAbstractButton*>(Name);
  ASSERT_NE(button, nullptr) << Name;
  QTest::mouseClick(button, Qt::LeftButton);
}

void ChooseFolder(const fs::path& Directory, bool PerScan) {
  // From the dialog's own loop: it opens at the folder in use.
  QTimer::singleShot(0, [Directory, PerScan] {
    Form3->DirectoryListBox1->SetDirectory(Directory.string());
    Form3->CheckBox1->setChecked(PerScan);
    Click("SpeedButton1", Form3);
  });
  Click("SpeedButton9");
}

void TypeRaster(const std::vector<std::string>& Texts) {
  QTimer::singleShot(0, [Texts] {
    for (std::size_t i = 0; i < Texts.size(); ++i) {
      auto* field = PointDef->findChild<TLabeledEdit*>("LabeledEdit" + QString::number(i + 1));
      field->selectAll();
      QTest::keyClicks(field, QString::fromStdString(Texts[i]));
    }
    Click("SpeedButton3", PointDef);
    PointDef->close();
  });
  Click("SpeedButton7");
}

std::string FolderTheDialogOpensAt() {
  std::string shown;
  QTimer::singleShot(0, [&shown] {
    shown = Form3->DirectoryListBox1->Directory();
    Form3->close();
  });
  Click("SpeedButton9");
  return shown;
}

bool RunLoopUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit) {
  QElapsedTimer timer;
  timer.start();
  while (!Done()) {
    if (timer.elapsed() > Limit.count()) return false;
    Application->ProcessMessages();
    QThread::usleep(200);
  }
  return true;
}

bool RunLoopUntilScanEnds() {
  return RunLoopUntil([] { return Form1->isVisible(); }, ScanPatience);
}

std::string MessageOf(const std::string& Line) {
  const auto at = Line.find(" : ");
  std::string message = at == std::string::npos ? Line : Line.substr(at + 3);
  // The file a saved-photo line names is compared where a test asks for it (SavedPath).
  if (message.rfind(Saved + ": ", 0) == 0) message.resize(Saved.size());
  if (message.rfind(MayMove + ": ", 0) == 0) message.resize(MayMove.size());
  const std::string left = " zůstává v kameře";
  if (message.rfind("Snímek ", 0) == 0 && message.ends_with(left)) message = LeftOnCamera;
  return message;
}

std::string SavedPath(const std::string& Line) {
  const auto at = Line.find(Saved + ": ");
  return at == std::string::npos ? std::string() : Line.substr(at + Saved.size() + 2);
}

std::vector<std::string> LogMessages(const TMemo* Memo) {
  const TMemoLines& lines = (Memo != nullptr ? Memo : Form1->Memo1)->Lines();
  std::vector<std::string> messages;
  for (int i = 0; i < lines.Count(); ++i) messages.push_back(MessageOf(lines.Strings(i)));
  return messages;
}

bool PointLitAt(int Step, int Index) {
  if (Step == 0) return false;
  if (Step <= 2) return true;
  return (Index >> (14 - (Step - 2))) & 1;
}

int WrongPointsOnProjector(int Step, int Every) {
  const QImage frame = LatestProjectorFrame();
  if (frame.isNull()) return 9600;
  int wrong = 0;
  for (int index = 1; index <= 80 * 120; index += Every) {
    const int r = (index - 1) / 120;
    const int c = (index - 1) % 120;
    const bool lit = frame.pixelColor(10 + 8 * c + 1, 10 + 8 * r + 1).green() > 128;
    if (lit != PointLitAt(Step, index)) ++wrong;
  }
  // Between the points: lit only in the lit field.
  if ((frame.pixelColor(15, 15).green() > 128) != (Step == 1)) ++wrong;
  return wrong;
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

std::string Downloading(int Number) {
  return "Stahování " + std::to_string(Number) + "/" + std::to_string(TStomper::FinalStep);
}

std::vector<std::string> ScanLog(const std::string& Outcomes) {
  std::vector<std::string> lines = {ScanStarted, SettleLogged};
  for (int step = 0; step < TStomper::FinalStep; ++step) {
    const char outcome = std::size_t(step) < Outcomes.size() ? Outcomes[step] : '.';
    lines.push_back("step_" + std::to_string(step));
    if (outcome == 'u') lines.push_back(UnlockFailed);
    if (outcome == 's' || outcome == 'w') {
      lines.insert(lines.end(), {outcome == 's' ? ShutterFailed : PhotoMissing(step), ScanStopped});
      return lines;
    }
    if (step == TStomper::FinalStep - 1)
      lines.insert(lines.end(), {MayMove, ScanEnded, Downloading(TStomper::FinalStep)});
    if (outcome == 'd') {
      lines.insert(lines.end(), {NotSaved, LeftOnCamera, ScanStopped});
      return lines;
    }
    lines.push_back(outcome == 'k' ? SavedCameraKeeps : Saved);
  }
  return lines;
}

std::vector<std::string> ScanLogInto(const fs::path& Dir, const std::vector<std::string>& Before) {
  std::vector<std::string> lines = ScanLog();
  if (std::find(Before.begin(), Before.end(), "corvalet.sbf") == Before.end()) return lines;
  std::vector<std::string> kept;
  for (const std::string& name : FilesIn(Dir))
    if (name.starts_with("corvalet-") && name.ends_with(".sbf") &&
        std::find(Before.begin(), Before.end(), name) == Before.end())
      kept.push_back(name);
  EXPECT_EQ(kept.size(), 1u) << "earlier index kept under a new name";
  if (!kept.empty()) lines.push_back("Starší seznam snímků přejmenován na " + kept.front());
  return lines;
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
