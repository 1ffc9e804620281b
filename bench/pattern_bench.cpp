// Painting the scan patterns into the 1016 x 734 projection bitmap with the
// start-up raster, against a memset of the same pixel memory as the floor.
// Each benchmark reports its median time per pattern (median_ms) and that
// median as a multiple of the memset median (x_floor).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "pattern/Mat_gen.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Projection {
  Projection() : Image(1016, 734), Gen(TMatGen::Create(Image)) {
    Gen->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
  }
  TBitmap& Bitmap() { return Image.Picture().Bitmap(); }

  TImageData Image;
  std::unique_ptr<TMatGen> Gen;
};

Projection& Shared() {
  static Projection projection;
  return projection;
}

double MedianMs(std::vector<double>& Samples) {
  std::nth_element(Samples.begin(), Samples.begin() + Samples.size() / 2, Samples.end());
  return Samples[Samples.size() / 2];
}

void FillMemory(TBitmap& Bitmap, int Value) {
  std::memset(Bitmap.Bits(), Value, std::size_t(Bitmap.Height()) * Bitmap.BytesPerLine());
  benchmark::ClobberMemory();
}

double FloorMs() {
  static const double floor = [] {
    TBitmap& bitmap = Shared().Bitmap();
    std::vector<double> samples;
    for (int i = 0; i < 301; ++i) {
      const auto start = Clock::now();
      FillMemory(bitmap, i);
      samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return MedianMs(samples);
  }();
  return floor;
}

template <typename Paint>
void Measure(benchmark::State& State, Paint&& PaintOnce) {
  const double floor = FloorMs();
  std::vector<double> samples;
  for (auto _ : State) {
    const auto start = Clock::now();
    PaintOnce();
    benchmark::ClobberMemory();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  const double median = MedianMs(samples);
  State.counters["median_ms"] = median;
  State.counters["x_floor"] = median / floor;
  TBitmap& bitmap = Shared().Bitmap();
  State.SetBytesProcessed(std::int64_t(State.iterations()) * bitmap.Height() *
                          bitmap.BytesPerLine());
}

void MemsetFloor(benchmark::State& State) {
  int value = 0;
  Measure(State, [&] { FillMemory(Shared().Bitmap(), ++value); });
}

void DarkField(benchmark::State& State) {
  Measure(State, [] { Shared().Gen->FillField(0); });
}

void LitField(benchmark::State& State) {
  Measure(State, [] { Shared().Gen->FillField(1); });
}

void AllPoints(benchmark::State& State) {
  Measure(State, [] { Shared().Gen->DrawAllPoints(); });
}

// Plane 14 lights every other point, the most any plane lights.
void Plane14(benchmark::State& State) {
  Measure(State, [] { Shared().Gen->DrawPlane(14); });
}

}  // namespace

BENCHMARK(MemsetFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(DarkField)->Unit(benchmark::kMillisecond);
BENCHMARK(LitField)->Unit(benchmark::kMillisecond);
BENCHMARK(AllPoints)->Unit(benchmark::kMillisecond);
BENCHMARK(Plane14)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
