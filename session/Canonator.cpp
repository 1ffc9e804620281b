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
  CapturedFiles.clear();
  Log("Kamera odpojena.");
}

bool TCanonator::Shoot() {
  if (!Connected || !Controller) return false;
  return Controller->TakePicture() == EdsResult_Ok;
}

bool TCanonator::SaveTransferredImage(const TMsg& Msg) {
  // Without a controller the SDK has been terminated (the controller's
  // destruction ends it), so the item reference died with it: handing it back
  // to EdsRelease would touch an SDK that is no longer running. It is left alone.
  if (!Controller) return false;
  // Only a transfer message carries an item reference in lParam.
  if (Msg.message != CameraTransferMessage) return false;

  const auto item = reinterpret_cast<EdsDirectoryItemRef>(Msg.lParam);
  std::string name;
  if (Controller->DownloadItem(item, OutputDirectory, name) != EdsResult_Ok) return false;
  AddCapturedFile(name);
  return true;
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
