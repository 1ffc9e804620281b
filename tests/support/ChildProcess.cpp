#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <string>

extern char** environ;

namespace ChildProcess {

pid_t Spawn(const QString& Program, const QStringList& Args, const QString& Dir, const QString& Log,
            const QStringList& Environment) {
  std::vector<std::string> words{Program.toStdString()};
  for (const QString& a : Args) words.push_back(a.toStdString());
  // The user's own configuration and state stay out of reach whatever the caller's environment.
  QStringList settings = {QStringLiteral("HOME=") + Dir,
                          QStringLiteral("XDG_CONFIG_HOME=") + Dir + "/.config",
                          QStringLiteral("XDG_STATE_HOME=") + Dir + "/.local/state",
                          QStringLiteral("LANG=C"), QStringLiteral("LC_ALL=C")};
  settings += Environment;
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    const QString v = QString::fromLocal8Bit(*e);
    bool replaced = false;
    for (const QString& s : settings) replaced = replaced || v.section(QLatin1Char('='), 0, 0) == s.section(QLatin1Char('='), 0, 0);
    if (!replaced) variables.push_back(*e);
  }
  for (const QString& s : settings) variables.push_back(s.toStdString());
  std::vector<char*> argv, envp;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  const std::string dir = Dir.toStdString(), log = Log.toStdString();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed ? 0 : pid;
}

TRun Finish(pid_t Pid, const QString& Log, int LimitMs) {
  TRun run;
  if (Pid <= 0) return run;
  int status = 0;
  QElapsedTimer timer;
  timer.start();
  while (!(run.Finished = ::waitpid(Pid, &status, WNOHANG) == Pid) && timer.elapsed() < LimitMs)
    QThread::msleep(20);
  if (!run.Finished) {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, &status, 0);
  }
  run.ExitCode = run.Finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.Output = ReadText(Log);
  return run;
}

QString ReadText(const QString& Path) {
  QFile file(Path);
  return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

TReaper::~TReaper() {
  for (pid_t pid : Pids) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != 0) continue;  // already reaped or gone
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
}

}  // namespace ChildProcess
