#include "platform/Widgets.h"

#include <qdrawutil.h>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>

#include "platform/Application.h"
#include "platform/ProjectorFeed.h"

namespace {

void Place(QWidget& Widget, const std::string& Name, const QRect& Bounds) {
  Widget.setObjectName(QString::fromStdString(Name));
  Widget.setGeometry(Bounds);
}

QFont Bolded(QFont Font, bool Bold) {
  Font.setBold(Bold);
  return Font;
}

}  // namespace

TSpeedButton::TSpeedButton(QWidget* Parent, const std::string& Name, const std::string& Caption,
                           const QRect& Bounds)
    : QAbstractButton(Parent) {
  Place(*this, Name, Bounds);
  setText(QString::fromStdString(Caption));
  setFocusPolicy(Qt::NoFocus);
  // Repaints on enter and leave, for the raised look under the mouse.
  setAttribute(Qt::WA_Hover);
  connect(this, &QAbstractButton::clicked, this, [this] { RunHandler(OnClick); });
}

void TSpeedButton::SetCaption(const std::string& Caption) {
  setText(QString::fromStdString(Caption));
}

void TSpeedButton::SetBold(bool Bold) {
  FBold = Bold;
  update();
}

QSize TSpeedButton::sizeHint() const {
  const QFontMetrics metrics(Bolded(font(), FBold));
  return QSize(metrics.horizontalAdvance(text()) + 6, metrics.height() + 6);
}

void TSpeedButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool down = isDown();
  if (down || (underMouse() && isEnabled())) qDrawShadePanel(&painter, rect(), palette(), down, 1);
  painter.setFont(Bolded(font(), FBold));
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  painter.drawText(down ? rect().translated(1, 1) : rect(), Qt::AlignCenter, text());
}

void TSpeedButton::mousePressEvent(QMouseEvent* Event) {
  // Other buttons are taken too, so that their release comes here.
  if (Event->button() != Qt::LeftButton) {
    Event->accept();
    return;
  }
  QAbstractButton::mousePressEvent(Event);
}

void TSpeedButton::mouseReleaseEvent(QMouseEvent* Event) {
  const QPoint position = Event->position().toPoint();
  if (OnMouseUp && rect().contains(position)) {
    const Qt::MouseButton button = Event->button();
    RunHandler([&] { OnMouseUp(button, position); });
  }
  if (Event->button() == Qt::LeftButton)
    QAbstractButton::mouseReleaseEvent(Event);
  else
    Event->accept();
}

TButton::TButton(QWidget* Parent, const std::string& Name, const std::string& Caption,
                 const QRect& Bounds)
    : QPushButton(QString::fromStdString(Caption), Parent) {
  Place(*this, Name, Bounds);
  QFont bold;  // only the weight is set; the rest follows the parent
  bold.setBold(true);
  setFont(bold);
  connect(this, &QAbstractButton::clicked, this, [this] { RunHandler(OnClick); });
}

TGroupBox::TGroupBox(QWidget* Parent, const std::string& Name, const std::string& Caption,
                     const QRect& Bounds)
    : QWidget(Parent), FCaption(Caption) {
  Place(*this, Name, Bounds);
}

void TGroupBox::SetCaption(const std::string& Caption) {
  FCaption = Caption;
  update();
}

void TGroupBox::SetCaptionColor(const QColor& Color) {
  FCaptionColor = Color;
  update();
}

void TGroupBox::SetCaptionBold(bool Bold) {
  FCaptionBold = Bold;
  update();
}

void TGroupBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QFont captionFont = Bolded(font(), FCaptionBold);
  const QFontMetrics metrics(captionFont);
  // The frame runs through the middle of the caption line.
  const QRect frame = rect().adjusted(0, metrics.height() / 2, 0, 0);
  qDrawShadeRect(&painter, frame, palette(), true, 1, 0);
  if (FCaption.empty()) return;
  const QString caption = QString::fromStdString(FCaption);
  const QRect captionRect(8, 0, metrics.horizontalAdvance(caption) + 4, metrics.height());
  painter.fillRect(captionRect, palette().color(QPalette::Window));
  painter.setFont(captionFont);
  painter.setPen(FCaptionColor);
  painter.drawText(captionRect, Qt::AlignCenter, caption);
}

void TMemoLines::Add(const std::string& Line) {
  FLines.push_back(Line);
  // Appending to an empty document would keep its empty first line.
  if (FLines.size() == 1)
    Show();
  else
    FMemo.appendPlainText(QString::fromStdString(Line));
}

void TMemoLines::Delete(int Index) {
  FLines.erase(FLines.begin() + Index);
  Show();
}

void TMemoLines::Clear() {
  FLines.clear();
  Show();
}

void TMemoLines::Show() {
  QString text;
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    if (i > 0) text += QLatin1Char('\n');
    text += QString::fromStdString(FLines[i]);
  }
  FMemo.setPlainText(text);
  // Keep the newest line in view, as appending does.
  FMemo.moveCursor(QTextCursor::End);
  FMemo.ensureCursorVisible();
}

TMemo::TMemo(QWidget* Parent, const std::string& Name, const QRect& Bounds)
    : QPlainTextEdit(Parent), FLines(*this) {
  Place(*this, Name, Bounds);
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::black);
  colours.setColor(QPalette::Text, QColor(0, 255, 0));
  setPalette(colours);
}

TImage::TImage(QWidget* Parent, const std::string& Name, const QRect& Bounds)
    : QWidget(Parent), FData(Bounds.width(), Bounds.height()) {
  Place(*this, Name, Bounds);
}

TImage::~TImage() {
  if (FPublished) ClearProjectorFrame();
}

void TImage::paintEvent(QPaintEvent* Event) {
  TBitmap& bitmap = FData.Picture().Bitmap();
  const bool visible = window()->isVisible();
  if (bitmap.PixelFormat() != TPixelFormat::pf24bit || bitmap.Empty()) {
    FScreen = QImage();
    if (visible) ClearProjectorFrame();
    return;
  }
  // Wraps the bitmap's memory read-only: painting never copies or detaches it.
  const QImage frame(static_cast<const uchar*>(bitmap.Bits()), bitmap.Width(), bitmap.Height(),
                     bitmap.BytesPerLine(), QImage::Format_BGR888);
  QPainter painter(this);
  painter.drawImage(QPoint(0, 0), frame);
  if (!visible) return;
  if (FScreen.size() != frame.size()) {
    FScreen = QImage(frame.size(), QImage::Format_BGR888);
    FScreen.fill(Qt::black);
  }
  QPainter screen(&FScreen);
  for (const QRect& area : Event->region()) screen.drawImage(area.topLeft(), frame, area);
  screen.end();
  PublishProjectorFrame(FScreen);
  FPublished = true;
}

void TImage::resizeEvent(QResizeEvent* Event) {
  FData.SetSize(width(), height());
  QWidget::resizeEvent(Event);
}

void TImage::hideEvent(QHideEvent* Event) {
  ClearProjectorFrame();
  FPublished = false;
  QWidget::hideEvent(Event);
}

void TImage::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton) FPressed = true;
}

void TImage::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton || !FPressed) return;
  FPressed = false;
  if (rect().contains(Event->position().toPoint())) RunHandler(OnClick);
}

void TImage::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  // The release that ends a double click is no click.
  FPressed = false;
  RunHandler(OnDblClick);
}

TLabeledEdit::TLabeledEdit(QWidget* Parent, const std::string& Name, const std::string& Caption,
                           const QRect& Bounds, const std::string& Text)
    : QLineEdit(QString::fromStdString(Text), Parent),
      FLabel(new QLabel(QString::fromStdString(Caption), Parent)) {
  FLabel->setObjectName(QString::fromStdString(Name + "Label"));
  QFont bold;  // only the weight is set; the rest follows the parent
  bold.setBold(true);
  FLabel->setFont(bold);
  FLabel->setBuddy(this);
  Place(*this, Name, Bounds);
  PlaceLabel();
}

TLabeledEdit::~TLabeledEdit() {
  delete FLabel.data();
}

std::string TLabeledEdit::Text() const {
  return text().toStdString();
}

void TLabeledEdit::SetText(const std::string& Text) {
  setText(QString::fromStdString(Text));
}

void TLabeledEdit::setVisible(bool Visible) {
  QLineEdit::setVisible(Visible);
  if (FLabel) FLabel->setVisible(Visible);
}

void TLabeledEdit::moveEvent(QMoveEvent* Event) {
  PlaceLabel();
  QLineEdit::moveEvent(Event);
}

void TLabeledEdit::resizeEvent(QResizeEvent* Event) {
  PlaceLabel();
  QLineEdit::resizeEvent(Event);
}

void TLabeledEdit::PlaceLabel() {
  if (!FLabel) return;
  const QSize size = FLabel->sizeHint();
  FLabel->setGeometry(x() - LabelSpacing - size.width(), y() + (height() - size.height()) / 2,
                      size.width(), size.height());
}

TPopupMenu::TPopupMenu(QWidget* Parent, const std::string& Name) : QMenu(Parent) {
  setObjectName(QString::fromStdString(Name));
}

QAction* TPopupMenu::AddItem(const std::string& Name, const std::string& Caption,
                             std::function<void()> OnClick) {
  QAction* item = addAction(QString::fromStdString(Caption));
  item->setObjectName(QString::fromStdString(Name));
  connect(item, &QAction::triggered, this, [Handler = std::move(OnClick)] { RunHandler(Handler); });
  return item;
}

QAction* TPopupMenu::Item(const std::string& Name) const {
  return findChild<QAction*>(QString::fromStdString(Name), Qt::FindDirectChildrenOnly);
}
