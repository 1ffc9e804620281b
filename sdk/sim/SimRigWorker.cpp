#include <algorithm>
#include <cstdlib>
#include <iostream>

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
  while (!Own.Stop) {
    if (Tasks.empty()) {
      Wake.wait(lock);
    } else if (TClock::now() < Tasks.front().Due) {
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

void TRig::Deliver(TTask Task, TWorkerControl& Own, std::unique_lock<std::mutex>& Held) {
  Held.unlock();
  const QImage scene = SimPhotograph(Task.Frame, Task.Width, Task.Height, Task.Seed, Task.Optics,
                                     Task.Shot, Task.Stage, &Own.CancelRender);
  if (!Task.TruthDir.empty() && !scene.isNull()) WriteTruth(Task);
  auto jpeg =
      std::make_shared<const QByteArray>(scene.isNull() ? QByteArray() : SimEncodeJpeg(scene));
  Held.lock();
  if (Own.Stop || scene.isNull()) return;
  if (jpeg->isEmpty()) {
    std::cerr << "simulated camera: cannot encode " << Task.FileName << "\n";
    return;
  }
  auto camera = Objects.Find<TCamera>(Task.Camera);
  if (!camera || !camera->SessionOpen) return;
  const auto handler = TCamera::HandlerFor(camera->ObjectHandlers, EdsObjectEvent_TransferRequest,
                                           EdsObjectEvent_All);
  if (!handler.Handler) return;
  auto item = std::make_shared<TItem>();
  item->FileName = Task.FileName;
  RememberPhoto(Task.FileName, *jpeg);
  item->Jpeg = std::move(jpeg);
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
