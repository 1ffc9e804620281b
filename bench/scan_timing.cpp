// A full scan through the real "Snímání" button with the simulated camera at
// zero shutter latency, timed against its fixed waits (17 x 300 ms + 600 ms).
// With --ptpip the camera is the PTP/IP camera emulator in this process,
// driven through the libgphoto2 backend; the budget is then the fixed waits
// plus the emulator's own rendering (its answer to InitiateCapture to its
// photo being ready).
// The program is not instrumented: the phases are read from the outside, at
// the paint events of the projection image, the waits, the log lines, the
// transfer messages and the showing of the main window.
// Then the serial order and downloads in the gaps compared with 10 MB photos
// (bench/scan_orders.cpp); --benchmark_filter=none runs only that.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Ovl_1.h"
#include "bench/scan_orders.h"
#include "check/LiveCheck.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Sleep.h"
#include "sdk/choice/CameraChoice.h"
#include "sdk/ptpip/PtpIpCamera.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/Station.h"

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

namespace {

enum class TMark { ClickBegin, PaintBegin, PaintEnd, WaitBegin, WaitEnd, Log, HookBegin, Shown };

struct TEvent {
  TMark Mark;
  TClock::time_point At;
  std::string Text;  // the message of a log line
};

std::vector<TEvent> Events;
QEventLoop* ScanLoop = nullptr;

void Record(TMark Mark, std::string Text = {}) {
  Events.push_back({Mark, TClock::now(), std::move(Text)});
}

// Times the projection image's paint events and notices the main window coming back.
class TTimedApplication : public TApplication {
 public:
  using TApplication::TApplication;

  bool notify(QObject* Receiver, QEvent* Event) override {
    const bool paint =
        Form2 != nullptr && Receiver == Form2->Image1 && Event->type() == QEvent::Paint;
    if (paint) Record(TMark::PaintBegin);
    const bool result = TApplication::notify(Receiver, Event);
    if (paint) Record(TMark::PaintEnd);
    if (Receiver == Form1 && Event->type() == QEvent::Show && ScanLoop != nullptr) {
      Record(TMark::Shown);
      ScanLoop->quit();
    }
    return result;
  }
};

double Ms(TClock::duration Duration) {
  return std::chrono::duration<double, std::milli>(Duration).count();
}

// The emulator's own rendering time, summed over the shots since the last Take().
class TEmulatorRendering {
 public:
  void Heard(const QString& Line) {
    const auto now = TClock::now();
    std::lock_guard guard(Lock);
    if (Line.startsWith("operation 0x100e")) Shutter = now;
    if (Line.startsWith("photo ")) Sum += Ms(now - Shutter);
  }
  double Take() {
    std::lock_guard guard(Lock);
    return std::exchange(Sum, 0.0);
  }

 private:
  std::mutex Lock;
  TClock::time_point Shutter;
  double Sum = 0;
};

TEmulatorRendering* Emulator = nullptr;  // set with --ptpip

// The phases of one scan, in milliseconds.
struct TPhases {
  double Start = 0;     // click to "Snímání začalo ..." and the step set-up
  double Draw = 0;      // painting the pattern into the bitmap
  double Repaint = 0;   // the projection image's paint events
  double Process = 0;   // the rest of processing pending messages
  double Waits = 0;     // the fixed waits
  double Shutter = 0;   // shutter command and the step's log line
  double Camera = 0;    // shutter to transfer message: the rig's rendering, encoding and delivery
  double Download = 0;  // transfer message to "snímek uložen"
  double Finish = 0;    // after the last wait: index file and main window
  double Total = 0;
  double Rendering = 0;  // the emulator's own rendering, within Camera
};

TPhases Analyse() {
  TPhases phases;
  TClock::time_point mark = Events.front().At;  // end of the previous phase
  bool inStep = false;                          // between the start of a step and its first paint
  for (const TEvent& event : Events) {
    const double since = Ms(event.At - mark);
    switch (event.Mark) {
      case TMark::ClickBegin:
        break;
      case TMark::PaintBegin:
      case TMark::WaitBegin:
        if (inStep)
          phases.Draw += since;
        else
          phases.Process += since;
        inStep = false;
        break;
      case TMark::PaintEnd:
        phases.Repaint += since;
        break;
      case TMark::WaitEnd:
        phases.Waits += since;
        break;
      case TMark::Log:
        if (event.Text == "Snímání začalo ...") {
          phases.Start += since;
          inStep = true;
        } else if (event.Text.rfind("step_", 0) == 0) {
          phases.Shutter += since;
        } else if (event.Text.rfind("snímek uložen", 0) == 0) {
          phases.Download += since;
          inStep = true;
        } else if (event.Text == "Snímání ukončeno ...") {
          phases.Finish += since;
          inStep = false;
        }
        break;
      case TMark::HookBegin:
        phases.Camera += since;
        break;
      case TMark::Shown:
        phases.Finish += since;
        break;
    }
    mark = event.At;
  }
  phases.Total = Ms(Events.back().At - Events.front().At);
  return phases;
}

void PrintPhases(const char* Title, const TPhases& Phases) {
  const double fixed = 17 * 300 + 600;
  std::printf("\n%s\n", Title);
  const std::pair<const char*, double> rows[] = {
      {"start (click, log, set-up)", Phases.Start},
      {"paint patterns into bitmap", Phases.Draw},
      {"repaint projection image", Phases.Repaint},
      {"other pending messages", Phases.Process},
      {"fixed waits", Phases.Waits},
      {"shutter command + step log", Phases.Shutter},
      {"camera: render, encode, deliver", Phases.Camera},
      {"download (SaveTransferredImage)", Phases.Download},
      {"index file + main window", Phases.Finish}};
  double sum = 0;
  for (const auto& [name, ms] : rows) {
    std::printf("  %-34s %9.1f ms\n", name, ms);
    sum += ms;
  }
  std::printf("  %-34s %9.1f ms (phases add up to %.1f)\n", "total", Phases.Total, sum);
  if (Emulator) {
    const double budget = fixed + Phases.Rendering;
    std::printf(
        "  fixed waits %.0f ms; emulator rendering %.1f ms; total / (waits + rendering) = "
        "%.3f\n",
        fixed, Phases.Rendering, Phases.Total / budget);
    return;
  }
  const double budget = fixed + Phases.Camera;
  std::printf("  fixed waits %.0f ms; rig %.1f ms; over waits + rig: %.1f ms = %.2f %%\n", fixed,
              Phases.Camera, Phases.Total - budget, 100.0 * (Phases.Total - budget) / budget);
}

std::atomic<bool> CheckDone{false};

TPhases RunScan() {
  const fs::path directory = Station::MakeTempDirectory("corvalet-timing");
  Koordinator->OutputDirectory = directory.string() + "/";
  Events.clear();
  Form1->show();
  Application->ProcessMessages();

  if (Emulator) Emulator->Take();
  QEventLoop loop;
  ScanLoop = &loop;
  Record(TMark::ClickBegin);
  Station::Click("SpeedButton10");
  if (!Form1->isVisible()) loop.exec();
  ScanLoop = nullptr;
  if (Koordinator->CapturedFiles.size() != 0 || !fs::exists(directory / "corvalet.sbf")) {
    std::fprintf(stderr, "the scan did not complete\n");
    std::abort();
  }
  // The check's report lands in the folder after the scan; wait for it before removing it.
  for (int i = 0; i < 1000 && Stomper->Check && !CheckDone; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  CheckDone = false;
  fs::remove_all(directory);
  TPhases phases = Analyse();
  if (Emulator) phases.Rendering = Emulator->Take();
  return phases;
}

TPhases Sum;
int Scans = 0;

void BM_FullScan(benchmark::State& State) {
  for (auto _ : State) {
    const TPhases phases = RunScan();
    State.SetIterationTime(phases.Total / 1000.0);
    Sum.Start += phases.Start;
    Sum.Draw += phases.Draw;
    Sum.Repaint += phases.Repaint;
    Sum.Process += phases.Process;
    Sum.Waits += phases.Waits;
    Sum.Shutter += phases.Shutter;
    Sum.Camera += phases.Camera;
    Sum.Download += phases.Download;
    Sum.Finish += phases.Finish;
    Sum.Total += phases.Total;
    Sum.Rendering += phases.Rendering;
    ++Scans;
  }
  // Means per scan; "own" is what the program spends beyond the waits and the rig.
  State.counters["waits_ms"] = Sum.Waits / Scans;
  State.counters["rig_ms"] = Sum.Camera / Scans;
  State.counters["own_ms"] = (Sum.Total - Sum.Waits - Sum.Camera) / Scans;
}
BENCHMARK(BM_FullScan)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same scan with the live check decoding each photo as it lands.
void BM_FullScanChecked(benchmark::State& State) {
  TScanCheck check([](const std::string&, const std::string& Line) {
    std::printf("  %s\n", Line.c_str());
    CheckDone = true;
  });
  Stomper->Check = &check;
  double total = 0;
  int scans = 0;
  for (auto _ : State) {
    const TPhases phases = RunScan();
    State.SetIterationTime(phases.Total / 1000.0);
    total += phases.Total;
    ++scans;
  }
  Stomper->Check = nullptr;
  State.counters["total_ms"] = total / scans;
}
BENCHMARK(BM_FullScanChecked)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Headless unless told otherwise.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const bool ptpip = argc > 1 && std::strcmp(argv[argc - 1], "--ptpip") == 0;
  if (ptpip) --argc;
  std::string home;
  if (ptpip) {
    std::signal(SIGPIPE, SIG_IGN);
    // libgphoto2 keeps its PTP/IP identity under $HOME/.gphoto.
    home = Station::MakeTempDirectory("corvalet-timing-home").string();
    setenv("HOME", home.c_str(), 1);
  }
  TTimedApplication application(argc, argv);
  Station::BuildWindowSet();
  SimConfigure("cameras=1,latency=0");
  TEmulatorRendering rendering;
  std::unique_ptr<TPtpIpCamera> camera;
  if (ptpip) {
    Emulator = &rendering;
    TPtpIpCameraOptions options;
    options.Verbose = true;
    options.LifetimeSeconds = 600;
    options.Log = [](const QString& Line) { Emulator->Heard(Line); };
    camera = std::make_unique<TPtpIpCamera>(options);
    const std::uint16_t port = camera->Start();
    std::string error;
    if (port == 0) return 1;
    ApplyCameraChoice(*ParseCameraChoice("ptpip:127.0.0.1:" + std::to_string(port), error));
  }

  // Real waits, timed.
  SetSleepFunction([](std::uint32_t Milliseconds) {
    Record(TMark::WaitBegin);
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
    Record(TMark::WaitEnd);
  });
  QObject::connect(Form1->Memo1, &QPlainTextEdit::textChanged, [seen = 0]() mutable {
    const TMemoLines& lines = Form1->Memo1->Lines();
    if (lines.Count() > seen) {
      Record(TMark::Log, Station::MessageOf(lines.Strings(lines.Count() - 1)));
    }
    seen = lines.Count();
  });
  TApplication::TMessageHook hook = application.SetMessageHook({});
  application.SetMessageHook([hook](TMsg& Msg, bool& Handled) {
    if (Msg.message == CameraTransferMessage && ScanLoop != nullptr) Record(TMark::HookBegin);
    hook(Msg, Handled);
  });

  Form1->SpeedButton1Click();
  if (!Koordinator->Connected) {
    std::fprintf(stderr, "the camera did not connect\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const bool met = CompareScanOrders(ptpip);

  if (Scans > 0) {
    TPhases mean = Sum;
    for (double* value :
         {&mean.Start, &mean.Draw, &mean.Repaint, &mean.Process, &mean.Waits, &mean.Shutter,
          &mean.Camera, &mean.Download, &mean.Finish, &mean.Total, &mean.Rendering})
      *value /= Scans;
    PrintPhases(("Mean of " + std::to_string(Scans) + " full scans").c_str(), mean);
  }
  Koordinator->Disconnect();
  if (!home.empty()) fs::remove_all(home);
  return met ? 0 : 1;
}
