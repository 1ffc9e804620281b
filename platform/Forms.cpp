#include "platform/Forms.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

#include "platform/Application.h"

int TitleBarWidth(const QString& Caption) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  // 8 points at the 108 dots per inch an X server may report.
  font.setPixelSize(12);
  font.setBold(true);
  return QFontMetrics(font).horizontalAdvance(Caption) + 112;
}

TForm::TForm(QWidget* Parent) : QDialog(Parent), FHandle(AllocateWindowHandle(this)) {
  UpdateFlags();
}

TForm::~TForm() {
  ReleaseWindowHandle(FHandle);
}

std::string TForm::Caption() const {
  return windowTitle().toStdString();
}

void TForm::SetCaption(const std::string& Caption) {
  setWindowTitle(QString::fromStdString(Caption));
}

void TForm::SetClientSize(int Width, int Height) {
  setFixedSize(Width, Height);
}

void TForm::SetBorderStyle(TBorderStyle Style) {
  FBorderStyle = Style;
  UpdateFlags();
}

void TForm::SetStayOnTop(bool StayOnTop) {
  FStayOnTop = StayOnTop;
  UpdateFlags();
}

void TForm::UpdateFlags() {
  Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint;
  if (FBorderStyle == TBorderStyle::bsSingle)
    flags |= Qt::Window | Qt::WindowMinimizeButtonHint;
  else
    flags |= Qt::Dialog;
  if (FStayOnTop) flags |= Qt::WindowStaysOnTopHint;
  const bool visible = isVisible();
  setWindowFlags(flags);
  // New flags hide a shown window.
  if (visible) show();
}

namespace {

// The window a modal showing belongs to: a shown stay-on-top window, the main
// window first, since a window manager keeps a dialog in the layer of the window
// it belongs to; otherwise the active window. None when no window is shown.
QWidget* ModalOwner(const QWidget* Dialog) {
  const auto fits = [Dialog](const QWidget* Window) {
    return Window != nullptr && Window != Dialog && Window->isVisible();
  };
  TForm* main = Application != nullptr ? Application->MainForm() : nullptr;
  if (fits(main) && main->StayOnTop()) return main;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    const auto* form = dynamic_cast<const TForm*>(window);
    if (form != nullptr && fits(window) && form->StayOnTop()) return window;
  }
  if (QWidget* active = QApplication::activeWindow(); fits(active)) return active;
  if (fits(main)) return main;
  return nullptr;
}

}  // namespace

int TForm::ShowModal() {
  // The window manager keeps a dialog above the window it belongs to, in that
  // window's layer; without an owner it would be transient for a hidden helper
  // window and sink below a stay-on-top main window.
  QWidget* owner = ModalOwner(this);
  winId();
  windowHandle()->setTransientParent(owner != nullptr ? owner->windowHandle() : nullptr);
  FModal = true;
  const int result = exec();
  FModal = false;
  return result;
}

void TForm::SetModalResult(int Result) {
  if (FModal) done(Result);
}

bool TForm::event(QEvent* Event) {
  if (Event->type() == TMessageEvent::EventType()) {
    RunHandler([&] { WindowMessage(static_cast<TMessageEvent*>(Event)->Msg); });
    return true;
  }
  return QDialog::event(Event);
}

void TForm::showEvent(QShowEvent* Event) {
  // Centred once; QDialog would centre it again at every showing.
  if (!FPlaced && !Event->spontaneous()) {
    FPlaced = true;
    if (QScreen* target = screen()) {
      // The frame is known here when the platform already reports it.
      QRect frame = frameGeometry();
      frame.moveCenter(target->geometry().center());
      move(frame.topLeft());
    }
  }
  QWidget::showEvent(Event);
  // Without a window manager neither the stay-on-top hint nor the transient
  // parent has an effect: at least come up on top, and an ordinary window shown
  // later goes below the stay-on-top ones and the modal one.
  if (FStayOnTop || FModal) {
    raise();
  } else if (Application != nullptr) {
    for (const auto& form : Application->FForms)
      if (form.get() != this && form->FStayOnTop && form->isVisible()) form->raise();
    if (QWidget* modal = QApplication::activeModalWidget()) modal->raise();
  }
}

void TForm::closeEvent(QCloseEvent* Event) {
  RunHandler([this] { FormClose(); });
  if (Application != nullptr && Application->MainForm() == this) {
    Event->accept();
    Application->MainFormClosed();
    return;
  }
  QDialog::closeEvent(Event);
}

void TForm::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Escape) {
    Event->accept();
    if (FEscapeCloses) close();
    return;
  }
  QDialog::keyPressEvent(Event);
}
