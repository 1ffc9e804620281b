#include "dialogs/adres.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QMessageBox>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Application.h"
#include "platform/Widgets.h"

TForm3* Form3 = nullptr;

namespace {

// Empty when a file can be created in Directory, otherwise the reason why not. A real
// file, not the permission bits: read-only mounts and vanished media refuse it too.
std::string WhyNotWritable(const std::string& Directory) {
  std::string path =
      QDir(QString::fromStdString(Directory)).filePath(".corvalet-XXXXXX").toStdString();
  const int file = mkostemp(path.data(), O_CLOEXEC);
  if (file < 0) return std::strerror(errno);
  close(file);
  unlink(path.c_str());
  return {};
}

}  // namespace

TForm3::TForm3(QWidget* Parent) : TForm(Parent) {
  setObjectName("Form3");
  SetCaption("Výběr adresáře");
  SetClientSize(231, 257);
  SetBorderStyle(TBorderStyle::bsDialog);

  DriveComboBox1 = new TDriveComboBox(this, "DriveComboBox1", QRect(8, 8, 217, 19));
  // Starts at the process's working directory.
  DirectoryListBox1 = new TDirectoryListBox(this, "DirectoryListBox1", QRect(8, 40, 217, 177));
  DriveComboBox1->SetDirList(DirectoryListBox1);
  SpeedButton1 = new TSpeedButton(this, "SpeedButton1", "Použít", QRect(8, 224, 217, 25));
  SpeedButton1->OnClick = [this] { SpeedButton1Click(); };
}

TForm3::~TForm3() = default;

void TForm3::SpeedButton1Click() {
  // The photographs go exactly where the operator confirmed, or the operator chooses again.
  const std::string directory = DirectoryListBox1->Directory();
  const std::string reason = WhyNotWritable(directory);
  if (reason.empty()) {
    SetModalResult(QDialog::Accepted);
    return;
  }
  const std::string text = "Do adresáře \"" + directory + "\" nelze ukládat snímky: " + reason;
  if (Application)
    Application->ShowException(text);
  else
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(text));
}
