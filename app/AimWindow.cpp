#include "app/AimWindow.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>

#include "app/WindowPlace.h"
#include "platform/Forms.h"

namespace {

// Tells the GUI thread that an aiming outcome waits.
constexpr UINT AimReadMessage = WM_USER + 17;

}  // namespace

// What a reading's thread and the GUI thread share; the thread holds it while it runs.
struct TAimReader::TReading {
  std::atomic<bool> Cancel{false};
  std::atomic<bool> Ended{false};
  std::mutex Lock;
  std::optional<TAimOutcome> Outcome;
};

class TAimReader::TReceiver : public QObject {
 public:
  explicit TReceiver(TAimReader& Reader) : Reader(Reader), Handle(AllocateWindowHandle(this)) {}
  ~TReceiver() override { ReleaseWindowHandle(Handle); }

  bool event(QEvent* Event) override {
    if (Event->type() != TMessageEvent::EventType()) return QObject::event(Event);
    Reader.Deliver();
    return true;
  }

  TAimReader& Reader;
  const HWND Handle;
};

TAimOutcome ReadAimPhotos(const TCheckRaster& Raster, const std::string& DarkPath,
                          const std::string& PointsPath, QSize Fit,
                          const std::atomic<bool>& Cancel) {
  TAimOutcome outcome;
  outcome.Result = AimAtRasterFiles(Raster, DarkPath, PointsPath, &outcome.Error, &Cancel);
  if (outcome.Result && !Cancel) outcome.Picture = AimPicture(*outcome.Result, Fit);
  return outcome;
}

TAimReader::TAimReader(TRead Read)
    : FRead(std::move(Read)), FReceiver(std::make_unique<TReceiver>(*this)) {}

TAimReader::~TAimReader() {
  // The receiver goes first: a reading's message then reaches nothing.
  FReceiver.reset();
  for (auto& [reading, thread] : FThreads) reading->Cancel = true;
  for (auto& [reading, thread] : FThreads) thread.join();
}

void TAimReader::Start(const TCheckRaster& Raster, const std::string& DarkPath,
                       const std::string& PointsPath, QSize Fit,
                       std::function<void(TAimOutcome)> Done) {
  if (FLatest) FLatest->Cancel = true;
  JoinEnded();
  FDone = std::move(Done);
  auto reading = std::make_shared<TReading>();
  FLatest = reading;
  const HWND receiver = FReceiver->Handle;
  std::thread thread([read = FRead, reading, Raster, DarkPath, PointsPath, Fit, receiver] {
    TAimOutcome outcome = read(Raster, DarkPath, PointsPath, Fit, reading->Cancel);
    if (!reading->Cancel) {
      {
        std::lock_guard guard(reading->Lock);
        reading->Outcome = std::move(outcome);
      }
      PostMessageA(receiver, AimReadMessage, 0, 0);
    }
    reading->Ended = true;
  });
  FThreads.emplace_back(std::move(reading), std::move(thread));
}

int TAimReader::UnderWay() const {
  return int(std::count_if(FThreads.begin(), FThreads.end(),
                           [](const auto& Entry) { return !Entry.first->Ended; }));
}

void TAimReader::JoinEnded() {
  std::erase_if(FThreads, [](auto& Entry) {
    if (!Entry.first->Ended) return false;
    Entry.second.join();
    return true;
  });
}

void TAimReader::Deliver() {
  JoinEnded();
  if (!FLatest) return;
  std::optional<TAimOutcome> outcome;
  {
    std::lock_guard guard(FLatest->Lock);
    outcome.swap(FLatest->Outcome);
  }
  // A dropped reading posts nothing; one that ended before the latest began is not the latest.
  if (outcome && FDone) FDone(std::move(*outcome));
}

// Above the main window, which stays on top itself; a fixed frame with a close box like the others.
TAimWindow::TAimWindow(QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName("AimWindow");
  setWindowTitle(QStringLiteral("Zaměření"));
  auto* layout = new QVBoxLayout(this);
  // The size follows the picture and the summary, never narrower than the
  // title; the operator cannot resize it.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addSpacerItem(new QSpacerItem(TitleBarWidth(windowTitle()), 0));
  FPicture = new QLabel(this);
  FPicture->setObjectName("AimPicture");
  FPicture->setAlignment(Qt::AlignCenter);
  layout->addWidget(FPicture, 1);
  FSummary = new QLabel(this);
  FSummary->setObjectName("AimSummary");
  FSummary->setWordWrap(true);
  FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(FSummary);
  auto* buttons = new QHBoxLayout;
  auto* again = new QPushButton(QStringLiteral("Znovu"), this);
  again->setObjectName("AgainButton");
  auto* close = new QPushButton(QStringLiteral("Zavřít"), this);
  close->setObjectName("CloseButton");
  buttons->addStretch(1);
  buttons->addWidget(again);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  connect(again, &QPushButton::clicked, this, [this] {
    if (OnAgain) OnAgain();
  });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
}

void TAimWindow::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() != Qt::Key_Escape) {
    QWidget::keyPressEvent(Event);
    return;
  }
  Event->accept();
  close();
}

QSize TAimWindow::PictureFit() const {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  const QRect main = parentWidget() ? parentWidget()->frameGeometry() : QRect();
  // Beside the main window when the screen leaves room for a picture there, and
  // never more than a common monitor holds.
  const int beside = main.isEmpty() ? 0
                                    : std::max(area.right() - main.right(), main.left() - area.left()) - 40;
  const int width = beside >= 480 ? beside : area.width() * 2 / 3;
  return QSize(std::min(1200, width), std::min(800, area.height() * 2 / 3));
}

void TAimWindow::ShowOutcome(const TAimOutcome& Outcome) {
  FResult = Outcome.Result;
  if (Outcome.Result) {
    FPicture->setPixmap(QPixmap::fromImage(Outcome.Picture));
    FSummary->setText(QString::fromStdString(Outcome.Result->Summary()));
  } else {
    FPicture->setPixmap({});
    FSummary->setText(QString::fromStdString("Zaměření nebylo možné: " + Outcome.Error));
  }
  if (!isVisible()) {
    adjustSize();
    PlaceBesideParent(*this);
  }
  show();
  raise();
  activateWindow();
}
