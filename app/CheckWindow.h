#pragma once

#include <QWidget>
#include <string>

class QLabel;

// "Kontrola": the last scan's verdict with its pictures, read from its folder:
// the all-points photo with the points read and not read (corvalet-check.png)
// and, when a calibration placed them, the points in space (corvalet-3d.png).
// It stays open beside the main window and follows each verdict.
class TCheckWindow : public QWidget {
 public:
  // Object names: "CheckVerdict", "CheckPicture", "Points3dPicture", "CloseButton".
  explicit TCheckWindow(QWidget* Parent);

  // The verdict Line on the scan in Folder; the pictures are those beside its index.
  void ShowScan(const std::string& Folder, const std::string& Line);
  // Whether it follows the verdicts: from Follow() until the operator closes it
  // (hidden while a scan runs, it still follows).
  void Follow() { FFollowing = true; }
  bool Following() const { return FFollowing; }

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  bool FFollowing = false;
  QLabel* FVerdict = nullptr;
  QLabel* FCheckPicture = nullptr;
  QLabel* FPoints3d = nullptr;
};
