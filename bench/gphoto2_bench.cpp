// Per photo, shutter to file on disk through the libgphoto2 backend against the
// reference client (the gphoto2 command taking several frames in one session),
// on the same PTP/IP camera emulator with the same photo size. Each photo is
// timed by the emulator, the same way for both clients: from its answer to
// InitiateCapture to its answer to DeleteObject, which both clients send only
// once the file is written. (The command takes one frame a second at most:
// with --interval 0 it takes one frame only. The pause falls between cycles.)

#include <stdlib.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Application.h"
#include "platform/Widgets.h"
#include "sdk/choice/CameraChoice.h"
#include "sdk/ptpip/PtpIpCamera.h"
#include "session/Koordinator.h"

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

namespace {

// The times of the emulator's answers to InitiateCapture and DeleteObject.
struct TCycleClock {
  std::mutex Lock;
  std::vector<TClock::time_point> Captures, Deletes;

  void Heard(const QString& Line) {
    const auto now = TClock::now();
    std::lock_guard guard(Lock);
    if (Line.startsWith("operation 0x100e")) Captures.push_back(now);
    if (Line.startsWith("operation 0x100b")) Deletes.push_back(now);
  }
  void Clear() {
    std::lock_guard guard(Lock);
    Captures.clear();
    Deletes.clear();
  }
  std::vector<double> CyclesMs() {
    std::lock_guard guard(Lock);
    std::vector<double> cycles;
    for (std::size_t i = 0; i < std::min(Captures.size(), Deletes.size()); ++i)
      cycles.push_back(std::chrono::duration<double, std::milli>(Deletes[i] - Captures[i]).count());
    return cycles;
  }
};

double Median(std::vector<double> Values) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const std::size_t mid = Values.size() / 2;
  return Values.size() % 2 ? Values[mid] : (Values[mid - 1] + Values[mid]) / 2;
}

bool RunUntil(const std::function<bool()>& Done, qint64 Milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (!Done() && timer.elapsed() < Milliseconds) {
    Application->ProcessMessages();
    QThread::usleep(200);
  }
  return Done();
}

// The backend's cycles: the coordinator shoots, and saves each photo as the program does.
std::vector<double> BackendCycles(std::uint16_t Port, int Frames, const fs::path& Dir,
                                  TCycleClock& Clock) {
  std::string error;
  ApplyCameraChoice(*ParseCameraChoice("ptpip:127.0.0.1:" + std::to_string(Port), error));
  TForm window;
  TMemo memo(&window, "Memo1", QRect(0, 0, 385, 345));
  TKoordinator coordinator(&memo);
  coordinator.OutputDirectory = Dir.string() + "/";
  int saved = 0;
  Application->SetMessageHook([&](TMsg& Msg, bool& Handled) {
    if (Msg.message != CameraTransferMessage) return;
    Handled = true;
    if (coordinator.SaveTransferredImage(Msg) == TTransfer::Saved) ++saved;
  });
  std::vector<double> cycles;
  if (coordinator.Connect(window.Handle())) {
    Clock.Clear();
    for (int frame = 1; frame <= Frames; ++frame)
      if (coordinator.Shoot() != TShot::Taken || !RunUntil([&] { return saved == frame; }, 30000)) break;
    // The deletion's answer follows the saved photo.
    RunUntil([&] { return Clock.CyclesMs().size() >= std::size_t(saved); }, 5000);
    cycles = Clock.CyclesMs();
  }
  coordinator.Disconnect();
  Application->SetMessageHook({});
  return cycles;
}

std::vector<double> ReferenceCycles(std::uint16_t Port, int Frames, const fs::path& Dir,
                                    const fs::path& Home, TCycleClock& Clock) {
  Clock.Clear();
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("HOME", QString::fromStdString(Home.string()));
  process.setProcessEnvironment(environment);
  const QString port = QString::number(Port);
  process.start("gphoto2", {"--port", "ptpip:127.0.0.1:" + port + ":" + port,
                            "--capture-image-and-download", "--frames", QString::number(Frames),
                            "--interval", "1", "--no-keep", "--force-overwrite", "--filename",
                            QString::fromStdString((Dir / "ref_%n.jpg").string())});
  if (!process.waitForFinished(120000)) process.kill();
  process.waitForFinished(5000);
  if (process.exitCode() != 0)
    std::fprintf(stderr, "gphoto2: %s\n", process.readAllStandardError().constData());
  return Clock.CyclesMs();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string pattern = (fs::temp_directory_path() / "corvalet-gphoto2-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path root = pattern;
  fs::create_directories(root / "home");
  setenv("HOME", (root / "home").c_str(), 1);
  TApplication application(argc, argv);

  struct TCase {
    const char* Name;
    std::int64_t Bytes;
    int Rounds, Frames;  // frames per round
  };
  bool ok = true;
  for (const TCase& size : {TCase{"2 MB", 2'000'000, 4, 5}, TCase{"20 MB", 20'000'000, 3, 3}}) {
    TCycleClock clock;
    TPtpIpCameraOptions options;
    options.PhotoBytes = size.Bytes;
    options.Verbose = true;
    options.LifetimeSeconds = 600;
    options.Log = [&clock](const QString& Line) { clock.Heard(Line); };
    TPtpIpCamera camera(options);
    const std::uint16_t port = camera.Start();
    if (port == 0) return 1;
    const fs::path dir = root / size.Name;
    fs::create_directories(dir);
    // Rounds take turns, so that a change in the machine's load falls on both clients.
    std::vector<double> backend, reference;
    for (int round = 0; round < size.Rounds; ++round) {
      const auto ours = BackendCycles(port, size.Frames, dir, clock);
      const auto theirs = ReferenceCycles(port, size.Frames, dir, root / "home", clock);
      backend.insert(backend.end(), ours.begin(), ours.end());
      reference.insert(reference.end(), theirs.begin(), theirs.end());
    }
    const double ratio = Median(backend) / Median(reference);
    std::printf(
        "%-6s photos: backend median %7.1f ms (%zu photos), gphoto2 median %7.1f ms (%zu "
        "photos), ratio %.2f\n",
        size.Name, Median(backend), backend.size(), Median(reference), reference.size(), ratio);
    const std::size_t expected = std::size_t(size.Rounds * size.Frames);
    ok = ok && backend.size() == expected && reference.size() == expected;
  }
  fs::remove_all(root);
  return ok ? 0 : 1;
}
