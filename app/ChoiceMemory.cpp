#include "app/ChoiceMemory.h"

#include <QSettings>
#include <string>

#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "session/Koordinator.h"

namespace {

constexpr char FolderKey[] = "OutputDirectory";
constexpr char PerScanKey[] = "FolderPerScan";
// Keys of the raster's twelve values, in the order of the dialog's fields.
constexpr const char* RasterKeys[] = {
    "Raster/LHX",        "Raster/LHY",           "Raster/Rows",           "Raster/Columns",
    "Raster/Size",       "Raster/Spacing",       "Raster/PointRed",       "Raster/PointBlue",
    "Raster/PointGreen", "Raster/BackgroundRed", "Raster/BackgroundBlue", "Raster/BackgroundGreen"};

std::string RasterText(const TPointDef::TFieldValues& Values) {
  const char* names[] = {"LHX", "LHY", "řádků", "sloupců", "velikost", "odstup"};
  std::string text;
  for (std::size_t i = 0; i < std::size(names); ++i)
    text += (i ? ", " : "") + std::string(names[i]) + " " + std::to_string(Values[i]);
  return text;
}

void RestoreFolder(const QSettings& Settings) {
  if (!Settings.contains(FolderKey)) return;
  std::string folder = Settings.value(FolderKey).toString().toStdString();
  const std::string reason = WhyNotWritable(folder);
  if (!reason.empty()) {
    Koordinator->Log("Zapamatovaný adresář \"" + folder + "\" nelze použít: " + reason +
                   "; snímky půjdou do " + Koordinator->OutputDirectory);
    return;
  }
  if (!folder.ends_with('/')) folder += '/';
  Koordinator->OutputDirectory = folder;
  if (Form3 != nullptr) Form3->DirectoryListBox1->SetDirectory(folder);
  Koordinator->Log("Obnoven adresář " + folder);
}

void RestorePerScan(const QSettings& Settings) {
  if (!Settings.contains(PerScanKey)) return;
  Koordinator->FolderPerScan = Settings.value(PerScanKey).toBool();
  if (Koordinator->FolderPerScan) Koordinator->Log("Obnoveno: každé snímání do nového podadresáře");
}

void RestoreRaster(const QSettings& Settings) {
  if (PointDef == nullptr || !Settings.contains(RasterKeys[0])) return;
  TPointDef::TFieldValues values{};
  bool whole = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    bool number = false;
    values[i] = Settings.value(RasterKeys[i]).toInt(&number);
    whole = whole && number;
  }
  if (whole && PointDef->ApplyValues(values))
    Koordinator->Log("Obnoven rastr: " + RasterText(values));
  else
    Koordinator->Log("Zapamatovaný rastr nelze použít; platí " + RasterText(PointDef->Applied));
}

}  // namespace

void RestoreChoices() {
  if (Koordinator == nullptr) return;
  const QSettings settings;
  RestoreFolder(settings);
  RestorePerScan(settings);
  RestoreRaster(settings);
}

void RememberChoices() {
  if (Koordinator == nullptr) return;
  QSettings settings;
  settings.setValue(FolderKey, QString::fromStdString(Koordinator->OutputDirectory));
  settings.setValue(PerScanKey, Koordinator->FolderPerScan);
  if (PointDef != nullptr)
    for (std::size_t i = 0; i < PointDef->Applied.size(); ++i)
      settings.setValue(RasterKeys[i], PointDef->Applied[i]);
  settings.sync();
  if (settings.status() != QSettings::NoError)
    Koordinator->Log("Volby nelze zapamatovat do " + settings.fileName().toStdString());
}
