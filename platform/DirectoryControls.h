#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QMap>
#include <QPointer>
#include <QString>
#include <string>
#include <vector>

// The directory list: the path of its current directory from "/" down, one
// level per line, then the current directory's subdirectories, sorted (hidden
// ones left out). Opening a line (double click, or Enter on the selected line)
// makes its directory current; selecting a line alone does not. A directory
// that cannot be read shows its path lines and one disabled line
// UnreadableText instead of subdirectories.
class TDirectoryListBox : public QListWidget {
  Q_OBJECT

 public:
  // Starts at the process's current working directory.
  TDirectoryListBox(QWidget* Parent, const std::string& Name, const QRect& Bounds);

  static constexpr int ItemHeight = 16;
  static const char* const UnreadableText;

  // Full path: "/" for the root, otherwise without a trailing "/".
  std::string Directory() const { return FDirectory.toStdString(); }
  // A relative Path is taken from the working directory. Reads the directory
  // again even when it is the current one.
  void SetDirectory(const std::string& Path);
  // False when the current directory could not be listed.
  bool Readable() const { return FReadable; }

 signals:
  void DirectoryChanged(const QString& Directory);

 protected:
  void mouseDoubleClickEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void Open(QListWidgetItem* Item);
  void Fill();
  void AddLine(const QString& Text, const QString& Path, int Level, bool Open);

  QString FDirectory;
  bool FReadable = true;
};

// The drive selector: the mounted volumes, root first, each shown by its root
// path. Choosing one moves the linked directory list to the directory last
// current on that volume (at first its root); the selector follows the list
// to the volume that holds the list's directory.
class TDriveComboBox : public QComboBox {
 public:
  TDriveComboBox(QWidget* Parent, const std::string& Name, const QRect& Bounds);

  // Root paths of the mounted volumes that are directories: "/" first, the rest sorted.
  static std::vector<std::string> MountedDrives();

  void SetDirList(TDirectoryListBox* List);
  // Root path of the volume shown.
  std::string Drive() const { return currentText().toStdString(); }
  // What choosing Root in the drop-down does; an unknown Root is ignored.
  void SetDrive(const std::string& Root);

 protected:
  // The volumes are read again each time the list drops down.
  void showPopup() override;

 private:
  void Fill();
  void Follow(const QString& Directory);
  int DriveOf(const QString& Directory) const;

  QPointer<TDirectoryListBox> FList;
  // The directory last current on each volume, by root path.
  QMap<QString, QString> FLastDirectory;
};
