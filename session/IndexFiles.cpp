#include "session/IndexFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Paths.h"

namespace {

// A file of a scan, as name stem and extension.
struct TScanFile {
  const char* Stem;
  const char* Extension;
};
constexpr TScanFile IndexFile{"corvalet", ".sbf"};
constexpr TScanFile CheckFiles[] = {
    {"corvalet-check", ".txt"}, {"corvalet-check", ".png"}, {"corvalet-points", ".csv"}};
// The new index before it takes the name; the copy of an earlier one before it takes its time.
constexpr char NewIndex[] = ".corvalet.sbf.new";
constexpr char KeptCopy[] = ".corvalet.sbf.kept";

std::string Named(const TScanFile& File, const std::string& Stamp) {
  return std::string(File.Stem) + (Stamp.empty() ? "" : "-" + Stamp) + File.Extension;
}

// Renames without ever replacing a file at To; errno tells why not.
bool RenameNoReplace(const std::string& From, const std::string& To) {
  if (renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: the look first is the best left.
  if (PathTaken(To)) {
    errno = EEXIST;
    return false;
  }
  return std::rename(From.c_str(), To.c_str()) == 0;
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

std::string ReadAll(const std::string& Path) {
  std::ifstream file(Path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The same file under two names (a link), or a whole copy of it.
bool SameFile(const std::string& A, const std::string& B) {
  struct stat a {
  }, b{};
  if (stat(A.c_str(), &a) != 0 || stat(B.c_str(), &b) != 0) return false;
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  return a.st_size == b.st_size && ReadAll(A) == ReadAll(B);
}

bool WriteAll(int File, const std::string& Bytes) {
  std::size_t written = 0;
  while (written < Bytes.size()) {
    const ssize_t count = write(File, Bytes.data() + written, Bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count == 0) errno = EIO;
    if (count <= 0) return false;
    written += std::size_t(count);
  }
  return true;
}

// Bytes into File, synced to the disk, and File closed; false with errno set when not.
bool WriteSynced(int File, const std::string& Bytes) {
  const bool written = WriteAll(File, Bytes) && fsync(File) == 0;
  const int error = errno;
  close(File);
  errno = error;
  return written;
}

int Create(const std::string& Path) {
  return open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// A second name for the file at From: a hard link, else a copy with its times.
bool KeepUnder(const std::string& Directory, const std::string& From, const std::string& To) {
  if (link(From.c_str(), To.c_str()) == 0) return true;
  if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) return false;
  const std::string copy = Directory + KeptCopy;
  struct stat info {};
  if (stat(From.c_str(), &info) != 0) return false;
  const int file = Create(copy);
  if (file < 0) return false;
  if (!WriteSynced(file, ReadAll(From))) {
    const int error = errno;
    unlink(copy.c_str());
    errno = error;
    return false;
  }
  const timespec times[2] = {info.st_atim, info.st_mtim};
  utimensat(AT_FDCWD, copy.c_str(), times, 0);
  if (RenameNoReplace(copy, To)) return true;
  const int error = errno;
  unlink(copy.c_str());
  errno = error;
  return false;
}

// A time for File at Path: its scan time, with "_2", "_3", ... after it when
// that is taken by another scan's files. With TakenByItself, a time under
// which this very file is kept already is taken again, so that a write that
// stopped is completed.
std::string StampFor(const std::string& Directory, const std::string& Path, const TScanFile& File,
                     bool TakenByItself) {
  const std::string time = ScanTimeStamp(Path);
  std::string stamp = time;
  for (int n = 2; n <= 9999; ++n) {
    const std::string kept = Directory + Named(File, stamp);
    if (TakenByItself && SameFile(Path, kept)) return stamp;
    bool free = !PathTaken(kept) && !PathTaken(Directory + Named(IndexFile, stamp));
    for (const TScanFile& file : CheckFiles) free = free && !PathTaken(Directory + Named(file, stamp));
    if (free) return stamp;
    stamp = time + "_" + std::to_string(n);
  }
  return stamp;
}

[[noreturn]] void Fail(const std::string& What, const std::string& NewPath) {
  const std::string reason = std::strerror(errno);
  unlink(NewPath.c_str());
  throw std::runtime_error(What + " " + reason);
}

}  // namespace

TPutIndex PutScanIndex(const std::string& Directory, const std::string& Text,
                       const TIndexStep& Step) {
  const std::string index = Directory + Named(IndexFile, "");
  const std::string fresh = Directory + NewIndex;
  TPutIndex put;

  Step("write the new index");
  // A temporary file left by a write that stopped is written over: the lock keeps others out.
  const int file = Create(fresh);
  if (file < 0)
    throw std::runtime_error("Cannot create file \"" + index + "\". " + std::strerror(errno));
  if (!WriteSynced(file, Text)) Fail("Stream write error: \"" + index + "\".", fresh);

  std::error_code error;
  const auto type = std::filesystem::symlink_status(index, error).type();
  // A directory of that name is no index; the rename onto it fails below.
  if (type == std::filesystem::file_type::regular || type == std::filesystem::file_type::symlink) {
    const std::string stamp = StampFor(Directory, index, IndexFile, true);
    put.Kept = Named(IndexFile, stamp);
    Step("keep the earlier index");
    if (!SameFile(index, Directory + put.Kept) &&
        !KeepUnder(Directory, index, Directory + put.Kept))
      Fail("Cannot rename file \"" + index + "\" to \"" + put.Kept + "\".", fresh);
    // The earlier scan's check files go with its index, before the new index takes the name.
    for (const TScanFile& checkFile : CheckFiles) {
      const std::string from = Directory + Named(checkFile, "");
      if (!PathTaken(from)) continue;
      Step("keep " + Named(checkFile, ""));
      if (!RenameNoReplace(from, Directory + Named(checkFile, stamp)))
        put.Notes.push_back("Soubor " + from + " nelze přejmenovat: " + std::strerror(errno));
    }
  } else {
    // Check files without their index (a write of an earlier version that stopped)
    // are kept together under the time of the first, not left to the new scan's check.
    std::string stamp;
    for (const TScanFile& checkFile : CheckFiles) {
      const std::string from = Directory + Named(checkFile, "");
      if (!PathTaken(from)) continue;
      if (stamp.empty()) stamp = StampFor(Directory, from, checkFile, false);
      const std::string to = Named(checkFile, stamp);
      Step("keep " + Named(checkFile, ""));
      if (RenameNoReplace(from, Directory + to))
        put.Notes.push_back("Soubor " + Named(checkFile, "") +
                            " bez seznamu snímků přejmenován na " + to);
      else
        put.Notes.push_back("Soubor " + from + " nelze přejmenovat: " + std::strerror(errno));
    }
  }

  Step("put the new index in place");
  if (std::rename(fresh.c_str(), index.c_str()) != 0)
    Fail("Cannot rename file \"" + fresh + "\" to \"" + index + "\".", fresh);
  // The new name on the disk too.
  if (const int folder = open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return put;
}
