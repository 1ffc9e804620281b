#include <QPainter>
#include <QPolygonF>

#include "check/Aim.h"
#include "check/CheckGeometry.h"

using namespace scan_check;

QImage AimPicture(const TAimResult& Result, QSize Fit) {
  const double width = Result.PhotoWidth, height = Result.PhotoHeight;
  if (width <= 0 || height <= 0 || Fit.isEmpty()) return {};
  // The photo, widened to the points outside it, but by half the photo at most on each side.
  QRectF area(0, 0, width, height);
  for (const QPointF& q : Result.Positions)
    if (Known(q)) area |= QRectF(q, QSizeF(1, 1));
  area = area.adjusted(-Result.Spacing, -Result.Spacing, Result.Spacing, Result.Spacing)
             .intersected(QRectF(-width / 2, -height / 2, 2 * width, 2 * height));
  const double scale = std::min(Fit.width() / area.width(), Fit.height() / area.height());
  QImage picture(std::max(1, int(area.width() * scale)), std::max(1, int(area.height() * scale)),
                 QImage::Format_RGB32);
  picture.fill(QColor(48, 48, 48));
  QPainter painter(&picture);
  painter.scale(scale, scale);
  painter.translate(-area.topLeft());
  const QRectF photo(0, 0, width, height);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(photo, Result.Preview);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(160, 160, 160), 1 / scale));
  painter.drawRect(photo);

  // The outline through the raster's outer points, row by row and column by column.
  const TCheckRaster& raster = Result.Raster;
  const int rows = raster.Rows, columns = raster.Columns;
  if (Result.Placed && int(Result.Positions.size()) == rows * columns && rows > 0 && columns > 0) {
    QPolygonF outline;
    auto add = [&](int Row, int Column) {
      const QPointF q = Result.Positions[std::size_t(Row) * columns + Column];
      if (Known(q)) outline << q;
    };
    for (int c = 0; c < columns; ++c) add(0, c);
    for (int r = 1; r < rows; ++r) add(r, columns - 1);
    for (int c = columns - 2; c >= 0; --c) add(rows - 1, c);
    for (int r = rows - 2; r > 0; --r) add(r, 0);
    painter.setPen(QPen(QColor(0, 200, 255), 2 / scale));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolygon(outline);
  }

  // Dots no larger than a third of the step between points, and at least a pixel and a half.
  const double radius = std::clamp(Result.Spacing * scale / 3, 1.5, 4.0) / scale;
  painter.setPen(Qt::NoPen);
  for (std::size_t i = 0; i < Result.Positions.size(); ++i) {
    const QPointF q = Result.Positions[i];
    if (!Known(q)) continue;
    switch (Result.States[i]) {
      case TPointState::Read:
        painter.setBrush(QColor(40, 220, 40));
        break;
      case TPointState::Cut:
      case TPointState::Outside:
        painter.setBrush(QColor(240, 40, 40));
        break;
      default:
        painter.setBrush(QColor(240, 210, 0));
        break;
    }
    painter.drawEllipse(q, radius, radius);
  }
  return picture;
}
