#pragma once

#include <QDialog>
#include <string>

#include "platform/Messages.h"

class TApplication;

// Window frame: bsSingle is the main window's fixed frame with system menu and
// minimise box; bsDialog a fixed dialog frame with a close box only.
enum class TBorderStyle { bsSingle, bsDialog };

// The narrowest frame whose whole title a window manager shows: Caption in the
// usual title font (DejaVu Sans, bold, 8 points), centred, with room on either
// side for the three buttons (55 pixels each side under openbox).
int TitleBarWidth(const QString& Caption);

// A top-level window of the program. Every window is a dialog so that it can
// also be shown modally. Its client size is fixed; it is centred on its screen
// when first shown and keeps its position at later showings.
//
// Closing the application's main window runs FormClose and ends the program.
// Closing any other window runs FormClose and hides it; a modal one then ends
// with QDialog::Rejected (0). Escape closes only a window that asks for it
// (SetEscapeCloses), as its close box would.
class TForm : public QDialog {
 public:
  explicit TForm(QWidget* Parent = nullptr);
  ~TForm() override;

  std::string Caption() const;
  void SetCaption(const std::string& Caption);
  // Client area in pixels; the operator cannot resize it.
  void SetClientSize(int Width, int Height);
  TBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TBorderStyle Style);
  bool StayOnTop() const { return FStayOnTop; }
  void SetStayOnTop(bool StayOnTop);
  // Whether Escape closes the window as its close box does; off by default.
  void SetEscapeCloses(bool On) { FEscapeCloses = On; }

  // Shows the window modally and returns its modal result (OK = QDialog::Accepted = 1).
  // The window belongs to (is transient for) a shown stay-on-top window, else the
  // active window, and comes up above it.
  int ShowModal();
  // Ends the modal showing with Result; does nothing unless shown modally.
  void SetModalResult(int Result);

  // The handle that messages are posted to; valid for the window's whole life.
  HWND Handle() const { return FHandle; }

 protected:
  // Runs once, after construction, when the application creates the window.
  virtual void FormCreate() {}
  // Runs when the window is asked to close (close box, system menu, Alt+F4, close()).
  virtual void FormClose() {}
  // A message posted to Handle() that the application's hook let through.
  virtual void WindowMessage(TMsg& /*Msg*/) {}

  bool event(QEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  friend class TApplication;
  void UpdateFlags();

  HWND FHandle;
  TBorderStyle FBorderStyle = TBorderStyle::bsDialog;
  bool FStayOnTop = false;
  bool FPlaced = false;
  bool FModal = false;
  bool FEscapeCloses = false;
};
