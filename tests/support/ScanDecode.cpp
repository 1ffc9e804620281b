#include "tests/support/ScanDecode.h"

#include <gtest/gtest.h>

#include <QFile>
#include <sstream>

#include "pattern/obraz.h"
#include "sdk/sim/SimScene.h"

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
  std::ostringstream firstWrong;
  for (int r = 0; r < Raster.Rows; ++r)
    for (int c = 0; c < Raster.Columns; ++c) {
      // The middle of the point's square, as the camera sees it.
      const QPointF expected =
          SimPhotoPoint(ProjectorWidth, ProjectorHeight, points.width(), points.height(),
                        TSimOptics{}, Raster.OffsetX + Raster.Spacing * c + Raster.Size / 2.0,
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

std::vector<std::string> ExpectWholeScan(const std::string& Dir, QSize PhotoSize) {
  QFile file(QString::fromStdString(Dir + "/corvalet.sbf"));
  if (!file.open(QIODevice::ReadOnly)) {
    ADD_FAILURE() << "no index in " << Dir;
    return {};
  }
  const std::string text = file.readAll().toStdString();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the last line does not end in CR LF";
  if (lines.size() != 19) {
    ADD_FAILURE() << "the index has " << lines.size()
                  << " lines, not a header, a rule and 17 names";
    return {};
  }
  EXPECT_EQ(lines[0].rfind("SBF File : 0, 1, points, 14x code pics, ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], std::string(80, '-'));
  const std::vector<std::string> names(lines.begin() + 2, lines.end());
  std::vector<QImage> photos;
  for (const std::string& name : names) {
    QImage photo(QString::fromStdString(Dir + "/" + name), "JPEG");
    if (photo.isNull() || (PhotoSize.isValid() && photo.size() != PhotoSize)) {
      ADD_FAILURE() << name << " is " << photo.width() << "x" << photo.height() << ", not "
                    << PhotoSize.width() << "x" << PhotoSize.height();
      return names;
    }
    photos.push_back(std::move(photo));
  }
  const TScanDecoding decoded = DecodeScan(photos);
  EXPECT_EQ(decoded.NotFound, 0);
  EXPECT_EQ(decoded.Wrong, 0) << decoded.FirstWrong;
  return names;
}
