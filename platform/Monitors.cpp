#include "platform/Monitors.h"

#include <QGuiApplication>
#include <QScreen>

std::vector<QRect> MonitorBounds() {
  std::vector<QRect> bounds;
  for (const QScreen* screen : QGuiApplication::screens()) bounds.push_back(screen->geometry());
  return bounds;
}
