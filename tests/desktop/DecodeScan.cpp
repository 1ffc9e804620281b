// Reads back a scan that the program wrote into a directory: the index file
// must list 17 photographs, and they must spell out every point of the raster
// given on the command line. Exit status 0 only then.

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <cstdio>
#include <string>
#include <vector>

#include "pattern/obraz.h"
#include "tests/support/ScanDecode.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s DIRECTORY OFFSET_X OFFSET_Y ROWS COLUMNS SIZE SPACING\n",
                 argv[0]);
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  int values[6];
  for (int i = 0; i < 6; ++i) {
    bool ok = false;
    values[i] = QString::fromLocal8Bit(argv[2 + i]).toInt(&ok);
    if (!ok) {
      std::fprintf(stderr, "'%s' is not a whole number\n", argv[2 + i]);
      return 2;
    }
  }
  const TScanRaster raster{values[0], values[1], values[2], values[3], values[4], values[5]};

  QFile index(dir + "/corvalet.sbf");
  if (!index.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(index.fileName()), qPrintable(index.errorString()));
    return 1;
  }
  const QStringList lines = QString::fromUtf8(index.readAll()).split("\r\n", Qt::SkipEmptyParts);
  if (lines.size() != 19) {
    std::fprintf(stderr, "%s: %d lines, not 19\n", qPrintable(index.fileName()), int(lines.size()));
    return 1;
  }
  std::vector<QImage> photos;
  for (int i = 2; i < lines.size(); ++i) {
    const QString path = dir + "/" + lines[i];
    QImage photo(path, "JPEG");
    if (photo.isNull()) {
      std::fprintf(stderr, "%s: not a readable photograph\n", qPrintable(path));
      return 1;
    }
    photos.push_back(std::move(photo));
  }
  const TScanDecoding decoding =
      DecodeScan(photos, raster, TForm2::ClientWidth, TForm2::ClientHeight);
  std::printf("%d points: %d not found, %d read wrong%s%s\n", raster.Rows * raster.Columns,
              decoding.NotFound, decoding.Wrong, decoding.FirstWrong.empty() ? "" : "; first ",
              decoding.FirstWrong.c_str());
  return decoding.NotFound == 0 && decoding.Wrong == 0 ? 0 : 1;
}
