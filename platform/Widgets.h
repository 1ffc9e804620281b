#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <functional>
#include <string>
#include <vector>

#include "platform/Image.h"

// Every control takes its parent, its object name (the name tests find it by)
// and its bounds in the parent's client coordinates. Texts are UTF-8. Handlers
// are plain fields; an empty one does nothing, and a failure escaping one goes
// to the application's error box.

// A flat button with a bold caption. It takes no keyboard focus.
class TSpeedButton : public QAbstractButton {
 public:
  TSpeedButton(QWidget* Parent, const std::string& Name, const std::string& Caption,
               const QRect& Bounds);

  void SetCaption(const std::string& Caption);
  void SetBold(bool Bold);
  QSize sizeHint() const override;

  // A click with the left button.
  std::function<void()> OnClick;
  // The release of any mouse button over the button; Position is in its own
  // coordinates. Runs before OnClick.
  std::function<void(Qt::MouseButton Button, QPoint Position)> OnMouseUp;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;

 private:
  bool FBold = true;
};

// A push button with a bold caption: Tab reaches it, Space clicks it, and Enter
// anywhere in its dialog does too once it is the dialog's default.
class TButton : public QPushButton {
 public:
  TButton(QWidget* Parent, const std::string& Name, const std::string& Caption,
          const QRect& Bounds);

  // A click by mouse or keyboard.
  std::function<void()> OnClick;
};

// A framed group with a caption, bold and blue unless told otherwise. Children
// are placed at absolute positions within it.
class TGroupBox : public QWidget {
 public:
  TGroupBox(QWidget* Parent, const std::string& Name, const std::string& Caption,
            const QRect& Bounds);

  std::string Caption() const { return FCaption; }
  void SetCaption(const std::string& Caption);
  void SetCaptionColor(const QColor& Color);
  void SetCaptionBold(bool Bold);

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  std::string FCaption;
  QColor FCaptionColor = Qt::blue;
  bool FCaptionBold = true;
};

class TMemo;

// The lines of a memo, one entry per Add.
class TMemoLines {
 public:
  explicit TMemoLines(TMemo& Memo) : FMemo(Memo) {}

  void Add(const std::string& Line);
  int Count() const { return int(FLines.size()); }
  // Index must lie in 0..Count()-1.
  void Delete(int Index);
  const std::string& Strings(int Index) const { return FLines.at(std::size_t(Index)); }
  void Clear();

 private:
  void Show();

  TMemo& FMemo;
  std::vector<std::string> FLines;
};

// A multi-line text panel: lime text on black, vertical scroll bar, read-only
// for the operator. The program changes it through Lines().
class TMemo : public QPlainTextEdit {
 public:
  TMemo(QWidget* Parent, const std::string& Name, const QRect& Bounds);

  TMemoLines& Lines() { return FLines; }
  const TMemoLines& Lines() const { return FLines; }

 private:
  TMemoLines FLines;
};

// Shows the bitmap of its picture at natural size from the top-left corner.
// Each paint while its window is visible publishes the frame on screen to the
// projector feed; hiding the window clears the feed. Only 24-bit bitmaps are
// shown; any other format shows nothing and throws no light.
class TImage : public QWidget {
 public:
  TImage(QWidget* Parent, const std::string& Name, const QRect& Bounds);
  ~TImage() override;

  // The picture and its size; kept equal to the control's size.
  TImageData& Data() { return FData; }
  TPicture& Picture() { return FData.Picture(); }
  // Paints the control now, not later.
  void Repaint() { repaint(); }

  // A left click; a double click comes after the click of its first press.
  std::function<void()> OnClick;
  std::function<void()> OnDblClick;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;

 private:
  TImageData FData;
  // What the screen shows: the parts of the bitmap painted so far.
  QImage FScreen;
  bool FPressed = false;
  bool FPublished = false;
};

// A one-line edit with its caption label to its left. The edit is this widget,
// so it is found under Name; the bold label is a sibling named Name + "Label".
class TLabeledEdit : public QLineEdit {
 public:
  // Bounds are the edit's; the label ends LabelSpacing pixels left of it.
  TLabeledEdit(QWidget* Parent, const std::string& Name, const std::string& Caption,
               const QRect& Bounds, const std::string& Text = "");
  ~TLabeledEdit() override;

  static constexpr int LabelSpacing = 3;

  std::string Text() const;
  void SetText(const std::string& Text);
  QLabel* EditLabel() const { return FLabel; }
  void setVisible(bool Visible) override;

 protected:
  void moveEvent(QMoveEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void PlaceLabel();

  QPointer<QLabel> FLabel;
};

// A popup menu that no control opens by itself. Items are actions named as
// given, children of the menu.
class TPopupMenu : public QMenu {
 public:
  TPopupMenu(QWidget* Parent, const std::string& Name);

  QAction* AddItem(const std::string& Name, const std::string& Caption,
                   std::function<void()> OnClick);
  // Null when no item has that name.
  QAction* Item(const std::string& Name) const;
  // Opens the menu with its top-left corner at ScreenPoint and returns at once.
  void Popup(const QPoint& ScreenPoint) { popup(ScreenPoint); }
};
