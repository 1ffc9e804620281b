// Ending the program while the camera is busy: photos on their way, transfer
// messages queued, a step in progress. Each round is a fresh process built
// like the program (this executable started again with --round N) that ends
// either by closing the main window or by "Konec", at a moment that moves
// from round to round. Every round must exit with code 0, in time, and leave
// only whole photos behind; the sanitizer build also checks that no released
// object is touched on the way out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Ovl_1.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Sleep.h"
#include "sdk/sim/SimRig.h"
#include "session/Koordinator.h"
#include "tests/support/RigStation.h"

extern char** environ;

using namespace Station;

namespace {

// Rounds of each way out; fewer under the sanitizers, whose processes start slowly.
constexpr int RoundsPerWay = Sanitized ? 15 : 25;
constexpr int ChildFailed = 3;

std::vector<std::string> ChildFailures;

#define CHILD_CHECK(Condition)                                                             \
  do {                                                                                     \
    if (!(Condition)) ChildFailures.push_back(std::to_string(__LINE__) + ": " #Condition); \
  } while (false)

void ClickButton(const char* Name) {
  auto* button = Form1->findChild<TSpeedButton*>(Name);
  CHILD_CHECK(button != nullptr);
  if (button != nullptr) QTest::mouseClick(button, Qt::LeftButton);
}

// How round Round ends: the way out, transfers let through before the end,
// single shots pressed then, and whether the end comes from inside
// a scan step's own message processing.
struct TRound {
  bool Konec = false;
  int SingleShots = 0;
  int StepsFirst = 0;
  bool InsideAStep = false;
  // The camera is slow: the last photo shot is still on its way at the end.
  bool PhotoOnItsWay = false;
};

// What the end met, printed by the round for the parent to add up.
struct TLoad {
  unsigned Queued = 0;    // transfer messages waiting in the queue
  unsigned OnItsWay = 0;  // photos shot and not yet announced
  bool InsideAStep = false;
};
TLoad Load;
unsigned Taken = 0;
int HookDepth = 0;

TRound RoundPlan(int Round) {
  TRound plan;
  plan.Konec = Round % 2 == 1;
  const int n = Round / 2;
  plan.SingleShots = n % 3;
  // Up to 15: the scan's last photo is still to come.
  plan.StepsFirst = (n * 7) % 16;
  plan.InsideAStep = n % 4 >= 2;
  plan.PhotoOnItsWay = n % 5 == 4;
  // A slow camera takes long over many steps.
  if (plan.PhotoOnItsWay) plan.StepsFirst = n % 3;
  return plan;
}

void EndTheProgram(const TRound& Plan) {
  const TSimStatistics stats = SimStatistics();
  Load.Queued = stats.PhotosDelivered - Taken;
  Load.OnItsWay = stats.ShotsAccepted - stats.PhotosDelivered;
  Load.InsideAStep = HookDepth > 0;
  // The operator brings the main window back, then leaves.
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  if (Plan.Konec)
    ClickButton("SpeedButton11");
  else
    Form1->close();
}

void Scenario(const TRound& Plan) {
  ClickButton("SpeedButton1");
  CHILD_CHECK(Koordinator->Connected);
  ClickButton("SpeedButton10");
  CHILD_CHECK(Stomper->Running);
  QElapsedTimer timer;
  timer.start();
  while (Stomper->Step <= Plan.StepsFirst && timer.elapsed() < Patience.count()) {
    Application->ProcessMessages();
    QThread::usleep(200);
  }
  // More photos: the operator brings the main window back and presses "Jeden".
  QTest::mouseClick(Form2->Image1, Qt::LeftButton);
  for (int shot = 0; shot < Plan.SingleShots; ++shot) ClickButton("SpeedButton2");
  // Load: the photos shot so far are announced and their messages wait.
  const unsigned shot = SimStatistics().ShotsAccepted;
  CHILD_CHECK(WaitForDeliveries(Plan.PhotoOnItsWay ? shot - 1 : shot));
  if (Plan.InsideAStep) {
    // Queued behind the transfers: runs inside the step that the first starts.
    QTimer::singleShot(0, [Plan] { EndTheProgram(Plan); });
    Application->ProcessMessages();
  } else {
    EndTheProgram(Plan);
  }
  CHILD_CHECK(Application->Terminated());
}

int RunRound(int Round, int& Argc, char** Argv) {
  const TRound plan = RoundPlan(Round);
  SimConfigure("cameras=1,size=160x120,latency=" + std::string(plan.PhotoOnItsWay ? "40" : "0") +
               ",seed=" + std::to_string(Round + 1));
  SetSleepFunction([](std::uint32_t) {});
  const fs::path dir = MakeTempDirectory("corvalet-end");
  const TRemoveAtEnd cleanup{{dir}};
  int code = -1;
  {
    TApplication application(Argc, Argv);
    BuildWindowSet();
    Koordinator->OutputDirectory = dir.string() + "/";
    // Counts what the program's hook takes, and whether it is inside it.
    TApplication::TMessageHook hook = application.SetMessageHook({});
    application.SetMessageHook([hook](TMsg& Msg, bool& Handled) {
      if (Msg.message == CameraTransferMessage) ++Taken;
      ++HookDepth;
      hook(Msg, Handled);
      --HookDepth;
    });
    QTimer::singleShot(0, [plan] { Scenario(plan); });
    code = application.Run();
    CHILD_CHECK(code == 0);
    if (plan.Konec) {
      // No close handler ran: the coordinator is released with the window.
      CHILD_CHECK(Koordinator != nullptr && MatGen != nullptr);
    } else {
      CHILD_CHECK(Koordinator == nullptr && MatGen == nullptr);
      CHILD_CHECK(!SimCameraState(0).SessionOpen);
    }
    // Whatever was written is a whole photo, exactly as the camera sent it; the
    // lock of a scan still running is held while the windows are.
    for (const std::string& name : FilesIn(dir)) {
      if (name == "corvalet.lock") continue;
      const std::string bytes = ReadFile(dir / name);
      const auto sent = SimPhoto(name);
      CHILD_CHECK(sent.has_value() && sent->Size == bytes.size() &&
                  sent->Digest == SimDigest(bytes));
      CHILD_CHECK(
          !QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), int(bytes.size()), "JPEG")
               .isNull());
    }
  }
  // It goes with the coordinator.
  CHILD_CHECK(!fs::exists(dir / "corvalet.lock"));
  std::printf("LOAD %u %u %d\n", Load.Queued, Load.OnItsWay, int(Load.InsideAStep));
  for (const std::string& failure : ChildFailures)
    std::fprintf(stderr, "round %d: check failed at line %s\n", Round, failure.c_str());
  return ChildFailures.empty() ? code : ChildFailed;
}

std::string SelfPath() {
  return fs::read_symlink("/proc/self/exe").string();
}

struct TOutcome {
  bool Finished = false;
  int Status = 0;
  std::string Output;
};

// Runs this executable for one round; a round that outlives Patience is killed.
TOutcome RunChild(int Round) {
  TOutcome outcome;
  const std::string self = SelfPath();
  const std::string round = std::to_string(Round);
  const fs::path log = fs::temp_directory_path() /
                       ("corvalet-end-" + std::to_string(getpid()) + "-" + round + ".log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>("--round"),
                             const_cast<char*>(round.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    outcome.Output = std::string("posix_spawn: ") + std::strerror(spawned);
    return outcome;
  }
  QElapsedTimer timer;
  timer.start();
  while (true) {
    const pid_t done = waitpid(pid, &outcome.Status, WNOHANG);
    if (done == pid) {
      outcome.Finished = true;
      break;
    }
    if (timer.elapsed() > Patience.count()) {
      kill(pid, SIGKILL);
      waitpid(pid, &outcome.Status, 0);
      break;
    }
    QThread::msleep(5);
  }
  outcome.Output = ReadFile(log);
  fs::remove(log);
  return outcome;
}

TEST(ShutdownUnderLoad, EveryRoundExitsCleanly) {
  int rounds = 0;
  int clean = 0;
  TLoad total;
  int insideAStep = 0;
  for (int round = 0; round < 2 * RoundsPerWay; ++round) {
    const TRound plan = RoundPlan(round);
    SCOPED_TRACE("round " + std::to_string(round) + (plan.Konec ? ", Konec" : ", close") + ", " +
                 std::to_string(plan.SingleShots) + " single shots, after " +
                 std::to_string(plan.StepsFirst) + " steps" +
                 (plan.InsideAStep ? ", from inside a step" : ""));
    const TOutcome outcome = RunChild(round);
    ++rounds;
    ASSERT_TRUE(outcome.Finished) << "did not exit in time\n" << outcome.Output;
    EXPECT_TRUE(WIFEXITED(outcome.Status)) << "ended by signal " << WTERMSIG(outcome.Status) << "\n"
                                           << outcome.Output;
    EXPECT_EQ(WEXITSTATUS(outcome.Status), 0) << outcome.Output;
    clean += WIFEXITED(outcome.Status) && WEXITSTATUS(outcome.Status) == 0;
    unsigned queued = 0, onItsWay = 0;
    int inside = 0;
    const auto at = outcome.Output.find("LOAD ");
    ASSERT_NE(at, std::string::npos) << outcome.Output;
    ASSERT_EQ(
        std::sscanf(outcome.Output.c_str() + at, "LOAD %u %u %d", &queued, &onItsWay, &inside), 3);
    total.Queued += queued;
    total.OnItsWay += onItsWay;
    insideAStep += inside;
  }
  std::printf(
      "shutdown rounds: %d, clean exits: %d; at the end %u transfer messages were queued "
      "and %u photos on their way in all, %d ends came from inside a scan step\n",
      rounds, clean, total.Queued, total.OnItsWay, insideAStep);
  // The rounds met the load they are meant to meet.
  EXPECT_GE(total.Queued, unsigned(RoundsPerWay));
  EXPECT_GT(total.OnItsWay, 0u);
  EXPECT_GT(insideAStep, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--round") == 0) {
    int one = 1;
    return RunRound(std::atoi(argv[2]), one, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
