#include "sdk/sim/SimScene.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "sdk/sim/SimMapping.h"
#include "sdk/sim/SimRender.h"

namespace {

// Standard deviation of the default rendering's own noise, in grey levels.
constexpr double BaseNoise = 2.9;
// Variance of the default optics' blur plus the projector's pixel sampling, in camera pixels².
constexpr double BaseBlurVariance = 1.5;
constexpr int GlareLevel = 240;

// The size rendered before the middle Width x Height is kept.
QSize RenderSize(int Width, int Height, const TSimOptics& Optics) {
  return {int(std::lround(Width * Optics.Zoom)), int(std::lround(Height * Optics.Zoom))};
}

bool InGlare(const TSimOptics& Optics, double X, double Y, int Width, int Height) {
  const double* g = Optics.Glare;
  return g[2] > g[0] && g[3] > g[1] && X >= g[0] * Width && X < g[2] * Width &&
         Y >= g[1] * Height && Y < g[3] * Height;
}

// One pass of Kernel along Count RGB pixels copied to Line; Put(i, channel, value) stores each.
template <typename TPut>
void BlurLine(const std::vector<std::uint8_t>& Line, int Count, const std::vector<int>& Kernel,
              int Total, TPut Put) {
  const int radius = int(Kernel.size() / 2);
  for (int i = 0; i < Count; ++i)
    for (int c = 0; c < 3; ++c) {
      int sum = 0;
      for (int k = -radius; k <= radius; ++k)
        sum += Kernel[std::size_t(k + radius)] *
               Line[std::size_t(std::clamp(i + k, 0, Count - 1)) * 3 + c];
      Put(i, c, std::uint8_t((sum + Total / 2) / Total));
    }
}

// A separable Gaussian blur of standard deviation Sigma over an RGB888 picture.
void Blur(QImage& Picture, double Sigma) {
  const int radius = int(std::ceil(3 * Sigma));
  std::vector<int> kernel(std::size_t(2 * radius + 1));
  for (int k = -radius; k <= radius; ++k)
    kernel[std::size_t(k + radius)] =
        int(std::lround(1024 * std::exp(-0.5 * k * k / (Sigma * Sigma))));
  int total = 0;
  for (int w : kernel) total += w;
  const int width = Picture.width(), height = Picture.height();
  std::vector<std::uint8_t> copy(std::size_t(std::max(width, height)) * 3);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = Picture.scanLine(y);
    std::copy_n(row, width * 3, copy.begin());
    BlurLine(copy, width, kernel, total,
             [&](int x, int c, std::uint8_t value) { row[x * 3 + c] = value; });
  }
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y)
      std::copy_n(Picture.constScanLine(y) + x * 3, 3, &copy[std::size_t(y) * 3]);
    BlurLine(copy, height, kernel, total, [&](int y, int c, std::uint8_t value) {
      Picture.scanLine(y)[x * 3 + c] = value;
    });
  }
}

}  // namespace

QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot, const std::atomic<bool>* Cancel) {
  if (Optics.Default()) return SimRenderScene(Frame, Width, Height, Seed, Cancel);
  const QSize size = RenderSize(Width, Height, Optics);
  QImage scene = SimRenderScene(Frame, size.width(), size.height(), Seed, Cancel);
  if (scene.isNull()) return scene;
  const bool nudged = Optics.NudgeFrom && Shot >= Optics.NudgeFrom;
  const int left = (size.width() - Width) / 2 - (nudged ? Optics.NudgeX : 0);
  const int top = (size.height() - Height) / 2 - (nudged ? Optics.NudgeY : 0);
  // What moves beyond the rendered scene repeats its edge: the room around the target.
  QImage photo(Width, Height, QImage::Format_RGB888);
  for (int y = 0; y < Height; ++y) {
    const std::uint8_t* in = scene.constScanLine(std::clamp(top + y, 0, size.height() - 1));
    std::uint8_t* out = photo.scanLine(y);
    for (int x = 0; x < Width; ++x)
      std::copy_n(in + std::clamp(left + x, 0, size.width() - 1) * 3, 3, out + x * 3);
  }
  if (Optics.Blur > 0) Blur(photo, Optics.Blur);
  const std::uint32_t mix = SimHash(Seed ^ 0x51ed270bU);
  for (int y = 0; y < Height; ++y) {
    std::uint8_t* row = photo.scanLine(y);
    for (int x = 0; x < Width; ++x) {
      const int extra = Optics.Ambient + (InGlare(Optics, x, y, Width, Height) ? GlareLevel : 0);
      for (int c = 0; c < 3; ++c) {
        double level = (row[x * 3 + c] + extra) * Optics.Exposure;
        if (Optics.Noise > 0) {
          // Roughly normal: the sum of four uniform draws, scaled to the asked deviation.
          const std::uint32_t bits = SimHash(std::uint32_t((y * Width + x) * 3 + c) ^ mix);
          const double sum =
              (bits & 255) + ((bits >> 8) & 255) + ((bits >> 16) & 255) + (bits >> 24);
          level += (sum - 510.0) / 147.8 * Optics.Noise;
        }
        row[x * 3 + c] = std::uint8_t(std::clamp(std::lround(level), 0L, 255L));
      }
    }
  }
  return photo;
}

QPointF SimPhotoPoint(int FrameWidth, int FrameHeight, int Width, int Height,
                      const TSimOptics& Optics, double X, double Y) {
  const QSize size = RenderSize(Width, Height, Optics);
  const TSimMapping mapping(FrameWidth, FrameHeight, size.width(), size.height());
  return mapping.ToCamera(X, Y) - QPointF((size.width() - Width) / 2, (size.height() - Height) / 2);
}

std::vector<TSimPointTruth> SimPointTruth(int FrameWidth, int FrameHeight, int Width, int Height,
                                          const TSimOptics& Optics,
                                          const std::vector<QPointF>& TopLefts, int Size,
                                          int Spacing) {
  const double sigma = std::sqrt(BaseBlurVariance + Optics.Blur * Optics.Blur);
  const double noise = std::hypot(BaseNoise * Optics.Exposure, Optics.Noise);
  const double reach = 2 + 2 * Optics.Blur;
  const int renderHeight = RenderSize(Width, Height, Optics).height();
  const int top = (renderHeight - Height) / 2;
  auto at = [&](double X, double Y) {
    return SimPhotoPoint(FrameWidth, FrameHeight, Width, Height, Optics, X, Y);
  };
  // Each square's extent in the photo, and which projector corners hold a square.
  struct TBox {
    double X0, Y0, X1, Y1;
  };
  auto box = [&](const QPointF& Corner) {
    const QPointF c[4] = {at(Corner.x(), Corner.y()), at(Corner.x() + Size, Corner.y()),
                          at(Corner.x() + Size, Corner.y() + Size),
                          at(Corner.x(), Corner.y() + Size)};
    TBox b{c[0].x(), c[0].y(), c[0].x(), c[0].y()};
    for (const QPointF& p : c) {
      b.X0 = std::min(b.X0, p.x()), b.X1 = std::max(b.X1, p.x());
      b.Y0 = std::min(b.Y0, p.y()), b.Y1 = std::max(b.Y1, p.y());
    }
    return b;
  };
  std::set<std::pair<long, long>> squares;
  for (const QPointF& corner : TopLefts) squares.insert({std::lround(corner.x()), std::lround(corner.y())});
  // Share of a lit square's light that the blur leaves at (X, Y).
  auto share = [&](const TBox& B, double X, double Y) {
    auto along = [&](double A0, double A1, double A) {
      return 0.5 * (std::erf((A1 - A) / (M_SQRT2 * sigma)) - std::erf((A0 - A) / (M_SQRT2 * sigma)));
    };
    return along(B.X0, B.X1, X) * along(B.Y0, B.Y1, Y);
  };
  // Light of the square's neighbours within two steps at (X, Y), all lit.
  const int steps = Spacing > 0 ? 2 : 0;
  auto neighbours = [&](const QPointF& Corner, double X, double Y) {
    double light = 0;
    for (int dy = -steps; dy <= steps; ++dy)
      for (int dx = -steps; dx <= steps; ++dx) {
        const QPointF other = Corner + QPointF(dx * Spacing, dy * Spacing);
        if ((dx || dy) && squares.count({std::lround(other.x()), std::lround(other.y())}))
          light += share(box(other), X, Y);
      }
    return light;
  };
  std::vector<TSimPointTruth> truths;
  truths.reserve(TopLefts.size());
  for (const QPointF& corner : TopLefts) {
    const TBox b = box(corner);
    TSimPointTruth truth;
    truth.Centre = at(corner.x() + Size / 2.0, corner.y() + Size / 2.0);
    const QPointF& c = truth.Centre;
    if (c.x() < 0 || c.y() < 0 || c.x() >= Width || c.y() >= Height)
      truth.View = TSimPointTruth::TView::Outside;
    else if (b.X0 - reach < 0 || b.Y0 - reach < 0 || b.X1 + reach >= Width ||
             b.Y1 + reach >= Height)
      truth.View = TSimPointTruth::TView::Edge;
    else
      truth.View = TSimPointTruth::TView::Inside;
    if (truth.View == TSimPointTruth::TView::Inside) {
      const double room =
          SimAmbientTop + double(SimAmbientBottom - SimAmbientTop) * (c.y() + top) / renderHeight;
      const double ambient =
          room + Optics.Ambient + (InGlare(Optics, c.x(), c.y(), Width, Height) ? GlareLevel : 0);
      auto sensor = [&](double Light) { return std::clamp(Light * Optics.Exposure, 0.0, 255.0); };
      // Levels at the point's middle: every square lit, and all but this one lit.
      const double others = neighbours(corner, c.x(), c.y());
      const double lit = sensor(ambient + SimLitGain * (share(b, c.x(), c.y()) + others));
      const double unlit = sensor(ambient + SimLitGain * others);
      // The lowest level on the way to a neighbour, all lit: where two points meet,
      // halfway to each neighbour in its row and column.
      double dip = lit - sensor(ambient);
      for (const QPointF& step : {QPointF(-1, 0), QPointF(1, 0), QPointF(0, -1), QPointF(0, 1)}) {
        const QPointF other = corner + step * Spacing;
        if (!squares.count({std::lround(other.x()), std::lround(other.y())})) continue;
        const QPointF half = at(corner.x() + (Size + step.x() * Spacing) / 2.0,
                                corner.y() + (Size + step.y() * Spacing) / 2.0);
        const double between =
            sensor(ambient + SimLitGain * (share(b, half.x(), half.y()) +
                                           neighbours(corner, half.x(), half.y())));
        dip = std::min(dip, lit - between);
      }
      // Readable: the point's own light stands clear of the noise, and it stands apart
      // from its neighbours by a quarter of its light (about the classic resolution limit).
      truth.Readable =
          lit - unlit >= 5 * noise && dip >= std::max(3 * noise, 0.25 * (lit - sensor(ambient)));
    }
    truths.push_back(truth);
  }
  return truths;
}
