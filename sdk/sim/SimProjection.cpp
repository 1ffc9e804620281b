#include "sdk/sim/SimProjection.h"

#include <cmath>
#include <mutex>
#include <thread>

#include "sdk/sim/SimRender.h"

namespace {

// Pixels are worked out exactly at the corners of cells of Cell x Cell pixels and
// in between by interpolation, where the cell's middle shows that to be exact to
// Tolerance projector pixels (a quarter of the weights' step); cells that a
// surface's edge or a shadow's crosses are worked out pixel by pixel.
constexpr int Cell = 8;
constexpr double Tolerance = 1.0 / 1024;

// What a camera pixel's ray meets: the surface, whether the projector lights it and
// from which of its pixels, how strongly, the board's coordinates there and the distance.
struct TSample {
  TSimSurface Surface = TSimSurface::None;
  bool Lit = false;
  double U = 0, V = 0, Shade = 0, BoardX = 0, BoardY = 0, Distance = 0;
};

TSample Sample(const TSimGeometry& Geometry, double X, double Y, double& RayX, double& RayY,
               bool Seeded) {
  Geometry.Camera.Undistort(X, Y, RayX, RayY, Seeded);
  const TSimHit hit = Geometry.Cast({0, 0, 0}, {RayX, RayY, 1});
  TSample s;
  s.Surface = hit.Surface;
  if (hit.Surface == TSimSurface::None) return s;
  s.BoardX = hit.BoardX;
  s.BoardY = hit.BoardY;
  s.Distance = Length(hit.Point);
  s.Lit = Geometry.Lit(hit) && Geometry.ProjectorPixel(hit.Point, s.U, s.V);
  if (s.Lit) s.Shade = Geometry.Shade(hit);
  return s;
}

TSample Mix(const TSample& A, const TSample& B, double T) {
  TSample s = A;
  s.U += (B.U - A.U) * T;
  s.V += (B.V - A.V) * T;
  s.Shade += (B.Shade - A.Shade) * T;
  s.BoardX += (B.BoardX - A.BoardX) * T;
  s.BoardY += (B.BoardY - A.BoardY) * T;
  s.Distance += (B.Distance - A.Distance) * T;
  return s;
}

// The light's place in the frame at one of Spots' places.
void Place(const TSimProjection& P, TSimProjection::TSpots& Spots, std::size_t At,
           const TSample& S) {
  // Sample position in the padded frame, whose pixel centres sit on integers.
  const long iu = std::lrint((S.U + 1) * 256), iv = std::lrint((S.V + 1) * 256);
  if (iu < 0 || iv < 0 || iu >= (P.FrameWidth + 1) * 256L || iv >= (P.FrameHeight + 1) * 256L)
    return;
  Spots.Offset[At] = std::uint32_t((iv >> 8) * (P.FrameWidth + 2) * 3 + (iu >> 8) * 3);
  Spots.WeightX[At] = std::uint8_t(iu & 255);
  Spots.WeightY[At] = std::uint8_t(iv & 255);
}

void Store(TSimProjection& P, const TSimGeometry& Geometry, int X, int Y, const TSample& S) {
  if (S.Surface == TSimSurface::None) return;
  const std::size_t at = std::size_t(Y) * P.Width + X;
  TSimHit hit;
  hit.Surface = S.Surface;
  hit.BoardX = S.BoardX;
  hit.BoardY = S.BoardY;
  const double albedo = Geometry.Albedo(hit, S.Distance / Geometry.Camera.Fx);
  const int room = SimAmbientTop + (SimAmbientBottom - SimAmbientTop) * Y / P.Height;
  P.Ambient[at] = std::uint8_t(std::lrint(room * albedo));
  if (!S.Lit) return;
  Place(P, P.Centres, at, S);
  P.Gathers[at] = std::uint8_t(S.Surface);
  P.Gain[at] = std::uint8_t(std::lrint(SimLitGain * S.Shade * albedo));
}

void StoreCorner(TSimProjection& P, const TSimGeometry&, int X, int Y, const TSample& S) {
  if (!S.Lit) return;
  const std::size_t at = std::size_t(Y) * (P.Width + 1) + X;
  Place(P, P.Corners, at, S);
  P.CornerSurface[at] = std::uint8_t(S.Surface);
}

// The cells of rows of cells FirstCell to EndCell: of the pixels' centres, or with
// Corners of their corners (a grid one larger each way, half a pixel up and left).
void Build(TSimProjection& P, const TSimGeometry& Geometry, int FirstCell, int EndCell,
           bool Corners) {
  const int width = P.Width + Corners, height = P.Height + Corners;
  const double shift = Corners ? -0.5 : 0;
  auto sample = [&](int X, int Y, double& RayX, double& RayY, bool Seeded) {
    return Sample(Geometry, X + shift, Y + shift, RayX, RayY, Seeded);
  };
  auto store = Corners ? StoreCorner : Store;
  const int columns = (width - 1 + Cell - 1) / Cell;
  auto corner = [&](int K, int Side) { return std::min(K * Cell, Side - 1); };
  std::vector<TSample> above(std::size_t(columns) + 1), below(above.size());
  double rx = 0, ry = 0;
  for (int k = 0; k <= columns; ++k)
    above[std::size_t(k)] = sample(corner(k, width), corner(FirstCell, height), rx, ry, k > 0);
  for (int cy = FirstCell; cy < EndCell; ++cy) {
    const int y0 = corner(cy, height), y1 = corner(cy + 1, height);
    for (int k = 0; k <= columns; ++k)
      below[std::size_t(k)] = sample(corner(k, width), y1, rx, ry, k > 0);
    const bool last = cy + 1 == EndCell;
    for (int cx = 0; cx < columns; ++cx) {
      const int x0 = corner(cx, width), x1 = corner(cx + 1, width);
      const TSample* c[4] = {&above[std::size_t(cx)], &above[std::size_t(cx) + 1],
                             &below[std::size_t(cx)], &below[std::size_t(cx) + 1]};
      bool even = true;
      for (const TSample* s : c) even &= s->Surface == c[0]->Surface && s->Lit == c[0]->Lit;
      const double tx = double((x1 - x0) / 2) / (x1 - x0), ty = double((y1 - y0) / 2) / (y1 - y0);
      if (even) {
        const TSample mid = sample(x0 + (x1 - x0) / 2, y0 + (y1 - y0) / 2, rx, ry, false);
        const TSample guess = Mix(Mix(*c[0], *c[1], tx), Mix(*c[2], *c[3], tx), ty);
        even = mid.Surface == c[0]->Surface && mid.Lit == c[0]->Lit &&
               std::abs(mid.U - guess.U) < Tolerance && std::abs(mid.V - guess.V) < Tolerance;
      }
      // The cell's own rows, and its bottom row when no cell comes below it.
      for (int y = y0; y < y1 + (last && y1 == height - 1); ++y) {
        const double v = double(y - y0) / (y1 - y0);
        const TSample left = Mix(*c[0], *c[2], v), right = Mix(*c[1], *c[3], v);
        for (int x = x0; x < x1 + (x1 == width - 1); ++x)
          store(P, Geometry, x, y,
                even ? Mix(left, right, double(x - x0) / (x1 - x0)) : sample(x, y, rx, ry, x > x0));
      }
    }
    above.swap(below);
  }
}

// Into Recycled, a projection no longer in use, when there is one: its memory is
// already the process's.
std::shared_ptr<TSimProjection> Make(int FrameWidth, int FrameHeight, int Width, int Height,
                                     double Zoom, const TSimStage& Stage,
                                     std::shared_ptr<TSimProjection> Recycled) {
  auto projection = Recycled ? std::move(Recycled) : std::make_shared<TSimProjection>();
  TSimProjection& p = *projection;
  p.FrameWidth = FrameWidth;
  p.FrameHeight = FrameHeight;
  p.Width = Width;
  p.Height = Height;
  p.Zoom = Zoom;
  p.Stage = Stage;
  const std::size_t pixels = std::size_t(Width) * Height;
  const std::size_t corners = std::size_t(Width + 1) * (Height + 1);
  for (auto [spots, count] : {std::pair{&p.Centres, pixels}, std::pair{&p.Corners, corners}}) {
    spots->Offset.assign(count, 0);
    spots->WeightX.assign(count, 0);
    spots->WeightY.assign(count, 0);
  }
  p.Gain.assign(pixels, 0);
  p.Gathers.assign(pixels, 0);
  p.CornerSurface.assign(corners, 0);
  p.Ambient.assign(pixels, 0);
  const TSimGeometry geometry(Width, Height, FrameWidth, FrameHeight, Zoom, Stage);
  // Two threads, each its own rows of cells, the centres' and then the corners'.
  for (const bool cornerPass : {false, true}) {
    const int rows = (Height + cornerPass - 1 + Cell - 1) / Cell;
    std::thread lower(Build, std::ref(p), std::cref(geometry), rows / 2, rows, cornerPass);
    Build(p, geometry, 0, rows / 2, cornerPass);
    lower.join();
  }
  for (int y = 0; y < Height; ++y)
    for (int x = 0; x < Width; ++x) {
      std::uint8_t& gathers = p.Gathers[std::size_t(y) * Width + x];
      const std::uint8_t* above = &p.CornerSurface[std::size_t(y) * (Width + 1) + x];
      const std::uint8_t* below = above + Width + 1;
      gathers = gathers && above[0] == gathers && above[1] == gathers && below[0] == gathers &&
                below[1] == gathers;
    }
  return projection;
}

struct TCache {
  std::mutex Lock;
  std::shared_ptr<TSimProjection> Last[2];
};

}  // namespace

std::shared_ptr<const TSimProjection> SimProjectionFor(int FrameWidth, int FrameHeight, int Width,
                                                       int Height, double Zoom,
                                                       const TSimStage& Stage) {
  // Never destroyed: a camera's thread may still render while exit-time destructors run.
  static TCache* const cache = new TCache;
  std::lock_guard guard(cache->Lock);
  auto fits = [&](const std::shared_ptr<TSimProjection>& P) {
    return P && P->FrameWidth == FrameWidth && P->FrameHeight == FrameHeight && P->Width == Width &&
           P->Height == Height && P->Zoom == Zoom && P->Stage == Stage;
  };
  if (fits(cache->Last[1])) std::swap(cache->Last[0], cache->Last[1]);
  if (!fits(cache->Last[0])) {
    // Copies are handed out under the lock: with none left, the oldest can be reused.
    std::shared_ptr<TSimProjection> oldest = std::move(cache->Last[1]);
    if (oldest && oldest.use_count() > 1) oldest.reset();
    cache->Last[1] = std::move(cache->Last[0]);
    cache->Last[0] = Make(FrameWidth, FrameHeight, Width, Height, Zoom, Stage, std::move(oldest));
  }
  return cache->Last[0];
}
