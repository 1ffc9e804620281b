#pragma once

// Other programs run by tests (gphoto2, the emulator, the program itself, an X
// server) through posix_spawn: ThreadSanitizer refuses a process's new threads
// after QProcess's way of starting a child.

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <vector>

namespace ChildProcess {

struct TRun {
  bool Finished = false;
  int ExitCode = -1;
  QString Output;
};

// Starts Program (looked up on PATH) in Dir with HOME=Dir (and the XDG
// configuration and state folders under it), English messages and
// Environment ("NAME=value", overriding), its standard output and error into
// Log; 0 when it could not start.
pid_t Spawn(const QString& Program, const QStringList& Args, const QString& Dir, const QString& Log,
            const QStringList& Environment = {});

// Waits up to LimitMs for Pid to end, then kills it; Output is Log's text.
TRun Finish(pid_t Pid, const QString& Log, int LimitMs);

QString ReadText(const QString& Path);

// Kills and reaps whatever it still holds when it goes: no child outlives a test.
struct TReaper {
  std::vector<pid_t> Pids;
  pid_t Keep(pid_t Pid) {
    if (Pid > 0) Pids.push_back(Pid);
    return Pid;
  }
  ~TReaper();
};

}  // namespace ChildProcess
