#pragma once

// The simulated rig's state, shared by its files: the objects behind the SDK's
// references, the work of the camera's own thread, and the one lock over all.

#include <QByteArray>
#include <QImage>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "sdk/CameraObjects.h"
#include "sdk/sim/SimConfig.h"
#include "sdk/sim/SimRig.h"
#include "sdk/sim/SimScene.h"
#include "sdk/sim/SimSettings.h"
#include "sdk/sim/SimTruth.h"

namespace SimRigDetail {

using TClock = std::chrono::steady_clock;

template <typename THandler>
struct TRegistration {
  THandler Handler = nullptr;
  void* Context = nullptr;
};

struct TCamera : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Camera;
  TCamera() : TSdkObject(Is) {}
  int Index = 0;
  bool SessionOpen = false;
  EdsUInt32 SaveTo = 1;
  int UiLocks = 0;
  bool CapacitySet = false;
  EdsCapacity Capacity{};
  // Session-open property events not yet told because no handler was registered.
  bool PropertyEventsOwed = false;
  std::map<EdsUInt32, EdsUInt32> Properties;
  // The capture settings; each SDK start begins from the configured ones.
  TSimSettings Settings;
  // By event code; the "all events" code stands for every event of its kind.
  std::map<EdsUInt32, TRegistration<EdsPropertyEventHandler>> PropertyHandlers;
  std::map<EdsUInt32, TRegistration<EdsObjectEventHandler>> ObjectHandlers;

  template <typename TMap>
  static auto HandlerFor(const TMap& Handlers, EdsUInt32 Event, EdsUInt32 AllEvents) {
    auto found = Handlers.find(Event);
    if (found == Handlers.end()) found = Handlers.find(AllEvents);
    return found == Handlers.end() ? typename TMap::mapped_type{} : found->second;
  }
};

struct TItem : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Item;
  TItem() : TSdkObject(Is) {}
  std::string FileName;
  std::shared_ptr<const QByteArray> Jpeg;
  // Bytes already downloaded: a download in pieces goes on from here.
  EdsUInt32 Read = 0;
};

struct TStream : TSdkObject {
  static constexpr TSdkKind Is = TSdkKind::Stream;
  TStream() : TSdkObject(Is) {}
  ~TStream() override {
    if (File) std::fclose(File);
  }
  std::FILE* File = nullptr;
  std::string Path;
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
  // One download at a time; a second one on the same stream is refused, not queued.
  bool Busy = false;
};

// Work for the camera's own thread, done when Due has come.
struct TTask {
  enum class TType { Shot, PropertyEvent } Type = TType::Shot;
  TClock::time_point Due;
  EdsBaseRef Camera = nullptr;
  // A shot.
  QImage Frame;
  std::string FileName;
  int Width = 0, Height = 0;
  std::uint32_t Seed = 0;
  TSimOptics Optics;
  unsigned Shot = 0;
  TSimStage Stage;
  // Where the truth goes (empty: nowhere), and whether this is a scan's all-points photo.
  std::string TruthDir;
  bool AllPoints = false;
  // Bytes the photo is padded to; 0 leaves it as encoded.
  std::int64_t PadTo = 0;
  // The photo, made as soon as the shutter fell, and its record; null until then.
  std::shared_ptr<const QByteArray> Jpeg;
  TSimPhoto Record;
  // A property event.
  EdsUInt32 Event = 0, Property = 0;
};

// Each worker has its own stop flag, so a worker left to finish on its own never
// serves a later SDK instance.
struct TWorkerControl {
  bool Stop = false;  // guarded by the rig's lock
  std::atomic<bool> CancelRender{false};
};

constexpr EdsUInt32 PropertiesToldOnOpen[] = {EdsProperty_ShootingMode, EdsProperty_IsoSpeed,
                                              EdsProperty_Aperture, EdsProperty_ShutterSpeed};

class TRig {
 public:
  std::mutex Lock;

  // Configuration.
  std::optional<std::string> OverrideText;
  std::optional<TSimConfig> OverrideConfig;
  bool ConfigChanged = true;
  std::string EnvironmentText;
  TSimConfig Config;
  unsigned InitializeCalls = 0;
  std::map<std::string, unsigned, std::less<>> Calls;

  // The running SDK instance.
  bool Initialized = false;
  bool Exited = false;
  TSdkObjects Objects;
  std::vector<EdsBaseRef> Cameras;  // each holds one reference of the SDK's own
  unsigned Shots = 0;
  TSimStatistics Stats;
  // What the camera looks at. The board moves to its next pose between scans: at a
  // dark frame after a lit field was photographed in this pose.
  TSimStage Stage;
  bool LitSincePose = false, LastWasLit = false;
  std::deque<TTask> Tasks;
  std::condition_variable Wake;
  std::thread Worker;
  std::shared_ptr<TWorkerControl> Control;

  // For the whole process.
  unsigned NextPhotoNumber = 1;
  std::string LastDownloadPath;
  std::unordered_map<std::string, TSimPhoto> Delivered;
  std::deque<std::string> DeliveredOrder;

  // Counts the call and gives the failure configured for it, 0 when none.
  EdsError Enter(std::string_view Function);
  void ReadConfiguration();
  void RememberPhoto(const std::string& FileName, const TSimPhoto& Photo);
  std::string NextPhotoName();
  // Notes what the projector shows at a shutter, moving the board to its next pose
  // after a scan; true when the photo is a scan's all-points photo.
  bool SeeFrame(const QImage& Frame);

  void Start();
  // Stops the worker and gives up every reference. No callback runs once this returns,
  // unless it is called from a callback itself, which cannot wait for its own thread.
  void Shutdown(std::unique_lock<std::mutex>& Held);
  void Schedule(TTask Task);
  void TellProperty(EdsBaseRef Camera, EdsUInt32 Event, EdsUInt32 Property);
  void TellPropertiesOnOpen(EdsBaseRef Ref, TCamera& Camera);
  // Sets a camera's setting and tells the change, if any, to the host.
  void ChangeSetting(EdsBaseRef Ref, TCamera& Camera, TCameraSetting Setting,
                     const TSettingValue& Value);

 private:
  void Run(TWorkerControl& Own);
  // Makes the photo of a shot taken off the queue, with the lock left meanwhile;
  // false when there is none to announce.
  bool Photograph(TTask& Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held);
  void Deliver(TTask Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held);
  void TellNow(const TTask& Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held);
};

// Never destroyed: a late SDK call from another static's destructor stays safe.
TRig& Rig();

// Stops the rig when the process exits; installed by the first EdsInitializeSDK.
void InstallExitHook();

// Writes the truth that Task asks for (sdk/sim/SimTruthFiles.h); a failure goes to stderr.
void WriteTruth(const TTask& Task);

}  // namespace SimRigDetail
