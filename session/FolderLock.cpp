#include "session/FolderLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace {

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// The start of process Pid in clock ticks since boot (field 22 of its stat);
// empty when there is no such process.
std::string ProcessStart(const std::string& Pid) {
  if (Pid.empty() || Pid.find_first_not_of("0123456789") != std::string::npos) return {};
  std::ifstream stat("/proc/" + Pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return {};
  // The command name in parentheses may hold spaces: the fields are counted after it.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int number = 3; number <= 22 && fields >> field; ++number)
    if (number == 22) return field;
  return {};
}

std::optional<std::string> ReadAll(const std::string& Path) {
  std::ifstream file(Path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> Fields(const std::string& Content) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(Content);
  for (std::string line; std::getline(lines, line);)
    if (const auto equals = line.find('='); equals != std::string::npos)
      fields[line.substr(0, equals)] = line.substr(equals + 1);
  return fields;
}

// "počítač lab-2, proces 4242, od 2026-12-08 14:05:12"
std::string Holder(const std::map<std::string, std::string>& Fields) {
  auto field = [&](const char* Key) {
    const auto found = Fields.find(Key);
    return found == Fields.end() || found->second.empty() ? std::string("?") : found->second;
  };
  return "počítač " + field("host") + ", proces " + field("pid") + ", od " + field("since");
}

// A lock of a process of this host that has ended, or whose id another process now has.
bool IsLeftBehind(const std::map<std::string, std::string>& Fields) {
  const auto host = Fields.find("host"), pid = Fields.find("pid"), start = Fields.find("start");
  if (host == Fields.end() || pid == Fields.end() || host->second != HostName()) return false;
  const std::string running = ProcessStart(pid->second);
  return running.empty() ||
         (start != Fields.end() && !start->second.empty() && start->second != running);
}

bool WriteAll(int File, const std::string& Bytes) {
  std::size_t written = 0;
  while (written < Bytes.size()) {
    const ssize_t count = write(File, Bytes.data() + written, Bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += std::size_t(count);
  }
  return true;
}

// Creates Path holding Content, never over a file; 0 or the errno that says why not.
// Written beside it and linked into place, so that no one reads it half written.
int CreateLockFile(const std::string& Directory, const std::string& Path,
                   const std::string& Content) {
  const std::string beside = Directory + ".corvalet.lock-" + std::to_string(getpid());
  const int file = open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file < 0) return errno;
  const bool written = WriteAll(file, Content) && fsync(file) == 0;
  int error = written ? 0 : (errno ? errno : EIO);
  close(file);
  if (written && link(beside.c_str(), Path.c_str()) != 0) error = errno;
  unlink(beside.c_str());
  // A file system without hard links: made exclusively, then written.
  if (error == EPERM || error == ENOTSUP || error == ENOSYS) {
    const int lock = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (lock < 0) return errno;
    error = WriteAll(lock, Content) ? 0 : errno;
    close(lock);
  }
  return error;
}

}  // namespace

TFolderLock::~TFolderLock() {
  Release();
}

TFolderLock::TResult TFolderLock::Take(const std::string& Directory, std::string& Said,
                                       std::string& TakenOver) {
  Release();
  const std::string path = Directory + FileName;
  const std::string pid = std::to_string(getpid());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char since[32];
  std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
  const std::string content = "host=" + HostName() + "\npid=" + pid +
                              "\nstart=" + ProcessStart(pid) + "\nsince=" + since + "\n";
  // A few rounds: a lock left behind is moved aside before the next try.
  for (int round = 0; round < 3; ++round) {
    const int error = CreateLockFile(Directory, path, content);
    if (error == 0) {
      FDirectory = Directory;
      FContent = content;
      return TResult::Taken;
    }
    if (error != EEXIST) {
      Said = "zámek " + path + " nelze vytvořit: " + std::strerror(error);
      return TResult::Failed;
    }
    const std::optional<std::string> found = ReadAll(path);
    if (!found) continue;  // released meanwhile
    const auto fields = Fields(*found);
    if (!IsLeftBehind(fields)) {
      Said = "složku " + Directory + " používá jiná stanice (" + Holder(fields) +
             "); neběží-li už, smažte " + path;
      return TResult::Held;
    }
    // Moved aside under a name of this process's own, and removed only when it
    // is still the lock judged left behind: another station may have taken the
    // folder in the meantime, and gets its lock back.
    const std::string aside = Directory + ".corvalet.lock-left-" + pid;
    if (rename(path.c_str(), aside.c_str()) != 0) continue;
    if (ReadAll(aside) == found)
      TakenOver = Holder(fields);
    else
      link(aside.c_str(), path.c_str());
    unlink(aside.c_str());
  }
  Said = "zámek " + path + " nelze převzít";
  return TResult::Held;
}

void TFolderLock::Release() {
  if (FDirectory.empty()) return;
  const std::string path = FDirectory + FileName;
  // A lock file that is no longer this lock's stays.
  if (ReadAll(path) == FContent) unlink(path.c_str());
  FDirectory.clear();
  FContent.clear();
}
