#pragma once

#include <string>

// The lock file that keeps a second station out of an output folder while one
// scans into it and writes the scan's index: "corvalet.lock" in the folder,
// holding the holder's host name, process id, the process's start (so that a
// process id used again is told apart) and the time the lock was taken.
class TFolderLock {
 public:
  TFolderLock() = default;
  // Releases the lock.
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

  enum class TResult {
    Taken,
    // Another station holds the folder: Said names it, and the lock file.
    Held,
    // The lock file cannot be made: Said names it and the reason.
    Failed,
  };
  // Takes the lock of Directory (ends in "/"), releasing one held before. A
  // lock left by a process of this host that has ended is taken over; TakenOver
  // then names whose it was.
  TResult Take(const std::string& Directory, std::string& Said, std::string& TakenOver);
  // Removes the lock file, if it is still the one this lock wrote.
  void Release();
  // The folder held, ends in "/"; empty when none.
  const std::string& Directory() const { return FDirectory; }

  static constexpr char FileName[] = "corvalet.lock";

 private:
  std::string FDirectory;
  // What this lock wrote into the file.
  std::string FContent;
};
