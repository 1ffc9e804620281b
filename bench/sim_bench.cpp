// The simulated camera's cost per photo: rendering a 2048 x 1536 camera picture
// of a 1016 x 734 projector frame on each scene, working out what each camera
// pixel sees when the scene changes (a new board pose), and encoding it as JPEG.

#include <benchmark/benchmark.h>

#include <QImage>

#include "sdk/sim/SimProjection.h"
#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimScene.h"

namespace {

// The all-points pattern at start-up: 3 x 3 green points every 8 pixels on black.
QImage PointFrame() {
  QImage frame(1016, 734, QImage::Format_BGR888);
  frame.fill(Qt::black);
  for (int y = 10; y + 3 <= 734; y += 8)
    for (int x = 10; x + 3 <= 1016; x += 8)
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = 0; dx < 3; ++dx) frame.setPixelColor(x + dx, y + dy, Qt::green);
  return frame;
}

TSimStage Stage(int Scene) {
  TSimStage stage;
  stage.Scene = TSimSceneKind(Scene);
  return stage;
}

// Arg: 0 wall, 1 board (first pose), 2 sphere.
void BM_SimRender(benchmark::State& State) {
  const QImage frame = PointFrame();
  const TSimStage stage = Stage(int(State.range(0)));
  std::uint32_t seed = 1;
  for (auto _ : State) {
    QImage scene = SimRenderScene(frame, 2048, 1536, seed++, stage);
    benchmark::DoNotOptimize(scene.constBits());
  }
  State.SetLabel(SimSceneName(stage.Scene));
}

// A photo at 1 pixel of extra blur and 4 levels of extra noise.
void BM_SimPhotographBlurred(benchmark::State& State) {
  const QImage frame = PointFrame();
  TSimOptics optics;
  optics.Blur = 1;
  optics.Noise = 4;
  std::uint32_t seed = 1;
  for (auto _ : State) {
    QImage photo = SimPhotograph(frame, 2048, 1536, seed++, optics, 1);
    benchmark::DoNotOptimize(photo.constBits());
  }
}

// The board moves to its next pose: each camera pixel's ray is cast again (two threads).
void BM_SimNewPose(benchmark::State& State) {
  TSimStage stage = Stage(int(TSimSceneKind::Board));
  for (auto _ : State) {
    stage.Pose = (stage.Pose + 1) % SimBoardPoseCount();
    auto projection = SimProjectionFor(1016, 734, 2048, 1536, 1, stage);
    benchmark::DoNotOptimize(projection.get());
  }
}

void BM_SimPhoto(benchmark::State& State) {
  const QImage frame = PointFrame();
  std::uint32_t seed = 1;
  for (auto _ : State) {
    QByteArray jpeg = SimEncodeJpeg(SimRenderScene(frame, 2048, 1536, seed++));
    benchmark::DoNotOptimize(jpeg.data());
  }
}

void BM_SimJpeg(benchmark::State& State) {
  const QImage scene = SimRenderScene(PointFrame(), 2048, 1536, 1);
  for (auto _ : State) {
    QByteArray jpeg = SimEncodeJpeg(scene);
    benchmark::DoNotOptimize(jpeg.data());
  }
}

}  // namespace

BENCHMARK(BM_SimRender)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SimPhotographBlurred)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SimNewPose)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_SimPhoto)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SimJpeg)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
