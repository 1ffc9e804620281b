#include "app/ChoiceMemory.h"

#include <QSettings>
#include <string>

#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/Mat_gen.h"
#include "session/Koordinator.h"

namespace {

constexpr char FolderKey[] = "OutputDirectory";
constexpr char PerScanKey[] = "FolderPerScan";
// Keys of the raster's twelve values, in the order of the dialog's fields.
constexpr const char* RasterKeys[] = {
    "Raster/LHX",        "Raster/LHY",           "Raster/Rows",           "Raster/Columns",
    "Raster/Size",       "Raster/Spacing",       "Raster/PointRed",       "Raster/PointBlue",
    "Raster/PointGreen", "Raster/BackgroundRed", "Raster/BackgroundBlue", "Raster/BackgroundGreen"};

void RestoreFolder(const QSettings& Settings) {
  std::string folder = Settings.value(FolderKey).toString().toStdString();
  // An empty entry would name the working folder: nothing was chosen.
  if (folder.empty()) return;
  const std::string reason = WhyNotWritable(folder);
  if (!reason.empty()) {
    Koordinator->Log("Zapamatovaný adresář \"" + folder + "\" nelze použít: " + reason +
                     "; snímky půjdou do " + Koordinator->OutputDirectory +
                     "; zůstává zapamatován, dokud nezvolíte jiný");
    return;
  }
  if (!folder.ends_with('/')) folder += '/';
  Koordinator->OutputDirectory = folder;
  Koordinator->Log("Obnoven adresář " + folder);
}

void RestorePerScan(const QSettings& Settings) {
  if (!Settings.contains(PerScanKey)) return;
  Koordinator->FolderPerScan = Settings.value(PerScanKey).toBool();
  if (Koordinator->FolderPerScan) Koordinator->Log("Obnoveno: každé snímání do nového podadresáře");
}

void RestoreRaster(const QSettings& Settings) {
  if (PointDef == nullptr || MatGen == nullptr || !Settings.contains(RasterKeys[0])) return;
  TPointDef::TFieldValues values{};
  bool whole = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    bool number = false;
    values[i] = Settings.value(RasterKeys[i]).toInt(&number);
    whole = whole && number;
  }
  if (whole && PointDef->ApplyValues(values))
    Koordinator->Log("Obnoven rastr: " + TPointDef::RasterText(*MatGen));
  else
    Koordinator->Log("Zapamatovaný rastr nelze použít; platí " + TPointDef::RasterText(*MatGen));
}

void Stored(QSettings& Settings) {
  Settings.sync();
  if (Settings.status() != QSettings::NoError)
    Koordinator->Log("Volby nelze zapamatovat do " + Settings.fileName().toStdString());
}

}  // namespace

void RestoreChoices() {
  if (Koordinator == nullptr) return;
  const QSettings settings;
  RestoreFolder(settings);
  RestorePerScan(settings);
  RestoreRaster(settings);
}

void RememberFolder() {
  if (Koordinator == nullptr) return;
  QSettings settings;
  settings.setValue(FolderKey, QString::fromStdString(Koordinator->OutputDirectory));
  settings.setValue(PerScanKey, Koordinator->FolderPerScan);
  Stored(settings);
}

void RememberRaster() {
  if (Koordinator == nullptr || MatGen == nullptr) return;
  QSettings settings;
  const TPointDef::TFieldValues values = TPointDef::ValuesOf(*MatGen);
  for (std::size_t i = 0; i < values.size(); ++i) settings.setValue(RasterKeys[i], values[i]);
  Stored(settings);
}
