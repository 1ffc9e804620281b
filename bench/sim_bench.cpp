// The simulated camera's cost per photo: rendering a 2048 x 1536 camera picture
// of a 1016 x 734 projector frame, and encoding it as JPEG.

#include <benchmark/benchmark.h>

#include <QImage>

#include "sdk/sim/SimRender.h"

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

void BM_SimPhoto(benchmark::State& State) {
  const QImage frame = PointFrame();
  std::uint32_t seed = 1;
  for (auto _ : State) {
    QByteArray jpeg = SimEncodeJpeg(SimRenderScene(frame, 2048, 1536, seed++));
    benchmark::DoNotOptimize(jpeg.data());
  }
}

void BM_SimRender(benchmark::State& State) {
  const QImage frame = PointFrame();
  std::uint32_t seed = 1;
  for (auto _ : State) {
    QImage scene = SimRenderScene(frame, 2048, 1536, seed++);
    benchmark::DoNotOptimize(scene.constBits());
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

BENCHMARK(BM_SimPhoto)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SimRender)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SimJpeg)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
