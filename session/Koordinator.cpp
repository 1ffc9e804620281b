#include "session/Koordinator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/LocalTime.h"
#include "platform/Timer.h"
#include "platform/Widgets.h"
#include "session/IndexFiles.h"

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

// "2026-12-08": today, local time.
std::string LocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
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

bool TKoordinator::LockFolder(const std::string& Directory, std::string& Error) {
  const std::string directory = WithSlash(Directory);
  return FLock.Directory() == directory ||
         TakeLock(directory, Error) == TFolderLock::TResult::Taken;
}

TFolderLock::TResult TKoordinator::TakeLock(const std::string& Directory, std::string& Error) {
  std::string takenOver;
  const TFolderLock::TResult taken = FLock.Take(Directory, Error, takenOver);
  if (!takenOver.empty())
    Log("Zámek " + Directory + TFolderLock::FileName + " po ukončené stanici převzat (" +
        takenOver + ")");
  return taken;
}

void TKoordinator::UnlockFolder() {
  FLock.Release();
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
  // The index ends the scan: the folder's lock goes with it, written or not.
  struct TUnlock {
    TFolderLock& Lock;
    ~TUnlock() { Lock.Release(); }
  } unlock{FLock};
  // Held for the write alone when no scan holds it: another station's index is
  // not replaced. A lock that cannot be made leaves the write to say why the
  // folder cannot be written.
  if (std::string said;
      FLock.Directory() != directory && TakeLock(directory, said) == TFolderLock::TResult::Held)
    throw std::runtime_error("Seznam snímků " + directory + IndexFileName + " nezapsán: " + said);
  const TPutIndex put = PutScanIndex(directory, text, [this](const std::string& Step) {
    if (IndexStep) IndexStep(Step);
  });
  if (!put.Kept.empty()) Log("Starší seznam snímků přejmenován na " + put.Kept);
  for (const std::string& note : put.Notes) Log(note);
  CapturedFiles.clear();
}

std::string TKoordinator::MakeScanFolder(std::string& Error) const {
  constexpr char Prefix[] = "sken-";
  auto number = [](const std::string& Digits) {
    return Digits.empty() || Digits.size() > 9 ||
                   Digits.find_first_not_of("0123456789") != std::string::npos
               ? 0L
               : std::stol(Digits);
  };
  // One past the highest number there and the highest made there: a folder
  // emptied and removed, the last one too, is not refilled.
  const std::string record = OutputDirectory + ScanNumberFileName;
  std::string recorded;
  std::getline(std::ifstream(record), recorded);
  long highest = number(recorded);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(OutputDirectory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(Prefix))
      highest = std::max(highest, number(name.substr(sizeof Prefix - 1)));
  }
  std::string path;
  for (long next = highest + 1; next <= highest + 100; ++next) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03ld", Prefix, next);
    path = OutputDirectory + name;
    if (mkdir(path.c_str(), 0777) == 0) {
      // Written beside and renamed over the record. Should it fail, the number
      // is still safe while its folder stays.
      const std::string beside = record + ".new";
      std::ofstream out(beside);
      out << next << "\n";
      out.close();
      if (!out || std::rename(beside.c_str(), record.c_str()) != 0) std::remove(beside.c_str());
      return path + "/";
    }
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
