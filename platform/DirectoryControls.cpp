#include "platform/DirectoryControls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

constexpr int PathRole = Qt::UserRole;
constexpr int LevelRole = Qt::UserRole + 1;
// Pixels each level of the path is indented by.
constexpr int LevelIndent = 8;

class TDirectoryItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    QSize size = QStyledItemDelegate::sizeHint(Option, Index);
    size.setWidth(size.width() + Indent(Index));
    size.setHeight(TDirectoryListBox::ItemHeight);
    return size;
  }

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
             const QModelIndex& Index) const override {
    QStyleOptionViewItem indented(Option);
    indented.rect.adjust(Indent(Index), 0, 0, 0);
    QStyledItemDelegate::paint(Painter, indented, Index);
  }

 private:
  static int Indent(const QModelIndex& Index) {
    return Index.data(LevelRole).toInt() * LevelIndent;
  }
};

QString CleanAbsolute(const QString& Path) {
  return QDir::cleanPath(QDir(Path).absolutePath());
}

// Subdirectory names of Directory, or false when it cannot be listed.
bool ListSubdirectories(const QString& Directory, QStringList& Names) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entry(QFile::encodeName(Directory).toStdString(), error);
  if (error) return false;
  for (; entry != fs::directory_iterator(); entry.increment(error)) {
    if (error) return false;
    std::error_code ignored;
    if (!entry->is_directory(ignored)) continue;
    const QString name = QFile::decodeName(entry->path().filename().native().c_str());
    if (!name.startsWith(QLatin1Char('.'))) Names.append(name);
  }
  if (error) return false;
  std::sort(Names.begin(), Names.end(), [](const QString& A, const QString& B) {
    const int order = A.compare(B, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : A < B;
  });
  return true;
}

}  // namespace

const char* const TDirectoryListBox::UnreadableText = "(nelze číst)";

TDirectoryListBox::TDirectoryListBox(QWidget* Parent, const std::string& Name, const QRect& Bounds)
    : QListWidget(Parent) {
  setObjectName(QString::fromStdString(Name));
  setGeometry(Bounds);
  setItemDelegate(new TDirectoryItemDelegate(this));
  setUniformItemSizes(true);
  setIconSize(QSize(ItemHeight - 2, ItemHeight - 2));
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  const QString current = QDir::currentPath();
  SetDirectory(current.isEmpty() ? "/" : current.toStdString());
}

void TDirectoryListBox::SetDirectory(const std::string& Path) {
  FDirectory = CleanAbsolute(QString::fromStdString(Path));
  Fill();
  emit DirectoryChanged(FDirectory);
}

void TDirectoryListBox::Fill() {
  clear();
  AddLine(QStringLiteral("/"), QStringLiteral("/"), 0, true);
  const QStringList levels = FDirectory.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  QString path;
  for (int level = 0; level < levels.size(); ++level) {
    path += QLatin1Char('/') + levels[level];
    AddLine(levels[level], path, level + 1, true);
  }
  const int currentRow = count() - 1;
  const int childLevel = int(levels.size()) + 1;
  QStringList children;
  FReadable = ListSubdirectories(FDirectory, children);
  if (FReadable) {
    const QString prefix = FDirectory == QLatin1String("/") ? FDirectory : FDirectory + '/';
    for (const QString& child : children) AddLine(child, prefix + child, childLevel, false);
  } else {
    AddLine(QString::fromUtf8(UnreadableText), QString(), childLevel, false);
    item(count() - 1)->setFlags(Qt::NoItemFlags);
  }
  setCurrentRow(currentRow);
}

void TDirectoryListBox::AddLine(const QString& Text, const QString& Path, int Level, bool Open) {
  auto* line = new QListWidgetItem(
      style()->standardIcon(Open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon), Text, this);
  line->setData(PathRole, Path);
  line->setData(LevelRole, Level);
}

void TDirectoryListBox::Open(QListWidgetItem* Item) {
  if (Item == nullptr || !(Item->flags() & Qt::ItemIsEnabled)) return;
  SetDirectory(Item->data(PathRole).toString().toStdString());
}

void TDirectoryListBox::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton) Open(itemAt(Event->position().toPoint()));
  Event->accept();
}

void TDirectoryListBox::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) {
    QListWidgetItem* selected = currentItem();
    if (selected != nullptr && selected->isSelected()) Open(selected);
    // Taken here, so that no dialog button reacts to it as well.
    Event->accept();
    return;
  }
  QListWidget::keyPressEvent(Event);
}

std::vector<std::string> TDriveComboBox::MountedDrives() {
  std::vector<std::string> roots;
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    const QString root = volume.rootPath();
    // Bind mounts of single files are no drives.
    if (!QFileInfo(root).isDir()) continue;
    const std::string text = root.toStdString();
    if (std::find(roots.begin(), roots.end(), text) == roots.end()) roots.push_back(text);
  }
  std::sort(roots.begin(), roots.end(), [](const std::string& A, const std::string& B) {
    if ((A == "/") != (B == "/")) return A == "/";
    return A < B;
  });
  return roots;
}

TDriveComboBox::TDriveComboBox(QWidget* Parent, const std::string& Name, const QRect& Bounds)
    : QComboBox(Parent) {
  setObjectName(QString::fromStdString(Name));
  setGeometry(Bounds);
  Fill();
  connect(this, &QComboBox::activated, this,
          [this](int Index) { SetDrive(itemText(Index).toStdString()); });
}

void TDriveComboBox::Fill() {
  const QString shown = currentText();
  clear();
  for (const std::string& root : MountedDrives()) addItem(QString::fromStdString(root));
  const int index = findText(shown);
  setCurrentIndex(index >= 0 ? index : 0);
}

void TDriveComboBox::showPopup() {
  Fill();
  QComboBox::showPopup();
}

void TDriveComboBox::SetDirList(TDirectoryListBox* List) {
  if (FList) disconnect(FList, nullptr, this, nullptr);
  FList = List;
  if (!FList) return;
  connect(FList, &TDirectoryListBox::DirectoryChanged, this, &TDriveComboBox::Follow);
  Follow(QString::fromStdString(FList->Directory()));
}

void TDriveComboBox::SetDrive(const std::string& Root) {
  const int index = findText(QString::fromStdString(Root));
  if (index < 0) return;
  setCurrentIndex(index);
  if (!FList) return;
  const QString root = itemText(index);
  FList->SetDirectory(FLastDirectory.value(root, root).toStdString());
}

void TDriveComboBox::Follow(const QString& Directory) {
  const int index = DriveOf(Directory);
  if (index < 0) return;
  setCurrentIndex(index);
  FLastDirectory[itemText(index)] = Directory;
}

int TDriveComboBox::DriveOf(const QString& Directory) const {
  int best = -1;
  qsizetype bestLength = -1;
  for (int i = 0; i < count(); ++i) {
    const QString root = itemText(i);
    const bool holds = root == QLatin1String("/") || Directory == root ||
                       Directory.startsWith(root + QLatin1Char('/'));
    if (holds && root.size() > bestLength) {
      best = i;
      bestLength = root.size();
    }
  }
  return best;
}
