#include "sdk/sim/SimRender.h"

#include <QBuffer>
#include <QImageWriter>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "sdk/sim/SimProjection.h"

namespace {

constexpr int CancelCheckRows = 64;

bool Cancelled(const std::atomic<bool>* Cancel) {
  return Cancel && Cancel->load(std::memory_order_relaxed);
}

// The projector's light at one of Spots' places, per channel, in 1/256 of a level: a
// bilinear sample of the padded frame (the projector's own defocus).
inline void SpotLight(const TSimProjection::TSpots& Spots, std::size_t At,
                      const std::uint8_t* Frame, int PaddedStride, std::uint16_t* __restrict Out) {
  const unsigned fx = Spots.WeightX[At], fy = Spots.WeightY[At];
  const std::uint8_t* p = Frame + Spots.Offset[At];
  const std::uint8_t* q = p + PaddedStride;
  // Most of a pattern is black: four dark projector pixels throw nothing.
  std::uint32_t p4, q4;
  std::uint16_t p2, q2;
  std::memcpy(&p4, p, 4), std::memcpy(&p2, p + 4, 2);
  std::memcpy(&q4, q, 4), std::memcpy(&q2, q + 4, 2);
  if (!(p4 | q4 | p2 | q2)) {
    Out[0] = Out[1] = Out[2] = 0;
    return;
  }
  for (int c = 0; c < 3; ++c) {
    const unsigned top = p[c] * (256 - fx) + p[c + 3] * fx;
    const unsigned bottom = q[c] * (256 - fx) + q[c + 3] * fx;
    Out[c] = std::uint16_t((top * (256 - fy) + bottom * fy) >> 8);
  }
}

// One row of the light as the camera sees it, RGB, before the optics blur it: the
// room's light plus the projector's light over the pixel (half its centre's, an
// eighth of each corner's, where it gathers them), each times what the surface there
// sends back. Above and Below: the projector's light at the row's upper and lower
// corners.
void ProjectRow(const TSimProjection& Projection, const std::uint8_t* Frame, int PaddedStride,
                int Y, const std::uint16_t* Above, const std::uint16_t* Below,
                std::uint8_t* __restrict Out) {
  const std::size_t row = std::size_t(Y) * Projection.Width;
  const std::uint8_t* gain = &Projection.Gain[row];
  const std::uint8_t* ambient = &Projection.Ambient[row];
  const std::uint8_t* gathers = &Projection.Gathers[row];
  for (int x = 0; x < Projection.Width; ++x) {
    const unsigned g = Frame ? gain[x] : 0;
    if (!g) {
      Out[x * 3] = Out[x * 3 + 1] = Out[x * 3 + 2] = ambient[x];
      continue;
    }
    std::uint16_t centre[3];
    SpotLight(Projection.Centres, row + x, Frame, PaddedStride, centre);
    for (int c = 0; c < 3; ++c) {
      const int i = x * 3 + c;
      const unsigned sum = gathers[x]
                               ? 4u * centre[c] + Above[i] + Above[i + 3] + Below[i] + Below[i + 3]
                               : 8u * centre[c];
      const unsigned light = (sum * g + (1u << 18)) >> 19;
      Out[i] = std::uint8_t(std::min(255u, ambient[x] + light));
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
                      const TSimStage& Stage, double Zoom, const std::atomic<bool>* Cancel) {
  const int stride = Width * 3;
  // The frame with a one-pixel black border: outside it the projector throws nothing.
  std::vector<std::uint8_t> padded;
  int paddedStride = 0, frameWidth = SimFrameWidth, frameHeight = SimFrameHeight;
  if (!Frame.isNull()) {
    const QImage source = Frame.convertToFormat(QImage::Format_RGB888);
    frameWidth = source.width();
    frameHeight = source.height();
    paddedStride = (frameWidth + 2) * 3;
    padded.assign(std::size_t(paddedStride) * (frameHeight + 2), 0);
    for (int row = 0; row < frameHeight; ++row)
      std::copy_n(source.constScanLine(row), frameWidth * 3, &padded[(row + 1) * paddedStride + 3]);
  }
  const auto projection = SimProjectionFor(frameWidth, frameHeight, Width, Height, Zoom, Stage);
  const std::uint8_t* frame = padded.empty() ? nullptr : padded.data();

  // Rows are made one at a time: the light, blurred along the row, goes into a ring of
  // the five rows that the blur down the columns needs.
  std::vector<std::uint8_t> light(stride, 0);
  // The projector's light at two rows of the pixels' corners.
  std::vector<std::uint16_t> corners(std::size_t(2) * (stride + 3), 0);
  auto cornerRow = [&](int Row) { return &corners[std::size_t(Row % 2) * (stride + 3)]; };
  auto makeCorners = [&](int Row) {
    if (!frame) return;
    std::uint16_t* out = cornerRow(Row);
    for (int x = 0; x <= Width; ++x)
      SpotLight(projection->Corners, std::size_t(Row) * (Width + 1) + x, frame, paddedStride,
                out + 3 * x);
  };
  makeCorners(0);
  std::vector<std::uint8_t> ring(std::size_t(5) * stride, 0);
  auto ringRow = [&](int row) { return &ring[std::size_t(row % 5) * stride]; };
  int made = -1;

  QImage picture(Width, Height, QImage::Format_RGB888);
  const std::vector<std::int8_t> bank = NoiseBank(Seed, NoiseBankSize + stride);
  const std::uint32_t rowMix = SimHash(Seed ^ 0x85ebca6bU);
  for (int y = 0; y < Height; ++y) {
    if (y % CancelCheckRows == 0 && Cancelled(Cancel)) return {};
    for (; made < std::min(y + 2, Height - 1); ++made) {
      makeCorners(made + 2);
      ProjectRow(*projection, frame, paddedStride, made + 1, cornerRow(made + 1),
                 cornerRow(made + 2), light.data());
      BlurRow(light.data(), ringRow(made + 1), Width);
    }
    const std::uint8_t* r[5];
    for (int k = 0; k < 5; ++k) r[k] = ringRow(std::clamp(y + k - 2, 0, Height - 1));
    const std::int8_t* __restrict noise = &bank[SimHash(std::uint32_t(y) ^ rowMix) % NoiseBankSize];
    std::uint8_t* __restrict out = picture.scanLine(y);
    // The blur down the columns, fused with the sensor's noise.
    for (int i = 0; i < stride; ++i) {
      const int level =
          ((r[0][i] + 4 * r[1][i] + 6 * r[2][i] + 4 * r[3][i] + r[4][i] + 8) >> 4) + noise[i];
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
