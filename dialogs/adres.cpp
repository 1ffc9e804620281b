#include "dialogs/adres.h"

#include "platform/Widgets.h"

TForm3* Form3 = nullptr;

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

  connect(DirectoryListBox1, &TDirectoryListBox::DirectoryChanged, this,
          [this] { DirectoryChanged(); });
  DirectoryChanged();
}

TForm3::~TForm3() = default;

void TForm3::SpeedButton1Click() {
  // Photographs cannot go where nothing can be read; the shown directory stands
  // only when no readable one was ever open.
  if (!DirectoryListBox1->Readable() && !FLastReadable.empty())
    DirectoryListBox1->SetDirectory(FLastReadable);
  SetModalResult(QDialog::Accepted);
}

void TForm3::DirectoryChanged() {
  const bool readable = DirectoryListBox1->Readable();
  if (readable) FLastReadable = DirectoryListBox1->Directory();
  // The list's disabled line says why; the button says where "Použít" will lead.
  SpeedButton1->setToolTip(
      readable ? QString()
               : QString::fromUtf8("Adresář nelze číst; použije se ") +
                     QString::fromStdString(FLastReadable.empty() ? DirectoryListBox1->Directory()
                                                                  : FLastReadable));
}
