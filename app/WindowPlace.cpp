#include "app/WindowPlace.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

void PlaceBesideParent(QWidget& Window) {
  const QScreen* screen = Window.screen() ? Window.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect main = Window.parentWidget() ? Window.parentWidget()->frameGeometry() : QRect();
  const QSize size = Window.frameGeometry().size();
  QPoint at = area.center() - QPoint(size.width() / 2, size.height() / 2);
  if (!main.isEmpty() && main.right() + 8 + size.width() <= area.right())
    at.setX(main.right() + 8);
  else if (!main.isEmpty() && main.left() - 8 - size.width() >= area.left())
    at.setX(main.left() - 8 - size.width());
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  Window.move(at);
}
