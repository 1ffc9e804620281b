#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "sdk/sim/SimJpegPadding.h"
#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimRigState.h"

namespace SimRigDetail {

void TRig::Start() {
  Calls.clear();
  Stats = {};
  Shots = 0;
  for (int index = 0; index < Config.Cameras; ++index) {
    auto camera = std::make_shared<TCamera>();
    camera->Index = index;
    camera->Settings = Config.Settings;
    Cameras.push_back(Objects.Register(camera));
  }
  Initialized = true;
  Control = std::make_shared<TWorkerControl>();
  Worker = std::thread([this, control = Control] { Run(*control); });
}

void TRig::Shutdown(std::unique_lock<std::mutex>& Held) {
  Initialized = false;
  Control->Stop = true;
  Control->CancelRender = true;
  Tasks.clear();
  Wake.notify_all();
  std::thread worker = std::move(Worker);
  // Dropped outside the lock: a callback still running may hold a reference.
  auto objects = Objects.TakeAll();
  Cameras.clear();
  Held.unlock();
  if (worker.get_id() == std::this_thread::get_id())
    worker.detach();
  else if (worker.joinable())
    worker.join();
  objects.clear();
  Held.lock();
}

void TRig::Schedule(TTask Task) {
  const auto at = std::upper_bound(Tasks.begin(), Tasks.end(), Task.Due,
                                   [](auto due, const TTask& t) { return due < t.Due; });
  Tasks.insert(at, std::move(Task));
  Wake.notify_all();
}

void TRig::TellProperty(EdsBaseRef Camera, EdsUInt32 Event, EdsUInt32 Property) {
  TTask task;
  task.Type = TTask::TType::PropertyEvent;
  task.Due = TClock::now();
  task.Camera = Camera;
  task.Event = Event;
  task.Property = Property;
  Schedule(std::move(task));
}

void TRig::TellPropertiesOnOpen(EdsBaseRef Ref, TCamera& Camera) {
  const auto handler = TCamera::HandlerFor(Camera.PropertyHandlers, EdsPropertyEvent_ValueChanged,
                                           EdsPropertyEvent_All);
  Camera.PropertyEventsOwed = handler.Handler == nullptr;
  if (Camera.PropertyEventsOwed) return;
  for (EdsUInt32 property : PropertiesToldOnOpen)
    TellProperty(Ref, EdsPropertyEvent_ValueChanged, property);
}

void TRig::Run(TWorkerControl& Own) {
  std::unique_lock lock(Lock);
  const auto unmade = [](const TTask& Task) {
    return Task.Type == TTask::TType::Shot && !Task.Jpeg;
  };
  while (!Own.Stop) {
    const bool due = !Tasks.empty() && TClock::now() >= Tasks.front().Due;
    // The camera makes each photo as soon as its shutter fell; it announces it
    // when its own time is up.
    const auto next = std::find_if(Tasks.begin(), Tasks.end(), unmade);
    if ((!due || unmade(Tasks.front())) && next != Tasks.end()) {
      TTask task = std::move(*next);
      Tasks.erase(next);
      if (Photograph(task, Own, lock)) Schedule(std::move(task));
    } else if (Tasks.empty()) {
      Wake.wait(lock);
    } else if (!due) {
      Wake.wait_until(lock, Tasks.front().Due);
    } else {
      TTask task = std::move(Tasks.front());
      Tasks.pop_front();
      if (task.Type == TTask::TType::Shot)
        Deliver(std::move(task), Own, lock);
      else
        TellNow(task, Own, lock);
    }
  }
}

bool TRig::Photograph(TTask& Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
  Held.unlock();
  const QImage scene = SimPhotograph(Task.Frame, Task.Width, Task.Height, Task.Seed, Task.Optics,
                                     Task.Shot, Task.Stage, &Own.CancelRender);
  if (!Task.TruthDir.empty() && !scene.isNull()) WriteTruth(Task);
  QByteArray jpeg = scene.isNull() ? QByteArray() : SimEncodeJpeg(scene);
  if (Task.PadTo > jpeg.size() && !jpeg.isEmpty())
    jpeg = SimPadJpeg(jpeg, Task.PadTo,
                      "CorvaletScan simulated camera, shot " + QByteArray::number(Task.Shot));
  // Outside the lock: a large photo takes a while.
  Task.Record = {std::uint64_t(jpeg.size()),
                 SimDigest(std::string_view(jpeg.constData(), jpeg.size()))};
  Held.lock();
  if (Own.Stop || scene.isNull()) return false;
  if (jpeg.isEmpty()) {
    std::cerr << "simulated camera: cannot encode " << Task.FileName << "\n";
    return false;
  }
  Task.Frame = QImage();
  Task.Jpeg = std::make_shared<const QByteArray>(std::move(jpeg));
  return true;
}

void TRig::Deliver(TTask Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
  if (Own.Stop) return;
  auto camera = Objects.Find<TCamera>(Task.Camera);
  if (!camera || !camera->SessionOpen) return;
  const auto handler = TCamera::HandlerFor(camera->ObjectHandlers, EdsObjectEvent_TransferRequest,
                                           EdsObjectEvent_All);
  if (!handler.Handler) return;
  auto item = std::make_shared<TItem>();
  item->FileName = Task.FileName;
  RememberPhoto(Task.FileName, Task.Record);
  item->Jpeg = std::move(Task.Jpeg);
  const EdsBaseRef ref = Objects.Register(std::move(item));
  ++Stats.PhotosDelivered;
  Held.unlock();
  handler.Handler(EdsObjectEvent_TransferRequest, ref, handler.Context);
  Held.lock();
}

void TRig::TellNow(const TTask& Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
  auto camera = Objects.Find<TCamera>(Task.Camera);
  if (Own.Stop || !camera || !camera->SessionOpen) return;
  const auto handler =
      TCamera::HandlerFor(camera->PropertyHandlers, Task.Event, EdsPropertyEvent_All);
  if (!handler.Handler) return;
  Held.unlock();
  handler.Handler(Task.Event, Task.Property, 0, handler.Context);
  Held.lock();
}

namespace {

void StopAtExit() {
  TRig& rig = Rig();
  std::unique_lock lock(rig.Lock);
  rig.Exited = true;
  if (rig.Initialized) rig.Shutdown(lock);
}

}  // namespace

// Encodes once before the exit hook is registered: the image plugins' globals then
// outlive the hook, which waits for a photo still being encoded at exit.
void InstallExitHook() {
  static const bool installed = [] {
    QImage sample(8, 8, QImage::Format_RGB888);
    sample.fill(Qt::black);
    SimEncodeJpeg(sample);
    std::atexit(StopAtExit);
    return true;
  }();
  (void)installed;
}

}  // namespace SimRigDetail
