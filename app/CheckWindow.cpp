#include "app/CheckWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// Picture File scaled to fit Side x Side, or Missing's text in its place.
void ShowPicture(QLabel* Label, const std::string& File, int Side, const QString& Missing) {
  const QImage picture(QString::fromStdString(File));
  if (picture.isNull()) {
    Label->setPixmap({});
    Label->setText(Missing);
    return;
  }
  Label->setPixmap(QPixmap::fromImage(
      picture.scaled(Side, Side, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

}  // namespace

TCheckWindow::TCheckWindow(QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName("CheckWindow");
  setWindowTitle(QStringLiteral("Kontrola"));
  auto* layout = new QVBoxLayout(this);
  FVerdict = new QLabel(QStringLiteral("Zatím žádný sken"), this);
  FVerdict->setObjectName("CheckVerdict");
  FVerdict->setWordWrap(true);
  FVerdict->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(FVerdict);
  auto* pictures = new QHBoxLayout;
  FCheckPicture = new QLabel(this);
  FCheckPicture->setObjectName("CheckPicture");
  FPoints3d = new QLabel(this);
  FPoints3d->setObjectName("Points3dPicture");
  for (QLabel* label : {FCheckPicture, FPoints3d}) {
    label->setAlignment(Qt::AlignCenter);
    pictures->addWidget(label, 1);
  }
  layout->addLayout(pictures, 1);
  auto* buttons = new QHBoxLayout;
  auto* close = new QPushButton(QStringLiteral("Zavřít"), this);
  close->setObjectName("CloseButton");
  buttons->addStretch(1);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  connect(close, &QPushButton::clicked, this, &QWidget::close);
}

void TCheckWindow::closeEvent(QCloseEvent* Event) {
  FFollowing = false;
  QWidget::closeEvent(Event);
}

void TCheckWindow::ShowScan(const std::string& Folder, const std::string& Line) {
  FVerdict->setText(QString::fromStdString("Sken " + Folder + " – " + Line));
  // Two pictures side by side within half the screen's width.
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const int width = screen ? screen->availableGeometry().width() : 1280;
  const int side = std::max(240, width / 4);
  ShowPicture(FCheckPicture, Folder + "/corvalet-check.png", side,
              QStringLiteral("Obrázek kontroly chybí"));
  ShowPicture(FPoints3d, Folder + "/corvalet-3d.png", side,
              QStringLiteral("Bez 3D bodů: potřebují kalibraci, která ke skenu patří"));
}
