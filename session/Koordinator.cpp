#include "session/Koordinator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/LocalTime.h"
#include "platform/Timer.h"
#include "platform/Widgets.h"

TKoordinator* Koordinator = nullptr;

namespace {

constexpr char IndexHeader[] = "SBF File : 0, 1, points, 14x code pics, ";
constexpr int IndexRuleLength = 80;
constexpr char LineEnd[] = "\r\n";

std::string WithSlash(std::string Directory) {
  if (!Directory.ends_with('/')) Directory += '/';
  return Directory;
}

// An install prefix's bin/ (/usr/bin, ~/.local/bin); the build tree keeps the program in app/.
bool IsInstalledDirectory(const std::string& ExecutableDirectory) {
  std::filesystem::path directory(ExecutableDirectory);
  if (!directory.has_filename()) directory = directory.parent_path();
  return directory.filename() == "bin";
}

std::string ToUtf8(const QString& Text) {
  return Text.toUtf8().toStdString();
}

// What lies beside an index and belongs to its scan, as name stem and extension.
struct TScanFile {
  const char* Stem;
  const char* Extension;
};
constexpr TScanFile IndexFile{"corvalet", ".sbf"};
constexpr TScanFile CompanionFiles[] = {{"corvalet-check", ".txt"},
                                        {"corvalet-check", ".png"},
                                        {"corvalet-points", ".csv"},
                                        {"corvalet-points", ".ply"},
                                        {"corvalet-3d", ".png"}};

std::string Named(const TScanFile& File, const std::string& Stamp) {
  return std::string(File.Stem) + (Stamp.empty() ? "" : "-" + Stamp) + File.Extension;
}

bool Exists(const std::string& Path) {
  std::error_code error;
  const auto type = std::filesystem::symlink_status(Path, error).type();
  return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

// Renames without ever replacing a file at To; errno tells why not.
bool RenameNoReplace(const std::string& From, const std::string& To) {
  if (renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: the look first is the best left.
  if (Exists(To)) {
    errno = EEXIST;
    return false;
  }
  return std::rename(From.c_str(), To.c_str()) == 0;
}

// "2026-12-08": today, local time.
std::string LocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// "2026-12-08_140512": when the file at Path was last written, local time.
std::string ScanTimeStamp(const std::string& Path) {
  struct stat info {};
  const std::time_t written = stat(Path.c_str(), &info) == 0 ? info.st_mtime : std::time(nullptr);
  std::tm local{};
  localtime_r(&written, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local);
  return text;
}

}  // namespace

TKoordinator::TKoordinator(TMemo* LogPanel)
    : OutputDirectory(DefaultOutputDirectory()), LogPanel(LogPanel) {}

TKoordinator::~TKoordinator() {
  // The session and the SDK go before the list.
  Controller.reset();
}

bool TKoordinator::Connect(HWND MainWindow) {
  // The old controller ends its SDK use before the new one starts it.
  Controller.reset();
  Connected = false;
  // What the ended session still owed can never come.
  OwedPhotos.clear();
  Controller = std::make_unique<TAppMaster>(MainWindow);

  CameraName = Controller->GetCameraName();
  // Every step runs whatever the earlier ones gave.
  const EdsError opened = Controller->OpenAndConfigure();
  const EdsError savingToHost = Controller->ApplySaveToHost();
  // Without the handlers no photograph would ever be announced: every shot
  // would be lost while the camera counted as connected.
  const EdsError registered = Controller->RegisterHandlers();

  if (Controller->GetDescriptor() == nullptr) Controller.reset();
  Connected = opened == EdsResult_Ok && savingToHost == EdsResult_Ok &&
              registered == EdsResult_Ok && Controller != nullptr;
  return Connected;
}

void TKoordinator::Disconnect() {
  Controller.reset();
  Connected = false;
  OwedPhotos.clear();
  CapturedFiles.clear();
  Log("Kamera odpojena.");
}

TShot TKoordinator::Shoot(unsigned Scan, const std::string& Directory) {
  if (!Connected || !Controller) return TShot::Refused;
  EdsError unlock = EdsResult_Ok;
  if (Controller->TakePicture(&unlock) != EdsResult_Ok) return TShot::Refused;
  OwedPhotos.push_back(
      {MonotonicMilliseconds(), Scan, Directory.empty() ? OutputDirectory : WithSlash(Directory)});
  return unlock == EdsResult_Ok ? TShot::Taken : TShot::TakenStillLocked;
}

TTransfer TKoordinator::SaveTransferredImage(const TMsg& Msg) {
  // Only a transfer message carries an item reference in lParam.
  if (Msg.message != CameraTransferMessage) return TTransfer::Failed;
  // The reference belongs to the SDK session that announced it. Once that
  // session ended (the controller's destruction ends it) the reference died
  // with it, even under a new controller: no SDK call may see it, not even EdsRelease.
  if (!Controller || Msg.wParam != Controller->GetSession()) return TTransfer::Stale;

  const auto item = reinterpret_cast<EdsDirectoryItemRef>(Msg.lParam);
  // Photographs come in the order of their shots: this one is the oldest owed one's.
  const std::string directory = OwedPhotos.empty() ? OutputDirectory : OwedPhotos.front().Directory;
  std::string name, cameraName;
  EdsError complete = EdsResult_Ok;
  if (Controller->DownloadItem(item, directory, name, &complete, &cameraName) != EdsResult_Ok)
    return TTransfer::Failed;
  LastSavedDirectory = directory;
  if (name != cameraName)
    Log("Soubor " + cameraName + " už v adresáři je, snímek dostal jméno " + name);
  LastSavedFile = name;
  return complete == EdsResult_Ok ? TTransfer::Saved : TTransfer::SavedCameraMayKeepCopy;
}

void TKoordinator::WriteOffOwedPhotos(std::int64_t Milliseconds) {
  const std::int64_t now = MonotonicMilliseconds();
  std::erase_if(OwedPhotos,
                [&](const TOwedPhoto& Photo) { return now - Photo.ShotAt >= Milliseconds; });
}

void TKoordinator::AddCapturedFile(const std::string& FileName) {
  CapturedFiles.push_back(FileName);
}

void TKoordinator::Log(const std::string& Message) {
  const std::string time = LongTimeString();
  if (LogPanel != nullptr) {
    TMemoLines& lines = LogPanel->Lines();
    lines.Add(time + " : " + Message);
    while (lines.Count() > MaxLogLines) lines.Delete(0);
  }
  if (LogDirectory.empty()) return;
  const std::string path = LogFilePath();
  if (path == LogFileFailed) return;
  const std::string line = LocalDate() + " " + time + " : " + Message + "\n";
  std::string reason;
  if (!QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(LogDirectory)))) {
    reason = "the folder cannot be made";
  } else {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // A short write (a full disk, a size limit) goes on with the rest, so that the call that
    // cannot write at all tells why.
    std::size_t written = 0;
    while (file >= 0 && written < line.size()) {
      const ssize_t count = write(file, line.data() + written, line.size() - written);
      if (count < 0 && errno == EINTR) continue;
      if (count == 0) errno = EIO;
      if (count <= 0) break;
      written += std::size_t(count);
    }
    if (file < 0 || written < line.size()) reason = std::strerror(errno);
    if (file >= 0) close(file);
  }
  if (reason.empty()) return;
  // Said once; the program goes on with the panel alone.
  LogFileFailed = path;
  Log("Záznam nelze ukládat do " + path + ": " + reason);
}

std::string TKoordinator::LogFilePath() const {
  if (LogDirectory.empty()) return {};
  return WithSlash(LogDirectory) + "corvaletscan-" + LocalDate() + ".log";
}

std::string TKoordinator::DefaultLogDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // A relative XDG_STATE_HOME is invalid and ignored.
  const std::string base = state != nullptr && state[0] == '/'
                               ? std::string(state)
                               : ToUtf8(QDir::homePath()) + "/.local/state";
  return base + "/corvaletscan";
}

std::string TKoordinator::KeepEarlierIndex(const std::string& Directory) {
  const std::string index = Directory + IndexFileName;
  std::error_code error;
  const auto type = std::filesystem::symlink_status(index, error).type();
  // A directory of that name is no index; writing over it fails as before.
  if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::symlink)
    return {};
  const std::string time = ScanTimeStamp(index);
  // Two scans within one second get "_2", "_3", ... after the time.
  std::string stamp = time;
  for (int n = 2; n <= 9999; ++n) {
    bool free = !Exists(Directory + Named(IndexFile, stamp));
    for (const TScanFile& file : CompanionFiles)
      free = free && !Exists(Directory + Named(file, stamp));
    if (free) break;
    stamp = time + "_" + std::to_string(n);
  }
  const std::string kept = Named(IndexFile, stamp);
  if (!RenameNoReplace(index, Directory + kept))
    throw std::runtime_error("Cannot rename file \"" + index + "\" to \"" + kept + "\". " +
                             std::strerror(errno));
  Log("Starší seznam snímků přejmenován na " + kept);
  // The earlier scan's check files go with its index.
  for (const TScanFile& file : CompanionFiles) {
    const std::string from = Directory + Named(file, "");
    if (Exists(from) && !RenameNoReplace(from, Directory + Named(file, stamp)))
      Log("Soubor " + from + " nelze přejmenovat: " + std::strerror(errno));
  }
  return stamp;
}

void TKoordinator::RestoreEarlierIndex(const std::string& Directory, const std::string& Stamp) {
  RenameNoReplace(Directory + Named(IndexFile, Stamp), Directory + IndexFileName);
  for (const TScanFile& file : CompanionFiles)
    RenameNoReplace(Directory + Named(file, Stamp), Directory + Named(file, ""));
  Log("Starší seznam snímků vrácen pod jméno " + std::string(IndexFileName));
}

void TKoordinator::WriteScanIndex() {
  WriteScanIndex(OutputDirectory);
}

void TKoordinator::WriteScanIndex(const std::string& Directory) {
  // The clock is read twice, once for the time and once for the date.
  const std::string time = LongTimeString();
  const std::string date = ShortDateString();

  std::string text = IndexHeader + time + " " + date + LineEnd;
  text += std::string(IndexRuleLength, '-') + LineEnd;
  for (const std::string& name : CapturedFiles) text += name + LineEnd;

  const std::string directory = WithSlash(Directory.empty() ? OutputDirectory : Directory);
  const std::string path = directory + IndexFileName;
  // Written beside the old index and renamed over it only when complete.
  QSaveFile file(QFile::decodeName(QByteArray::fromStdString(path)));
  // Unbuffered: a buffered write that falls short at commit is not reported by commit.
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
    throw std::runtime_error("Cannot create file \"" + path + "\". " + ToUtf8(file.errorString()));
  const auto size = qint64(text.size());
  qint64 written = 0;
  // A short write is retried so that the failing call reports its reason.
  while (written < size) {
    const qint64 count = file.write(text.data() + written, size - written);
    if (count <= 0) break;
    written += count;
  }
  // Only a complete new index moves the earlier one aside.
  const std::string kept = written == size ? KeepEarlierIndex(directory) : std::string();
  if (written != size || !file.commit()) {
    // The new index is not there: the earlier one keeps its name.
    if (!kept.empty()) RestoreEarlierIndex(directory, kept);
    throw std::runtime_error("Stream write error: \"" + path + "\". " + ToUtf8(file.errorString()));
  }
  CapturedFiles.clear();
}

std::string TKoordinator::MakeScanFolder(std::string& Error) const {
  constexpr char Prefix[] = "sken-";
  // One past the highest number there: a folder emptied and removed is not refilled.
  long highest = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(OutputDirectory, error)) {
    const std::string name = entry.path().filename().string();
    const std::string digits = name.substr(std::min(name.size(), sizeof Prefix - 1));
    if (!name.starts_with(Prefix) || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      continue;
    highest = std::max(highest, std::stol(digits));
  }
  std::string path;
  for (long number = highest + 1; number <= highest + 100; ++number) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03ld", Prefix, number);
    path = OutputDirectory + name;
    if (mkdir(path.c_str(), 0777) == 0) return path + "/";
    if (errno != EEXIST) break;
  }
  Error = "Cannot create folder \"" + path + "\". " + std::strerror(errno);
  return {};
}

std::string TKoordinator::DefaultOutputDirectory() {
  std::string directory;
  if (QCoreApplication::instance() != nullptr) {
    directory = ToUtf8(QCoreApplication::applicationDirPath());
  } else {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) directory = executable.parent_path().string();
  }
  return OutputDirectoryFor(directory);
}

std::string TKoordinator::OutputDirectoryFor(const std::string& ExecutableDirectory) {
  // Photos never go among installed programs, even where root could write them.
  if (!ExecutableDirectory.empty() && !IsInstalledDirectory(ExecutableDirectory) &&
      access(ExecutableDirectory.c_str(), W_OK | X_OK) == 0)
    return WithSlash(ExecutableDirectory);
  QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (pictures.isEmpty() || !QDir().mkpath(pictures)) pictures = QDir::homePath();
  return WithSlash(ToUtf8(pictures));
}
