#include "session/Canonator.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/LocalTime.h"
#include "platform/Timer.h"
#include "platform/Widgets.h"

TCanonator* Canonator = nullptr;

namespace {

constexpr char IndexHeader[] = "SBF File : 0, 1, points, 14x code pics, ";
constexpr int IndexRuleLength = 80;
constexpr char LineEnd[] = "\r\n";

std::string WithSlash(std::string Directory) {
  if (!Directory.ends_with('/')) Directory += '/';
  return Directory;
}

std::string ToUtf8(const QString& Text) {
  return Text.toUtf8().toStdString();
}

}  // namespace

TCanonator::TCanonator(TMemo* LogPanel)
    : OutputDirectory(DefaultOutputDirectory()), LogPanel(LogPanel) {}

TCanonator::~TCanonator() {
  // The session and the SDK go before the list.
  Controller.reset();
}

bool TCanonator::Connect(HWND MainWindow) {
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

void TCanonator::Disconnect() {
  Controller.reset();
  Connected = false;
  OwedPhotos.clear();
  CapturedFiles.clear();
  Log("Kamera odpojena.");
}

TShot TCanonator::Shoot(unsigned Scan) {
  if (!Connected || !Controller) return TShot::Refused;
  EdsError unlock = EdsResult_Ok;
  if (Controller->TakePicture(&unlock) != EdsResult_Ok) return TShot::Refused;
  OwedPhotos.push_back({MonotonicMilliseconds(), Scan});
  return unlock == EdsResult_Ok ? TShot::Taken : TShot::TakenStillLocked;
}

TTransfer TCanonator::SaveTransferredImage(const TMsg& Msg) {
  // Only a transfer message carries an item reference in lParam.
  if (Msg.message != CameraTransferMessage) return TTransfer::Failed;
  // The reference belongs to the SDK session that announced it. Once that
  // session ended (the controller's destruction ends it) the reference died
  // with it, even under a new controller: no SDK call may see it, not even EdsRelease.
  if (!Controller || Msg.wParam != Controller->GetSession()) return TTransfer::Stale;

  const auto item = reinterpret_cast<EdsDirectoryItemRef>(Msg.lParam);
  std::string name;
  EdsError complete = EdsResult_Ok;
  if (Controller->DownloadItem(item, OutputDirectory, name, &complete) != EdsResult_Ok)
    return TTransfer::Failed;
  LastSavedFile = name;
  return complete == EdsResult_Ok ? TTransfer::Saved : TTransfer::SavedCameraMayKeepCopy;
}

void TCanonator::WriteOffOwedPhotos(std::int64_t Milliseconds) {
  const std::int64_t now = MonotonicMilliseconds();
  std::erase_if(OwedPhotos,
                [&](const TOwedPhoto& Photo) { return now - Photo.ShotAt >= Milliseconds; });
}

void TCanonator::AddCapturedFile(const std::string& FileName) {
  CapturedFiles.push_back(FileName);
}

void TCanonator::Log(const std::string& Message) {
  if (LogPanel == nullptr) return;
  TMemoLines& lines = LogPanel->Lines();
  lines.Add(LongTimeString() + " : " + Message);
  while (lines.Count() > MaxLogLines) lines.Delete(0);
}

void TCanonator::WriteScanIndex() {
  // The clock is read twice, once for the time and once for the date.
  const std::string time = LongTimeString();
  const std::string date = ShortDateString();

  std::string text = IndexHeader + time + " " + date + LineEnd;
  text += std::string(IndexRuleLength, '-') + LineEnd;
  for (const std::string& name : CapturedFiles) text += name + LineEnd;

  const std::string path = OutputDirectory + IndexFileName;
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
  if (written != size || !file.commit())
    throw std::runtime_error("Stream write error: \"" + path + "\". " + ToUtf8(file.errorString()));
  CapturedFiles.clear();
}

std::string TCanonator::DefaultOutputDirectory() {
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

std::string TCanonator::OutputDirectoryFor(const std::string& ExecutableDirectory) {
  // An installed program's directory is often read-only for the operator.
  if (!ExecutableDirectory.empty() && access(ExecutableDirectory.c_str(), W_OK | X_OK) == 0)
    return WithSlash(ExecutableDirectory);
  QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (pictures.isEmpty() || !QDir().mkpath(pictures)) pictures = QDir::homePath();
  return WithSlash(ToUtf8(pictures));
}
