#include "tests/support/ScanDecode.h"

#include <sstream>

#include "pattern/obraz.h"
#include "sdk/sim/SimMapping.h"

namespace {

// The mean grey level of the 3 x 3 camera pixels around (X, Y).
int Level(const QImage& Photo, int X, int Y) {
  int sum = 0;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) sum += qGray(Photo.pixel(X + dx, Y + dy));
  return sum / 9;
}

}  // namespace

TScanDecoding DecodeScan(const std::vector<QImage>& Photos, const TScanRaster& Raster,
                         int ProjectorWidth, int ProjectorHeight) {
  TScanDecoding result;
  result.Points = Raster.Rows * Raster.Columns;
  if (Photos.size() != 17) {
    result.NotFound = result.Points;
    return result;
  }
  const QImage& dark = Photos[0];
  const QImage& lit = Photos[1];
  const QImage& points = Photos[2];
  const TSimMapping mapping(ProjectorWidth, ProjectorHeight, points.width(), points.height());
  std::ostringstream firstWrong;
  for (int r = 0; r < Raster.Rows; ++r)
    for (int c = 0; c < Raster.Columns; ++c) {
      // The middle of the point's square, as the camera sees it.
      const QPointF expected =
          mapping.ToCamera(Raster.OffsetX + Raster.Spacing * c + Raster.Size / 2.0,
                           Raster.OffsetY + Raster.Spacing * r + Raster.Size / 2.0);
      // Finds the point in the all-points photograph near where it should be.
      QPoint best(int(expected.x()), int(expected.y()));
      int bestLevel = -1;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
          const QPoint at(int(expected.x()) + dx, int(expected.y()) + dy);
          const int level = Level(points, at.x(), at.y());
          if (level > bestLevel) {
            bestLevel = level;
            best = at;
          }
        }
      const int threshold = (Level(dark, best.x(), best.y()) + Level(lit, best.x(), best.y())) / 2;
      if (bestLevel <= threshold) {
        ++result.NotFound;
        continue;
      }
      int number = 0;
      for (int plane = 1; plane <= 14; ++plane)
        number =
            number * 2 + (Level(Photos[std::size_t(2 + plane)], best.x(), best.y()) > threshold);
      const int index = r * Raster.Columns + c + 1;
      if (number != index && result.Wrong++ == 0)
        firstWrong << "point " << index << " read as " << number;
    }
  result.FirstWrong = firstWrong.str();
  return result;
}

TScanDecoding DecodeScan(const std::vector<QImage>& Photos) {
  return DecodeScan(Photos, TScanRaster{10, 10, 80, 120, 3, 8}, TForm2::ClientWidth,
                    TForm2::ClientHeight);
}
