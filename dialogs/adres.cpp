#include "dialogs/adres.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Application.h"
#include "platform/Widgets.h"

TForm3* Form3 = nullptr;

// A real file, not the permission bits: read-only mounts and vanished media refuse it too.
std::string WhyNotWritable(const std::string& Directory) {
  std::string path =
      QDir(QString::fromStdString(Directory)).filePath(".corvalet-XXXXXX").toStdString();
  const int file = mkostemp(path.data(), O_CLOEXEC);
  if (file < 0) return std::strerror(errno);
  close(file);
  unlink(path.c_str());
  return {};
}

TForm3::TForm3(QWidget* Parent) : TForm(Parent) {
  setObjectName("Form3");
  SetCaption("Výběr adresáře");
  SetClientSize(291, 281);
  SetBorderStyle(TBorderStyle::bsDialog);
  SetEscapeCloses(true);

  DriveComboBox1 = new TDriveComboBox(this, "DriveComboBox1", QRect(8, 8, 275, 19));
  // Starts at the process's working directory.
  DirectoryListBox1 = new TDirectoryListBox(this, "DirectoryListBox1", QRect(8, 40, 275, 177));
  DriveComboBox1->SetDirList(DirectoryListBox1);
  CheckBox1 = new QCheckBox(QString::fromUtf8("Každé snímání do nového podadresáře"), this);
  CheckBox1->setObjectName("CheckBox1");
  CheckBox1->setGeometry(8, 222, 275, 21);
  SpeedButton2 = new TSpeedButton(this, "SpeedButton2", "Nový adresář", QRect(8, 248, 133, 25));
  SpeedButton2->OnClick = [this] { SpeedButton2Click(); };
  SpeedButton1 = new TSpeedButton(this, "SpeedButton1", "Použít", QRect(150, 248, 133, 25));
  SpeedButton1->OnClick = [this] { SpeedButton1Click(); };
}

TForm3::~TForm3() = default;

void TForm3::ShowRefusal(const std::string& Text) {
  // Above this dialog and under its title: a box behind the stay-on-top main window looks frozen.
  if (Application)
    Application->ShowError(this, Text);
  else
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(Text));
}

void TForm3::SpeedButton2Click() {
  const QString shown = QString::fromStdString(DirectoryListBox1->Directory());
  bool given = false;
  const QString name = QInputDialog::getText(this, QString::fromUtf8("Nový adresář"),
                                             QString::fromUtf8("Název adresáře v ") + shown + ":",
                                             QLineEdit::Normal, {}, &given);
  if (!given) return;
  const std::string refusal = MakeDirectory(name.toStdString());
  if (refusal.empty()) return;
  ShowRefusal(refusal);
}

std::string TForm3::MakeDirectory(const std::string& Name) {
  if (Name.empty()) return "Název adresáře je prázdný";
  for (const char c : Name)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return "Název \"" + Name + "\" nesmí obsahovat \"/\" ani řídicí znaky";
  const std::string path = QDir(QString::fromStdString(DirectoryListBox1->Directory()))
                               .filePath(QString::fromStdString(Name))
                               .toStdString();
  if (mkdir(path.c_str(), 0777) != 0)
    return errno == EEXIST ? "Adresář \"" + path + "\" už existuje"
                           : "Adresář \"" + path + "\" nelze vytvořit: " + std::strerror(errno);
  DirectoryListBox1->SetDirectory(path);
  return {};
}

void TForm3::SpeedButton1Click() {
  // The photographs go exactly where the operator confirmed, or the operator chooses again.
  const std::string directory = DirectoryListBox1->Directory();
  const std::string reason = WhyNotWritable(directory);
  if (reason.empty()) {
    SetModalResult(QDialog::Accepted);
    return;
  }
  const std::string text = "Do adresáře \"" + directory + "\" nelze ukládat snímky: " + reason;
  ShowRefusal(text);
}
