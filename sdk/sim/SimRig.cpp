#include "sdk/sim/SimRig.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimRigState.h"
#include "sdk/sim/SimTruthFiles.h"

namespace SimRigDetail {
namespace {

// What a frame shows: nothing lit, mostly lit (the lit field), or a pattern of points.
enum class TFrameKind { Dark, Lit, Pattern };

TFrameKind KindOf(const QImage& Frame) {
  // Every third row whole: that sees a raster of points of any size. The brightest
  // channel of a pixel does not depend on their order.
  const bool threeBytes =
      Frame.format() == QImage::Format_RGB888 || Frame.format() == QImage::Format_BGR888;
  const QImage frame = threeBytes ? Frame : Frame.convertToFormat(QImage::Format_RGB888);
  long lit = 0, all = 0;
  for (int y = 0; y < frame.height(); y += 3) {
    const std::uint8_t* row = frame.constScanLine(y);
    for (int x = 0; x < frame.width(); ++x, ++all)
      lit += std::max({row[x * 3], row[x * 3 + 1], row[x * 3 + 2]}) >= 128;
  }
  if (lit == 0) return TFrameKind::Dark;
  return 2 * lit > all ? TFrameKind::Lit : TFrameKind::Pattern;
}

}  // namespace

TRig& Rig() {
  static TRig* rig = new TRig;
  return *rig;
}

EdsError TRig::Enter(std::string_view Function) {
  auto found = Calls.find(Function);
  if (found == Calls.end()) found = Calls.emplace(std::string(Function), 0).first;
  return Config.FailureFor(Function, ++found->second);
}

void TRig::ReadConfiguration() {
  if (OverrideText) {
    if (!ConfigChanged) return;
    Config = OverrideConfig.value_or(TSimConfig{});
  } else {
    const char* variable = std::getenv(SimEnvironmentVariable);
    const std::string text = variable ? variable : "";
    if (!ConfigChanged && text == EnvironmentText) return;
    EnvironmentText = text;
    std::string error;
    const auto parsed = ParseSimConfig(text, &error);
    if (!parsed) std::cerr << SimEnvironmentVariable << ": " << error << "; the defaults apply\n";
    Config = parsed.value_or(TSimConfig{});
  }
  ConfigChanged = false;
  InitializeCalls = 0;
}

void TRig::RememberPhoto(const std::string& FileName, const TSimPhoto& Photo) {
  // A name seen again replaces its record and keeps its place.
  if (!Delivered.insert_or_assign(FileName, Photo).second) return;
  DeliveredOrder.push_back(FileName);
  if (DeliveredOrder.size() > SimPhotosKept) {
    Delivered.erase(DeliveredOrder.front());
    DeliveredOrder.pop_front();
  }
}

std::string TRig::NextPhotoName() {
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%04u.JPG", NextPhotoNumber++);
  return name;
}

bool TRig::SeeFrame(const QImage& Frame) {
  // The operator moves the board after a scan, before its next dark field; only the
  // board and the truth need to know what the projector shows.
  const bool asked = Stage.Scene == TSimSceneKind::Board || !Config.TruthDir.empty();
  const TFrameKind kind = asked ? KindOf(Frame) : TFrameKind::Pattern;
  if (kind == TFrameKind::Dark && LitSincePose) {
    Stage.Pose = (Stage.Pose + 1) % SimBoardPoseCount();
    LitSincePose = false;
  }
  const bool allPoints = kind == TFrameKind::Pattern && LastWasLit;
  LitSincePose |= kind == TFrameKind::Lit;
  LastWasLit = kind == TFrameKind::Lit;
  return allPoints;
}

void WriteTruth(const TTask& Task) {
  std::string error;
  const bool frame = !Task.Frame.isNull();
  const bool written =
      Task.AllPoints ? SimRecordTruth(Task.TruthDir, Task.FileName, Task.Frame, Task.Width,
                                      Task.Height, Task.Optics, Task.Stage, &error)
                     : SimWriteRigTruth(Task.TruthDir,
                                        TSimGeometry(Task.Width, Task.Height,
                                                     frame ? Task.Frame.width() : SimFrameWidth,
                                                     frame ? Task.Frame.height() : SimFrameHeight,
                                                     Task.Optics.Zoom, Task.Stage),
                                        &error);
  if (!written) std::cerr << "simulated camera: the truth is not written: " << error << "\n";
}

namespace {

// Text, or the environment when none, from the next EdsInitializeSDK on.
bool Configure(std::optional<std::string> Text, std::optional<TSimConfig> Parsed) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  rig.OverrideText = std::move(Text);
  rig.OverrideConfig = std::move(Parsed);
  rig.ConfigChanged = true;
  rig.InitializeCalls = 0;
  rig.Calls.clear();
  return rig.OverrideConfig.has_value();
}

}  // namespace
}  // namespace SimRigDetail

using namespace SimRigDetail;

bool SimConfigure(const std::string& Text) {
  std::string error;
  auto parsed = ParseSimConfig(Text, &error);
  if (!parsed) std::cerr << "simulated camera: " << error << "; the defaults apply\n";
  return Configure(Text, std::move(parsed));
}

void SimUseEnvironment() {
  Configure(std::nullopt, std::nullopt);
}

unsigned SimCallCount(std::string_view Function) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (Function == "EdsInitializeSDK") return rig.InitializeCalls;
  auto found = rig.Calls.find(Function);
  return found == rig.Calls.end() ? 0 : found->second;
}

TSimStatistics SimStatistics() {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  TSimStatistics stats = rig.Stats;
  stats.LiveReferences = unsigned(rig.Objects.Size());
  return stats;
}

TSimCameraState SimCameraState(int Index) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  if (Index < 0 || Index >= int(rig.Cameras.size())) return {};
  auto camera = rig.Objects.Find<TCamera>(rig.Cameras[Index]);
  if (!camera) return {};
  return {camera->SessionOpen, camera->SaveTo, camera->UiLocks, camera->CapacitySet,
          camera->Capacity};
}

std::string SimLastDownloadPath() {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  return rig.LastDownloadPath;
}

std::optional<TSimPhoto> SimPhoto(const std::string& FileName) {
  TRig& rig = Rig();
  std::lock_guard guard(rig.Lock);
  const auto found = rig.Delivered.find(FileName);
  if (found == rig.Delivered.end()) return std::nullopt;
  return found->second;
}

std::uint64_t SimDigest(std::string_view Bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : Bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3ull;
  }
  return hash;
}
