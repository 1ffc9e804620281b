#include "tests/support/SimScan.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimTruthFiles.h"

namespace {

QImage Snapshot(TImageData& Image) {
  const TBitmap& bitmap = Image.Picture().Bitmap();
  return QImage(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.BytesPerLine(),
                QImage::Format_BGR888)
      .copy();
}

template <class TCount>
int CountIf(const std::vector<TSimPointTruth>& Truth, TCount Count) {
  return int(std::count_if(Truth.begin(), Truth.end(), Count));
}

}  // namespace

int TSimScan::Readable() const {
  return CountIf(Truth, [](const TSimPointTruth& T) { return T.Readable; });
}
int TSimScan::Inside() const {
  return CountIf(Truth,
                 [](const TSimPointTruth& T) { return T.View == TSimPointTruth::TView::Inside; });
}
int TSimScan::Edge() const {
  return CountIf(Truth,
                 [](const TSimPointTruth& T) { return T.View == TSimPointTruth::TView::Edge; });
}

TSimScan WriteSimScan(const std::string& Dir, const TSimScanSetup& Setup) {
  TImageData image(TForm2::ClientWidth, TForm2::ClientHeight);
  TMatGen generator(image);
  generator.SetGeometry(Setup.OffsetX, Setup.OffsetY, Setup.Rows, Setup.Columns, Setup.Size,
                        Setup.Spacing, 0x000000, 0x00FF00);
  TSimScan scan{generator.OffsetX(),
                generator.OffsetY(),
                generator.RowCount(),
                generator.ColumnCount(),
                generator.PointSize(),
                generator.Spacing(),
                {},
                {}};
  std::vector<QImage> frames;
  generator.FillField(0);
  frames.push_back(Snapshot(image));
  if (!Setup.AimOnly) {
    generator.FillField(1);
    frames.push_back(Snapshot(image));
  }
  generator.DrawAllPoints();
  frames.push_back(Snapshot(image));
  generator.ResetPlanes();
  while (!Setup.AimOnly && generator.NextPlane()) frames.push_back(Snapshot(image));

  for (std::size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04zu.JPG", i + 1);
    scan.Names.push_back(name);
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&] {
    for (std::size_t i; (i = next++) < frames.size();) {
      const QImage photo = SimPhotograph(frames[i], Setup.Width, Setup.Height,
                                         Setup.Seed ^ std::uint32_t((i + 1) * 0x9E3779B1u),
                                         Setup.Optics, unsigned(i + 1), Setup.Stage);
      QFile file(QString::fromStdString(Dir + "/" + scan.Names[i]));
      const QByteArray jpeg = SimEncodeJpeg(photo);
      if (jpeg.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size())
        failed = true;
    }
  };
  std::thread helper(worker);
  worker();
  helper.join();
  if (failed) throw std::runtime_error("cannot write the simulated scan into " + Dir);

  if (!Setup.AimOnly) {
    QByteArray index = "SBF File : 0, 1, points, 14x code pics, 12:00:00 08.12.2026\r\n";
    index += QByteArray(80, '-') + "\r\n";
    for (const std::string& name : scan.Names) index += QByteArray::fromStdString(name) + "\r\n";
    QFile file(QString::fromStdString(Dir + "/corvalet.sbf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(index) != index.size())
      throw std::runtime_error("cannot write the index into " + Dir);
  }

  const TSimRaster raster{scan.OffsetX, scan.OffsetY, scan.Rows,
                          scan.Columns, scan.Size,    scan.Spacing};
  scan.Truth = SimPointTruth(TForm2::ClientWidth, TForm2::ClientHeight, Setup.Width, Setup.Height,
                             Setup.Optics, raster.TopLefts(), scan.Size, scan.Spacing, Setup.Stage);
  std::string error;
  const TSimGeometry geometry = SimGeometryOf(TForm2::ClientWidth, TForm2::ClientHeight,
                                              Setup.Width, Setup.Height, Setup.Optics, Setup.Stage);
  const std::string name = scan.Names[Setup.AimOnly ? 1 : 2];
  if (!Setup.TruthDir.empty() &&
      !(SimWriteRigTruth(Setup.TruthDir, geometry, &error) &&
        SimWriteScanTruth(Setup.TruthDir, name.substr(0, name.rfind('.')), geometry, raster,
                          scan.Truth, &error)))
    throw std::runtime_error(error);
  return scan;
}
