#include "app/CalibrationWindow.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <condition_variable>
#include <cstdio>
#include <filesystem>

#include "app/CalibrationInForce.h"
#include "platform/DecimalText.h"
#include "platform/Messages.h"
#include "session/Koordinator.h"

namespace {

// Tells the GUI thread that finished work waits.
constexpr UINT WorkDoneMessage = WM_USER + 18;

TCalibrationOptions StationOptions() {
  TCalibrationOptions options;
  options.ProjectorSize = StationProjectionSize;
  return options;
}

void Log(const std::string& Line) {
  if (Koordinator != nullptr) Koordinator->Log(Line);
}

}  // namespace

class TBackgroundWork::TReceiver : public QObject {
 public:
  explicit TReceiver(TBackgroundWork& Work) : Work(Work), Handle(AllocateWindowHandle(this)) {}
  ~TReceiver() override { ReleaseWindowHandle(Handle); }

  bool event(QEvent* Event) override {
    if (Event->type() != TMessageEvent::EventType()) return QObject::event(Event);
    Work.Deliver();
    return true;
  }

  TBackgroundWork& Work;
  const HWND Handle;
};

TBackgroundWork::TBackgroundWork()
    : FReceiver(std::make_unique<TReceiver>(*this)), FWorker([this] { Loop(); }) {}

TBackgroundWork::~TBackgroundWork() {
  {
    std::lock_guard guard(FLock);
    FStop = true;
    FQueue.clear();
  }
  FWake.notify_all();
  FWorker.join();
  FReceiver.reset();
}

void TBackgroundWork::Run(std::function<std::function<void()>()> Work) {
  {
    std::lock_guard guard(FLock);
    FQueue.push_back(std::move(Work));
    ++FPending;
  }
  FWake.notify_all();
}

int TBackgroundWork::Pending() const {
  std::lock_guard guard(FLock);
  return FPending;
}

void TBackgroundWork::Loop() {
  const HWND receiver = FReceiver->Handle;
  for (;;) {
    std::function<std::function<void()>()> work;
    {
      std::unique_lock guard(FLock);
      FWake.wait(guard, [&] { return FStop || !FQueue.empty(); });
      if (FStop) return;
      work = std::move(FQueue.front());
      FQueue.pop_front();
    }
    std::function<void()> done = work();
    {
      std::lock_guard guard(FLock);
      FDone.push_back(std::move(done));
    }
    PostMessageA(receiver, WorkDoneMessage, 0, 0);
  }
}

void TBackgroundWork::Deliver() {
  std::deque<std::function<void()>> done;
  {
    std::lock_guard guard(FLock);
    done.swap(FDone);
    FPending -= int(done.size());
  }
  for (auto& then : done)
    if (then) then();
}

// On top as the main window is, or it would open behind it.
TCalibrationWindow::TCalibrationWindow(QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::WindowStaysOnTopHint) {
  setObjectName("Kalibrace");
  setWindowTitle(QStringLiteral("Kalibrace"));
  auto* layout = new QVBoxLayout(this);
  auto* boardRow = new QHBoxLayout;
  boardRow->addWidget(new QLabel(QStringLiteral("Deska (vnitřní rohy a pole v mm):"), this));
  FBoard = new QLineEdit(QString::fromStdString(RememberedBoard()), this);
  FBoard->setObjectName("BoardEdit");
  FBoard->setToolTip(QStringLiteral("SLOUPCŮxŘÁDKŮ:POLE_MM, vnitřní rohy, např. 9x6:25"));
  boardRow->addWidget(FBoard);
  layout->addLayout(boardRow);
  FLog = new QPlainTextEdit(this);
  FLog->setObjectName("CalibrationLog");
  FLog->setReadOnly(true);
  FLog->setMinimumSize(560, 260);
  layout->addWidget(FLog);
  auto* buttons = new QHBoxLayout;
  FViewButton = new QPushButton(QStringLiteral("Nasnímat pohled"), this);
  FViewButton->setObjectName("ViewButton");
  FComputeButton = new QPushButton(QStringLiteral("Spočítat"), this);
  FComputeButton->setObjectName("ComputeButton");
  auto* close = new QPushButton(QStringLiteral("Zavřít"), this);
  close->setObjectName("CloseButton");
  buttons->addWidget(FViewButton);
  buttons->addWidget(FComputeButton);
  buttons->addStretch();
  buttons->addWidget(close);
  layout->addLayout(buttons);
  connect(FViewButton, &QPushButton::clicked, this, [this] { ScanView(); });
  connect(FComputeButton, &QPushButton::clicked, this, [this] { Compute(); });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  Show(
      "Položte desku před kameru a projektor, stiskněte \"Nasnímat pohled\"; pro každý další "
      "pohled ji nakloňte jinak (aspoň 4, lépe 10 pohledů), pak \"Spočítat\".");
  if (CalibrationInForce() != nullptr) Show("Platí: " + CalibrationInForceLine());
}

void TCalibrationWindow::Show(const std::string& Line) {
  FLog->appendPlainText(QString::fromStdString(Line));
}

std::optional<TBoard> TCalibrationWindow::Board() {
  const std::string text = FBoard->text().toStdString();
  const auto board = TBoard::Parse(text);
  if (!board) {
    Show("Deska \"" + text +
         "\" nejde přečíst: zadejte vnitřní rohy na šířku a na výšku a stranu pole v mm, např. "
         "9x6:25");
    return std::nullopt;
  }
  RememberBoard(board->Text());
  return board;
}

void TCalibrationWindow::ScanView() {
  if (!Board() || !ScanInto) return;
  if (FSession.empty()) {
    const std::string base = Koordinator != nullptr ? Koordinator->OutputDirectory : "./";
    FSession = base + "kalibrace-" +
               QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss").toStdString() + "/";
  }
  char name[32];
  std::snprintf(name, sizeof name, "pohled-%02d/", int(FViews.size()) + 1);
  const std::string folder = FSession + name;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    Show("Složku " + folder + " nelze vytvořit: " + error.message());
    return;
  }
  FScanning = folder;
  if (!ScanInto(folder)) FScanning.clear();
}

void TCalibrationWindow::ViewScanned(const std::string& Folder) {
  if (Folder != FScanning || FScanning.empty()) return;
  FScanning.clear();
  const auto board = Board();
  if (!board) return;
  FViews.push_back(Folder);
  const int number = int(FViews.size());
  const TBoard given = *board;
  FWork.Run([this, Folder, number, given]() -> std::function<void()> {
    std::string error;
    const auto view = ReadCalibrationView(Folder, given, StationOptions().Homography, &error);
    const std::string line =
        "Pohled " + std::to_string(number) + ": " + (view ? view->Summary() : error);
    return [this, line] {
      Show(line);
      Log("Kalibrace – " + line);
    };
  });
}

void TCalibrationWindow::Compute() {
  const auto board = Board();
  if (!board) return;
  if (FViews.empty()) {
    Show("Zatím žádný pohled: nasnímejte desku aspoň ve 4 polohách");
    return;
  }
  Show("Počítám kalibraci z " + std::to_string(FViews.size()) + " pohledů ...");
  FComputeButton->setEnabled(false);
  const std::vector<std::string> views = FViews;
  const std::string file = FSession + "corvalet-calibration.yml";
  const TBoard given = *board;
  FWork.Run([this, views, file, given]() -> std::function<void()> {
    std::string error;
    const auto run = RunCalibration(views, given, StationOptions(), file, &error);
    return [this, run, error, file] {
      FComputeButton->setEnabled(true);
      if (!run) {
        Show("Kalibrace selhala: " + error);
        Log("Kalibrace selhala: " + error);
        return;
      }
      for (const std::string& finding : run->Outcome.Findings) Show("! " + finding);
      if (!run->Outcome.Calibration) {
        Show("Kalibrace nevznikla; zpráva: " + CalibrationReportPath(file));
        Log("Kalibrace nevznikla: " +
            (run->Outcome.Findings.empty() ? std::string() : run->Outcome.Findings[0]));
        return;
      }
      std::string problem;
      if (!PutCalibrationInForce(file, &problem)) {
        Show("Kalibraci nelze použít: " + problem);
        return;
      }
      const TCalibration& result = *run->Outcome.Calibration;
      Show("Kalibrace platí: chyba kamery " + DecimalText(result.CameraRms, 3) +
           " px, projektoru " + DecimalText(result.ProjectorRms, 3) + " px, dvojice " +
           DecimalText(result.StereoRms, 3) + " px; základna " +
           DecimalText(result.Rig.BaselineMm(), 1) + " mm; zpráva " + CalibrationReportPath(file));
      Log(CalibrationInForceLine());
    };
  });
}
