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

#include "platform/Forms.h"

namespace {

// Tells the GUI thread that an aiming outcome waits.
constexpr UINT AimReadMessage = WM_USER + 17;

}  // namespace

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

TAimReader::TAimReader() : FReceiver(std::make_unique<TReceiver>(*this)) {}

TAimReader::~TAimReader() {
  // The receiver goes first: the worker's message then reaches nothing.
  FReceiver.reset();
  if (FWorker.joinable()) FWorker.join();
}

void TAimReader::Start(const TCheckRaster& Raster, const std::string& DarkPath,
                       const std::string& PointsPath, QSize Fit,
                       std::function<void(TAimOutcome)> Done) {
  if (FWorker.joinable()) FWorker.join();
  {
    std::lock_guard guard(FLock);
    FOutcome.reset();
    FDone = std::move(Done);
  }
  const HWND receiver = FReceiver->Handle;
  FWorker = std::thread([this, Raster, DarkPath, PointsPath, Fit, receiver] {
    TAimOutcome outcome;
    outcome.Result = AimAtRasterFiles(Raster, DarkPath, PointsPath, &outcome.Error);
    if (outcome.Result) outcome.Picture = AimPicture(*outcome.Result, Fit);
    {
      std::lock_guard guard(FLock);
      FOutcome = std::move(outcome);
    }
    PostMessageA(receiver, AimReadMessage, 0, 0);
  });
}

void TAimReader::Deliver() {
  std::optional<TAimOutcome> outcome;
  std::function<void(TAimOutcome)> done;
  {
    std::lock_guard guard(FLock);
    outcome.swap(FOutcome);
    done = FDone;
  }
  if (outcome && done) done(std::move(*outcome));
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
    Place();
  }
  show();
  raise();
  activateWindow();
}

void TAimWindow::Place() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect main = parentWidget() ? parentWidget()->frameGeometry() : QRect();
  const QSize size = frameGeometry().size();
  // Beside the main window where the screen has room, else in the middle.
  QPoint at = area.center() - QPoint(size.width() / 2, size.height() / 2);
  if (!main.isEmpty() && main.right() + 8 + size.width() <= area.right())
    at.setX(main.right() + 8);
  else if (!main.isEmpty() && main.left() - 8 - size.width() >= area.left())
    at.setX(main.left() - 8 - size.width());
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  move(at);
}
