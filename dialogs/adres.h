#pragma once

#include <string>

#include "platform/DirectoryControls.h"
#include "platform/Forms.h"

class TSpeedButton;

// The output directory dialog. Its result is the directory list's current
// directory, read by the caller from DirectoryListBox1 after an OK (1) result.
class TForm3 : public TForm {
 public:
  explicit TForm3(QWidget* Parent = nullptr);
  ~TForm3() override;

  // Ends the modal showing with OK when the list's directory can be written;
  // otherwise the error box names it and the reason, and the dialog stays open.
  void SpeedButton1Click();

  // All owned by the form (Qt parents).
  TDriveComboBox* DriveComboBox1 = nullptr;        // the drive or mount point
  TDirectoryListBox* DirectoryListBox1 = nullptr;  // the directories; its current one is the result
  TSpeedButton* SpeedButton1 = nullptr;            // "Použít": confirm
};

extern TForm3* Form3;  // the output directory dialog
