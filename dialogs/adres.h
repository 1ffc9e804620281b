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

  // Ends the modal showing with OK. When the list's directory cannot be read,
  // the list first goes back to the last directory that could.
  void SpeedButton1Click();

  // The last directory the list could read; empty while it has read none.
  const std::string& LastReadableDirectory() const { return FLastReadable; }

  // All owned by the form (Qt parents).
  TDriveComboBox* DriveComboBox1 = nullptr;
  TDirectoryListBox* DirectoryListBox1 = nullptr;
  TSpeedButton* SpeedButton1 = nullptr;

 private:
  void DirectoryChanged();

  std::string FLastReadable;
};

extern TForm3* Form3;
