#pragma once

#include <string>

#include "platform/DirectoryControls.h"
#include "platform/Forms.h"

class QCheckBox;
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
  // "Nový adresář": asks for a name and makes that folder in the one shown.
  void SpeedButton2Click();
  // Makes folder Name in the directory shown and opens it. Refuses an empty
  // name, one holding "/" or a control character, and one that exists: the
  // reason is returned and nothing changes. Empty when made.
  std::string MakeDirectory(const std::string& Name);

  // The error box for Text, above this dialog and under its title.
  void ShowRefusal(const std::string& Text);

  // All owned by the form (Qt parents).
  TDriveComboBox* DriveComboBox1 = nullptr;        // the drive or mount point
  TDirectoryListBox* DirectoryListBox1 = nullptr;  // the directories; its current one is the result
  QCheckBox* CheckBox1 = nullptr;                  // each scan into a new numbered folder
  TSpeedButton* SpeedButton2 = nullptr;            // "Nový adresář": make a folder
  TSpeedButton* SpeedButton1 = nullptr;            // "Použít": confirm
};

extern TForm3* Form3;  // the output directory dialog

// Empty when a file can be created in Directory, otherwise the reason why not.
std::string WhyNotWritable(const std::string& Directory);
