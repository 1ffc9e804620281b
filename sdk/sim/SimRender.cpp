#include "sdk/sim/SimRender.h"

#include <QBuffer>
#include <QImageWriter>
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "sdk/sim/SimMapping.h"

namespace {

constexpr int CancelCheckRows = 64;

bool Cancelled(const std::atomic<bool>* Cancel) {
  return Cancel && Cancel->load(std::memory_order_relaxed);
}

// Where each camera pixel samples the projector frame: the byte offset of the
// top-left of its 2 x 2 bilinear neighbourhood in the frame padded with a black
// border, and the weights of the right and lower neighbours in 1/256.
struct TProjection {
  int FrameWidth = 0, FrameHeight = 0, Width = 0, Height = 0;
  std::vector<std::uint32_t> Offset;
  std::vector<std::uint8_t> WeightX, WeightY;
};

std::shared_ptr<const TProjection> BuildProjection(int FrameWidth, int FrameHeight, int Width,
                                                   int Height) {
  auto projection = std::make_shared<TProjection>();
  TProjection& p = *projection;
  p.FrameWidth = FrameWidth;
  p.FrameHeight = FrameHeight;
  p.Width = Width;
  p.Height = Height;
  const std::size_t pixels = std::size_t(Width) * Height;
  // Offset 0 with zero weights reads only the border: no light.
  p.Offset.assign(pixels, 0);
  p.WeightX.assign(pixels, 0);
  p.WeightY.assign(pixels, 0);
  const int paddedStride = (FrameWidth + 2) * 3;
  const TSimMapping mapping(FrameWidth, FrameHeight, Width, Height);
  const double* M = mapping.Inverse();
  for (int y = 0; y < Height; ++y) {
    const double cy = y + 0.5;
    // Numerators and denominator at x = 0.5; each grows linearly along the row.
    const double u0 = M[0] * 0.5 + M[1] * cy + M[2];
    const double v0 = M[3] * 0.5 + M[4] * cy + M[5];
    const double w0 = M[6] * 0.5 + M[7] * cy + M[8];
    for (int x = 0; x < Width; ++x) {
      const double reciprocal = 1.0 / (w0 + M[6] * x);
      // Sample position in the padded frame, whose pixel centres sit on integers.
      const double pu = (u0 + M[0] * x) * reciprocal + 0.5;
      const double pv = (v0 + M[3] * x) * reciprocal + 0.5;
      if (!(pu >= 0.0 && pv >= 0.0 && pu < FrameWidth + 1 && pv < FrameHeight + 1)) continue;
      const int iu = int(pu * 256.0), iv = int(pv * 256.0);
      const std::size_t at = std::size_t(y) * Width + x;
      p.Offset[at] = std::uint32_t((iv >> 8) * paddedStride + (iu >> 8) * 3);
      p.WeightX[at] = std::uint8_t(iu & 255);
      p.WeightY[at] = std::uint8_t(iv & 255);
    }
  }
  return projection;
}

// The last projection built: a scan photographs frames of one size into photos of one size.
struct TProjectionCache {
  std::mutex Lock;
  std::shared_ptr<const TProjection> Last;
};

std::shared_ptr<const TProjection> ProjectionFor(int FrameWidth, int FrameHeight, int Width,
                                                 int Height) {
  // Never destroyed: a camera's thread may still render while exit-time destructors run.
  static TProjectionCache* const cache = new TProjectionCache;
  std::lock_guard guard(cache->Lock);
  const auto& last = cache->Last;
  if (!last || last->FrameWidth != FrameWidth || last->FrameHeight != FrameHeight ||
      last->Width != Width || last->Height != Height)
    cache->Last = BuildProjection(FrameWidth, FrameHeight, Width, Height);
  return cache->Last;
}

// One row of the projector's light as the camera sees it, RGB, before the optics
// blur it: a bilinear sample of the padded frame.
void ProjectRow(const TProjection& Projection, const std::uint8_t* Frame, int PaddedStride, int Y,
                std::uint8_t* __restrict Out) {
  const std::size_t row = std::size_t(Y) * Projection.Width;
  const std::uint32_t* offset = &Projection.Offset[row];
  const std::uint8_t* weightX = &Projection.WeightX[row];
  const std::uint8_t* weightY = &Projection.WeightY[row];
  for (int x = 0; x < Projection.Width; ++x) {
    const int fx = weightX[x], fy = weightY[x];
    const std::uint8_t* p = Frame + offset[x];
    const std::uint8_t* q = p + PaddedStride;
    for (int c = 0; c < 3; ++c) {
      const int top = p[c] * (256 - fx) + p[c + 3] * fx;
      const int bottom = q[c] * (256 - fx) + q[c + 3] * fx;
      Out[x * 3 + c] = std::uint8_t((top * (256 - fy) + bottom * fy + 32768) >> 16);
    }
  }
}

// The optics along a row: a 5-tap binomial blur (1 4 6 4 1) / 16, RGB interleaved.
void BlurRow(const std::uint8_t* __restrict In, std::uint8_t* __restrict Out, int Width) {
  const int stride = Width * 3;
  auto edge = [&](int i) {
    const int c = i % 3;
    auto tap = [&](int dx) { return int(In[std::clamp(i / 3 + dx, 0, Width - 1) * 3 + c]); };
    Out[i] = std::uint8_t((tap(-2) + 4 * tap(-1) + 6 * tap(0) + 4 * tap(1) + tap(2) + 8) >> 4);
  };
  const int interiorEnd = std::max(6, stride - 6);
  for (int i = 0; i < std::min(6, stride); ++i) edge(i);
  for (int i = 6; i < interiorEnd; ++i)
    Out[i] =
        std::uint8_t((In[i - 6] + 4 * In[i - 3] + 6 * In[i] + 4 * In[i + 3] + In[i + 6] + 8) >> 4);
  for (int i = interiorEnd; i < stride; ++i) edge(i);
}

// Sensor noise for one picture: a bank of noise values drawn from Seed, of which each row
// reads its own window at a random start. Values are the sum of two 4-bit draws, centred
// and scaled to a standard deviation of about 2 levels.
std::vector<std::int8_t> NoiseBank(std::uint32_t Seed, std::size_t Size) {
  std::vector<std::int8_t> bank(Size);
  const std::uint32_t seedMix = SimHash(Seed ^ 0x9e3779b9U);
  for (std::size_t i = 0; i < Size; ++i) {
    const std::uint32_t bits = SimHash(std::uint32_t(i) ^ seedMix);
    const int sum = int(bits & 15) + int((bits >> 4) & 15) - 15;
    bank[i] = std::int8_t(std::lround(sum * 0.44));
  }
  return bank;
}

constexpr std::size_t NoiseBankSize = 1 << 16;

}  // namespace

QImage SimRenderScene(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                      const std::atomic<bool>* Cancel) {
  const int stride = Width * 3;
  // The frame with a one-pixel black border: outside it the projector throws nothing.
  std::vector<std::uint8_t> padded;
  std::shared_ptr<const TProjection> projection;
  int paddedStride = 0;
  if (!Frame.isNull()) {
    const QImage source = Frame.convertToFormat(QImage::Format_RGB888);
    const int fw = source.width(), fh = source.height();
    paddedStride = (fw + 2) * 3;
    padded.assign(std::size_t(paddedStride) * (fh + 2), 0);
    for (int row = 0; row < fh; ++row)
      std::copy_n(source.constScanLine(row), fw * 3, &padded[(row + 1) * paddedStride + 3]);
    projection = ProjectionFor(fw, fh, Width, Height);
  }

  // Rows are made one at a time: the projected light, blurred along the row, goes into
  // a ring of the five rows that the blur down the columns needs.
  std::vector<std::uint8_t> light(stride, 0);
  std::vector<std::uint8_t> ring(std::size_t(5) * stride, 0);
  auto ringRow = [&](int row) { return &ring[std::size_t(row % 5) * stride]; };
  int made = -1;

  QImage picture(Width, Height, QImage::Format_RGB888);
  const std::vector<std::int8_t> bank = NoiseBank(Seed, NoiseBankSize + stride);
  const std::uint32_t rowMix = SimHash(Seed ^ 0x85ebca6bU);
  for (int y = 0; y < Height; ++y) {
    if (y % CancelCheckRows == 0 && Cancelled(Cancel)) return {};
    for (; projection && made < std::min(y + 2, Height - 1); ++made) {
      ProjectRow(*projection, padded.data(), paddedStride, made + 1, light.data());
      BlurRow(light.data(), ringRow(made + 1), Width);
    }
    const std::uint8_t* r[5];
    for (int k = 0; k < 5; ++k) r[k] = ringRow(std::clamp(y + k - 2, 0, Height - 1));
    const int ambient = SimAmbientTop + (SimAmbientBottom - SimAmbientTop) * y / Height;
    const std::int8_t* __restrict noise = &bank[SimHash(std::uint32_t(y) ^ rowMix) % NoiseBankSize];
    std::uint8_t* __restrict out = picture.scanLine(y);
    // The blur down the columns, fused with the exposure and the sensor's noise.
    for (int i = 0; i < stride; ++i) {
      const int lit = (r[0][i] + 4 * r[1][i] + 6 * r[2][i] + 4 * r[3][i] + r[4][i] + 8) >> 4;
      const int level = ambient + ((lit * SimLitGain + 128) >> 8) + noise[i];
      out[i] = std::uint8_t(std::clamp(level, 0, 255));
    }
  }
  return picture;
}

QByteArray SimEncodeJpeg(const QImage& Picture) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpg");
  writer.setQuality(90);
  if (!writer.write(Picture)) return {};
  return bytes;
}
