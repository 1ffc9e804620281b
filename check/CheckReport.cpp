#include "check/ScanCheck.h"

#include <QFile>
#include <QPainter>
#include <QSaveFile>
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "check/CheckGeometry.h"

using namespace scan_check;

std::optional<TCheckRaster> RecordedRaster(const std::string& Dir) {
  QFile file(QString::fromStdString(Dir + "/corvalet-check.txt"));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray text = file.read(1 << 20);
  for (const QByteArray& line : text.split('\n'))
    if (line.startsWith("Rastr: ")) {
      QByteArray values = line.mid(7);
      const int bracket = values.indexOf(' ');
      if (bracket >= 0) values.truncate(bracket);
      return TCheckRaster::Parse(values.trimmed().toStdString());
    }
  return std::nullopt;
}

namespace {

// One line per raster point: its number, row and column from 0, and where its
// middle lies in the all-points photo, origin at the top-left pixel's centre.
bool WritePoints(const std::string& Path, const TCheckResult& Result, std::string* Error) {
  std::string text = "number,row,column,x,y,state\n";
  const int columns = std::max(1, Result.Raster.Columns);
  char line[96];
  for (std::size_t i = 0; i < Result.States.size(); ++i) {
    const QPointF at = Result.Positions[i];
    const bool found = Result.Found[i] && Known(at);
    const int length =
        found ? std::snprintf(line, sizeof line, "%zu,%zu,%zu,%.3f,%.3f,%s\n", i + 1, i / columns,
                              i % columns, at.x() - 0.5, at.y() - 0.5,
                              PointStateName(Result.States[i]))
              : std::snprintf(line, sizeof line, "%zu,%zu,%zu,,,%s\n", i + 1, i / columns,
                              i % columns, PointStateName(Result.States[i]));
    text.append(line, std::size_t(length));
  }
  QSaveFile file(QString::fromStdString(Path));
  if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) < 0 ||
      !file.commit()) {
    if (Error) *Error = Path + ": " + file.errorString().toStdString();
    return false;
  }
  return true;
}

}  // namespace

bool WriteCheckReport(const std::string& Dir, const TCheckResult& Result, std::string* Error) {
  std::ostringstream out;
  out << Result.Verdict() << "\n"
      << "Rastr: " << Result.Raster.Text() << " (LHX, LHY, řádků, sloupců, velikost, odstup)\n"
      << "Snímky: " << Result.PhotoWidth << " x " << Result.PhotoHeight << "\n";
  if (Result.HoldStillSeconds > 0) {
    out << "Nehybnost předmětu: " << DecimalText(Result.HoldStillSeconds) << " s\n";
  }
  if (!Result.CameraSettings.empty()) out << Result.CameraSettings << "\n";
  for (const std::string& change : Result.SettingChanges) out << change << "\n";
  if (!Result.Calibration.empty()) out << Result.Calibration << "\n";
  out << "Očekáváno: " << Result.Expected << "\n"
      << "Přečteno: " << Result.Read << "\n"
      << "Nepřečteno: " << Result.Unread << "\n"
      << "Duplicitní čísla: " << Result.Duplicates << "\n"
      << "Čísla mimo rastr: " << Result.OutOfRaster << "\n"
      << "Nesouhlasí s polohou: " << Result.Inconsistent << "\n"
      << "Slabý kontrast: " << Result.Weak << "\n"
      << "Useknuté okrajem snímku: " << Result.Cut << "\n";
  if (Result.MovedFrom >= 0) out << "Pohyb od snímku: " << Result.MovedFrom + 1 << "\n";
  if (!Result.StrayShares.empty()) {
    out << "Světlo mimo body, snímky 4 až 17 (%):";
    for (double share : Result.StrayShares)
      out << ' '
          << (std::isnan(share) ? std::string("-") : std::to_string(int(std::lround(100 * share))));
    out << "\n";
  }
  if (!Result.MisplacedPhotos.empty()) {
    out << "Snímky neodpovídají svému vzoru:";
    for (int photo : Result.MisplacedPhotos) out << ' ' << photo + 1;
    out << "\n";
  }
  out << "Šum: " << DecimalText(Result.Noise)
      << " úrovně, světlo bodů: " << DecimalText(Result.PointLight, 0) << " úrovní\n";
  if (!Result.Points3d.empty()) out << Result.Points3d << "\n";
  out << "Příčiny:\n";
  for (const TCauseFinding& finding : Result.Causes) {
    out << "- " << CheckCauseText(finding.Cause);
    if (finding.Points) out << " (" << finding.Points << " bodů)";
    if (!finding.Figure.empty()) out << ": " << finding.Figure;
    out << "\n";
  }
  out << "Nepřečtené body:";
  int column = 0;
  for (int number : Result.UnreadNumbers()) {
    out << (column++ % 20 == 0 ? "\n" : " ") << number;
  }
  out << "\n";

  const std::string textPath = Dir + "/corvalet-check.txt";
  QSaveFile text(QString::fromStdString(textPath));
  const std::string bytes = out.str();
  if (!text.open(QIODevice::WriteOnly) || text.write(bytes.data(), qint64(bytes.size())) < 0 ||
      !text.commit()) {
    if (Error) *Error = textPath + ": " + text.errorString().toStdString();
    return false;
  }

  QImage picture = Result.Preview.isNull()
                       ? QImage(std::max(1, Result.PhotoWidth), std::max(1, Result.PhotoHeight),
                                QImage::Format_RGB32)
                       : Result.Preview.copy();
  if (Result.Preview.isNull()) picture.fill(Qt::black);
  {
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const double scale = Result.PreviewScale;
    const double pitch = [&] {
      // The distance between the first two known neighbours sets the marker size.
      for (std::size_t i = 0; i + 1 < Result.Positions.size(); ++i)
        if (Known(Result.Positions[i]) && Known(Result.Positions[i + 1]))
          return std::hypot(Result.Positions[i + 1].x() - Result.Positions[i].x(),
                            Result.Positions[i + 1].y() - Result.Positions[i].y());
      return 8.0;
    }();
    const double radius = std::clamp(0.3 * pitch * scale, 1.0, 12.0);
    for (std::size_t i = 0; i < Result.States.size(); ++i) {
      if (!Known(Result.Positions[i])) continue;
      const QPointF at = Result.Positions[i] * scale;
      const bool read = Result.States[i] == TPointState::Read;
      painter.setPen(QPen(read ? QColor(0, 200, 0) : QColor(255, 40, 40), read ? 1.0 : 1.5));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(at, radius, radius);
    }
  }
  if (!WritePoints(Dir + "/corvalet-points.csv", Result, Error)) return false;
  const std::string picturePath = Dir + "/corvalet-check.png";
  QSaveFile png(QString::fromStdString(picturePath));
  if (!png.open(QIODevice::WriteOnly) || !picture.save(&png, "PNG") || !png.commit()) {
    if (Error) *Error = picturePath + ": " + png.errorString().toStdString();
    return false;
  }
  return true;
}

void RemoveCheckReport(const std::string& Dir) {
  QFile::remove(QString::fromStdString(Dir + "/corvalet-check.txt"));
  QFile::remove(QString::fromStdString(Dir + "/corvalet-check.png"));
  QFile::remove(QString::fromStdString(Dir + "/corvalet-points.csv"));
}
