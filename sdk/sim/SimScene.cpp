#include "sdk/sim/SimScene.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sdk/sim/SimRender.h"

namespace {

constexpr int GlareLevel = 240;

bool InGlare(const TSimOptics& Optics, double X, double Y, int Width, int Height) {
  const double* g = Optics.Glare;
  return g[2] > g[0] && g[3] > g[1] && X >= g[0] * Width && X < g[2] * Width &&
         Y >= g[1] * Height && Y < g[3] * Height;
}

// A separable Gaussian blur of standard deviation Sigma over an RGB888 picture, the
// edges repeated: along each row through a padded copy of it, then down the columns.
void Blur(QImage& Picture, double Sigma) {
  const int radius = int(std::ceil(3 * Sigma));
  std::vector<double> shape(std::size_t(2 * radius + 1));
  for (int k = -radius; k <= radius; ++k)
    shape[std::size_t(k + radius)] = std::exp(-0.5 * k * k / (Sigma * Sigma));
  double total = 0;
  for (double w : shape) total += w;
  // Weights in 1/65536 that add up to exactly one.
  std::vector<std::uint32_t> kernel(shape.size());
  std::uint32_t sum = 0;
  for (std::size_t k = 0; k < shape.size(); ++k)
    sum += kernel[k] = std::uint32_t(std::lround(65536 * shape[k] / total));
  kernel[std::size_t(radius)] += 65536 - sum;
  const int width = Picture.width(), height = Picture.height(), stride = width * 3;
  std::vector<std::uint8_t> line(std::size_t(width + 2 * radius) * 3);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = Picture.scanLine(y);
    for (int x = -radius; x < width + radius; ++x)
      std::copy_n(row + std::clamp(x, 0, width - 1) * 3, 3, &line[std::size_t(x + radius) * 3]);
    for (int i = 0; i < stride; ++i) {
      std::uint32_t value = 32768;
      for (std::size_t k = 0; k < kernel.size(); ++k) value += kernel[k] * line[i + 3 * k];
      row[i] = std::uint8_t(value >> 16);
    }
  }
  const QImage across = Picture.copy();
  std::vector<std::uint32_t> value(static_cast<std::size_t>(stride));
  for (int y = 0; y < height; ++y) {
    std::fill(value.begin(), value.end(), 32768u);
    for (int k = -radius; k <= radius; ++k) {
      const std::uint8_t* in = across.constScanLine(std::clamp(y + k, 0, height - 1));
      const std::uint32_t weight = kernel[std::size_t(k + radius)];
      for (int i = 0; i < stride; ++i) value[std::size_t(i)] += weight * in[i];
    }
    std::uint8_t* out = Picture.scanLine(y);
    for (int i = 0; i < stride; ++i) out[i] = std::uint8_t(value[std::size_t(i)] >> 16);
  }
}

// Sensor noise of one photo at unit deviation, roughly normal (the sum of four uniform
// draws): a bank drawn from Seed, of which each row reads its own window at a random start.
constexpr std::size_t NoiseBankSize = 1 << 16;

std::vector<float> NoiseBank(std::uint32_t Seed, std::size_t Size) {
  std::vector<float> bank(Size);
  const std::uint32_t mix = SimHash(Seed ^ 0x51ed270bU);
  for (std::size_t i = 0; i < Size; ++i) {
    const std::uint32_t bits = SimHash(std::uint32_t(i) ^ mix);
    const double sum = (bits & 255) + ((bits >> 8) & 255) + ((bits >> 16) & 255) + (bits >> 24);
    bank[i] = float((sum - 510.0) / 147.8);
  }
  return bank;
}

}  // namespace

QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot, const std::atomic<bool>* Cancel) {
  return SimPhotograph(Frame, Width, Height, Seed, Optics, Shot, TSimStage{}, Cancel);
}

QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot, const TSimStage& Stage,
                     const std::atomic<bool>* Cancel) {
  QImage photo = SimRenderScene(Frame, Width, Height, Seed, Stage, Optics.Zoom, Cancel);
  if (photo.isNull() || Optics.Default()) return photo;
  if (Optics.NudgeFrom && Shot >= Optics.NudgeFrom && (Optics.NudgeX || Optics.NudgeY)) {
    // The camera moved: what comes in past the edge repeats the edge, the room around the target.
    const QImage still = photo;
    for (int y = 0; y < Height; ++y) {
      const std::uint8_t* in = still.constScanLine(std::clamp(y - Optics.NudgeY, 0, Height - 1));
      std::uint8_t* out = photo.scanLine(y);
      for (int x = 0; x < Width; ++x)
        std::copy_n(in + std::clamp(x - Optics.NudgeX, 0, Width - 1) * 3, 3, out + x * 3);
    }
  }
  if (Optics.Blur > 0) Blur(photo, Optics.Blur);
  const int stride = Width * 3;
  const std::vector<float> noise = Optics.Noise > 0
                                       ? NoiseBank(Seed, NoiseBankSize + std::size_t(stride))
                                       : std::vector<float>{};
  const std::uint32_t rowMix = SimHash(Seed ^ 0x3c6ef372U);
  const float exposure = float(Optics.Exposure), deviation = float(Optics.Noise);
  std::vector<float> extra(static_cast<std::size_t>(stride));
  for (int y = 0; y < Height; ++y) {
    for (int x = 0; x < Width; ++x)
      std::fill_n(&extra[std::size_t(x) * 3], 3,
                  float(Optics.Ambient + (InGlare(Optics, x, y, Width, Height) ? GlareLevel : 0)));
    const float* draw =
        noise.empty() ? nullptr : &noise[SimHash(std::uint32_t(y) ^ rowMix) % NoiseBankSize];
    std::uint8_t* row = photo.scanLine(y);
    for (int i = 0; i < stride; ++i) {
      const float level =
          (row[i] + extra[std::size_t(i)]) * exposure + (draw ? draw[i] * deviation : 0.0f);
      row[i] = std::uint8_t(std::clamp(std::lrint(level), 0L, 255L));
    }
  }
  return photo;
}

TSimGeometry SimGeometryOf(int FrameWidth, int FrameHeight, int Width, int Height,
                           const TSimOptics& Optics, const TSimStage& Stage) {
  return TSimGeometry(Width, Height, FrameWidth, FrameHeight, Optics.Zoom, Stage);
}

QPointF SimPhotoPoint(int FrameWidth, int FrameHeight, int Width, int Height,
                      const TSimOptics& Optics, double X, double Y, const TSimStage& Stage) {
  const TSimGeometry geometry =
      SimGeometryOf(FrameWidth, FrameHeight, Width, Height, Optics, Stage);
  const TSimHit hit = geometry.FromProjector(X - 0.5, Y - 0.5);
  double u = NAN, v = NAN;
  if (hit.Surface == TSimSurface::None || !geometry.Camera.Project(hit.Point, u, v))
    return {NAN, NAN};
  return {u + 0.5, v + 0.5};
}
