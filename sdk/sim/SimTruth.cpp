#include "sdk/sim/SimTruth.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "sdk/sim/SimRender.h"

namespace {

// Standard deviation of the default rendering's own noise, in grey levels.
constexpr double BaseNoise = 2.9;
// Variance of the default optics' blur, the projector's pixel sampling and the camera
// pixel's gathering (half at its centre, an eighth at each corner: 1/8), in camera pixels².
constexpr double BaseBlurVariance = 1.625;
constexpr int GlareLevel = 240;
// Projector points this far inside a square's corners stand for them.
constexpr double Inset = 0.02;

bool InGlare(const TSimOptics& Optics, double X, double Y, int Width, int Height) {
  const double* g = Optics.Glare;
  return g[2] > g[0] && g[3] > g[1] && X >= g[0] * Width && X < g[2] * Width &&
         Y >= g[1] * Height && Y < g[3] * Height;
}

// A small piece of a square's light in the photo: its place, and its level times the
// area it covers there (grey levels times pixels²).
struct TPiece {
  double X = 0, Y = 0, Light = 0;
};

// The part of a square's light that falls on one surface, as the camera sees it: its
// extent in the photo (its corners'), its middle and its pieces, and the extent of
// those. A square whose light a rim splits, or that the camera sees only partly, has
// one part per surface seen.
struct TPatch {
  std::size_t Square = 0;
  TSimSurface Surface = TSimSurface::None;
  double X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
  QPointF Centre;
  std::vector<TPiece> Pieces;
  double PiecesX0 = 0, PiecesY0 = 0, PiecesX1 = 0, PiecesY1 = 0;
};

}  // namespace

const char* SimViewName(TSimPointTruth::TView View) {
  switch (View) {
    case TSimPointTruth::TView::Inside:
      return "inside";
    case TSimPointTruth::TView::Edge:
      return "edge";
    case TSimPointTruth::TView::Shadow:
      return "shadow";
    case TSimPointTruth::TView::Hidden:
      return "hidden";
    case TSimPointTruth::TView::Outside:
      break;
  }
  return "outside";
}

std::vector<TSimPointTruth> SimPointTruth(int FrameWidth, int FrameHeight, int Width, int Height,
                                          const TSimOptics& Optics,
                                          const std::vector<QPointF>& TopLefts, int Size,
                                          int Spacing, const TSimStage& Stage) {
  const TSimGeometry g(Width, Height, FrameWidth, FrameHeight, Optics.Zoom, Stage);
  const double sigma = std::sqrt(BaseBlurVariance + Optics.Blur * Optics.Blur);
  const double noise = std::hypot(BaseNoise * Optics.Exposure, Optics.Noise);
  const double reach = 2 + 2 * Optics.Blur;
  auto place = [&](const TSimVec& Point) {
    double u = NAN, v = NAN;
    g.Camera.Project(Point, u, v);
    return QPointF(u + 0.5, v + 0.5);
  };
  auto photo = [&](const TSimHit& Hit) {
    return Hit.Surface != TSimSurface::None ? place(Hit.Point) : QPointF(NAN, NAN);
  };
  auto lightOf = [&](const TSimHit& Hit) { return SimLitGain * g.Shade(Hit) * g.Albedo(Hit); };
  // Photo pixels² per projector pixel² where projector pixel (U, V) lights Hit, seen
  // at Q: the rays a step right and down, met on the surface's tangent plane there.
  auto spread = [&](const TSimHit& Hit, double U, double V, const QPointF& Q) {
    constexpr double Step = 0.01;
    QPointF side[2];
    for (int k = 0; k < 2; ++k) {
      const TSimVec ray =
          g.CameraFromProjector.Turn(g.Projector.Ray(U + Step * (k == 0), V + Step * (k == 1)));
      const double t = Dot(Hit.Normal, Hit.Point - g.ProjectorCentre) / Dot(Hit.Normal, ray);
      side[k] = place(g.ProjectorCentre + t * ray) - Q;
    }
    return std::abs(side[0].x() * side[1].y() - side[0].y() * side[1].x()) / (Step * Step);
  };
  const std::size_t n = TopLefts.size();
  std::vector<TSimPointTruth> truths(n);
  std::vector<TPatch> patches;
  std::vector<std::size_t> own(n, SIZE_MAX);  // each square's patch on its middle's surface
  std::vector<double> albedo(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    TSimPointTruth& truth = truths[i];
    // Projector pixel (c, r) covers [c, c+1) here; its centre is (c, r) to the projector.
    const double x0 = TopLefts[i].x() - 0.5, y0 = TopLefts[i].y() - 0.5;
    const TSimHit middle = g.FromProjector(x0 + Size / 2.0, y0 + Size / 2.0);
    truth.Centre = photo(middle);
    truth.Surface = middle.Point;
    const QPointF c = truth.Centre;
    if (middle.Surface == TSimSurface::None ||
        !(c.x() >= 0 && c.y() >= 0 && c.x() < Width && c.y() < Height))
      continue;  // outside
    // The corners, and where they disagree a grid over the whole square: the parts
    // of its light on each surface that the camera sees.
    const bool seen = g.Seen(middle);
    albedo[i] = g.Albedo(middle);
    bool rim = false, hidden = !seen;
    double darkest = albedo[i], brightest = albedo[i];
    std::vector<TSimHit> samples;
    for (int pass = 0, steps = 1; pass < 2; ++pass, steps = 4) {
      samples.clear();
      for (int ky = 0; ky <= steps; ++ky)
        for (int kx = 0; kx <= steps; ++kx) {
          const double t = (Size - 2 * Inset) / steps;
          samples.push_back(g.FromProjector(x0 + Inset + kx * t, y0 + Inset + ky * t));
          const TSimHit& s = samples.back();
          rim |= s.Surface != middle.Surface;
          hidden |= !g.Seen(s);
          darkest = std::min(darkest, g.Albedo(s));
          brightest = std::max(brightest, g.Albedo(s));
        }
      if (!rim && !hidden) break;
    }
    const TSimSurface surfaces[] = {middle.Surface, TSimSurface::Wall, TSimSurface::Board,
                                    TSimSurface::Sphere};
    const std::size_t first = patches.size();
    for (std::size_t k = 0; k < std::size(surfaces); ++k) {
      const TSimSurface surface = surfaces[k];
      if (k > 0 && surface == middle.Surface) continue;
      TPatch patch{i, surface, 0, 0, 0, 0, {}, {}};
      int count = 0;
      for (const TSimHit& s : samples) {
        if (s.Surface != surface || !g.Seen(s)) continue;
        const QPointF q = photo(s);
        if (count++ == 0) {
          patch = {i, surface, q.x(), q.y(), q.x(), q.y(), q, {}};
          continue;
        }
        patch.X0 = std::min(patch.X0, q.x()), patch.X1 = std::max(patch.X1, q.x());
        patch.Y0 = std::min(patch.Y0, q.y()), patch.Y1 = std::max(patch.Y1, q.y());
      }
      if (surface == middle.Surface && seen) {
        patch.Centre = c;
        if (count == 0) patch.X0 = patch.X1 = c.x(), patch.Y0 = patch.Y1 = c.y();
        own[i] = patches.size();
      } else if (count == 0) {
        continue;
      } else {
        patch.Centre = QPointF((patch.X0 + patch.X1) / 2, (patch.Y0 + patch.Y1) / 2);
      }
      patches.push_back(patch);
      truth.Parts.push_back(patch.Centre);
    }
    // The pieces of light that the camera sees, each with the part on its surface (a
    // piece on a surface that no corner or grid sample met is left out): pieces at most
    // two thirds of the blur's width apart in the photo, at least 4 x 4 of them.
    double extent = 0;
    for (std::size_t k = first; k < patches.size(); ++k)
      extent = std::max({extent, patches[k].X1 - patches[k].X0, patches[k].Y1 - patches[k].Y0});
    const int cuts = std::clamp(int(std::ceil(1.5 * extent / sigma)), 4, 64);
    const double piece = double(Size) / cuts;
    for (std::size_t k = first; k < patches.size(); ++k) {
      TPatch& p = patches[k];
      p.PiecesX0 = p.X0, p.PiecesY0 = p.Y0, p.PiecesX1 = p.X1, p.PiecesY1 = p.Y1;
    }
    for (int ky = 0; ky < cuts; ++ky)
      for (int kx = 0; kx < cuts; ++kx) {
        const double u = x0 + (kx + 0.5) * piece, v = y0 + (ky + 0.5) * piece;
        const TSimHit s = g.FromProjector(u, v);
        if (s.Surface == TSimSurface::None || !g.Seen(s)) continue;
        const QPointF q = photo(s);
        const double light = lightOf(s) * spread(s, u, v, q) * piece * piece;
        // Where the tangent plane gives no place (a surface seen edge-on), none is counted.
        if (!std::isfinite(light) || !std::isfinite(q.x()) || !std::isfinite(q.y())) continue;
        for (std::size_t k = first; k < patches.size(); ++k) {
          TPatch& p = patches[k];
          if (p.Surface != s.Surface) continue;
          p.Pieces.push_back({q.x(), q.y(), light});
          p.PiecesX0 = std::min(p.PiecesX0, q.x()), p.PiecesX1 = std::max(p.PiecesX1, q.x());
          p.PiecesY0 = std::min(p.PiecesY0, q.y()), p.PiecesY1 = std::max(p.PiecesY1, q.y());
          break;
        }
      }
    truth.AcrossPrint = brightest - darkest > 0.1;
    const TPatch* p = own[i] == SIZE_MAX ? nullptr : &patches[own[i]];
    if (!seen)
      truth.View = TSimPointTruth::TView::Hidden;
    else if (rim)
      truth.View = TSimPointTruth::TView::Shadow;
    else if (hidden)
      truth.View = TSimPointTruth::TView::Hidden;
    else if (p->X0 - reach < 0 || p->Y0 - reach < 0 || p->X1 + reach >= Width ||
             p->Y1 + reach >= Height)
      truth.View = TSimPointTruth::TView::Edge;
    else
      truth.View = TSimPointTruth::TView::Inside;
  }

  // The parts, filed by photo cell, to find those around a place.
  double cell = 8;
  for (const TPatch& p : patches) cell = std::max(cell, std::max(p.X1 - p.X0, p.Y1 - p.Y0));
  cell = cell * Spacing / std::max(1, Size) + 6 * sigma;
  std::map<std::pair<int, int>, std::vector<std::size_t>> grid;
  auto key = [&](const QPointF& P) {
    return std::pair{int(std::floor(P.x() / cell)), int(std::floor(P.y() / cell))};
  };
  for (std::size_t k = 0; k < patches.size(); ++k) grid[key(patches[k].Centre)].push_back(k);
  auto around = [&](const QPointF& P, auto Visit) {
    const auto [kx, ky] = key(P);
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const auto found = grid.find({kx + dx, ky + dy});
        if (found != grid.end())
          for (std::size_t k : found->second) Visit(patches[k]);
      }
  };
  // The level a lit part adds at (X, Y) once the blur spreads its pieces.
  auto level = [&](const TPatch& P, double X, double Y) {
    const double far = 5 * sigma;
    if (X < P.PiecesX0 - far || X > P.PiecesX1 + far || Y < P.PiecesY0 - far ||
        Y > P.PiecesY1 + far)
      return 0.0;
    double sum = 0;
    for (const TPiece& piece : P.Pieces) {
      const double dx = piece.X - X, dy = piece.Y - Y;
      sum += piece.Light * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
    }
    return sum / (2 * M_PI * sigma * sigma);
  };
  // The light of every lit square but Except at (X, Y).
  auto others = [&](double X, double Y, std::size_t Except) {
    double sum = 0;
    around(QPointF(X, Y), [&](const TPatch& P) {
      if (P.Square != Except) sum += level(P, X, Y);
    });
    return sum;
  };
  for (std::size_t i = 0; i < n; ++i) {
    TSimPointTruth& truth = truths[i];
    if (truth.View != TSimPointTruth::TView::Inside) continue;
    const TPatch& mine = patches[own[i]];
    const QPointF c = mine.Centre;
    const double room = SimAmbientTop + double(SimAmbientBottom - SimAmbientTop) * c.y() / Height;
    const double ambient = room * albedo[i] + Optics.Ambient +
                           (InGlare(Optics, c.x(), c.y(), Width, Height) ? GlareLevel : 0);
    auto sensor = [&](double Light) { return std::clamp(Light * Optics.Exposure, 0.0, 255.0); };
    // Levels at the point's middle: every square lit, and all but this one lit.
    const double rest = others(c.x(), c.y(), i);
    const double lit = sensor(ambient + level(mine, c.x(), c.y()) + rest);
    const double unlit = sensor(ambient + rest);
    // The lowest level on the way to the light next to it in the photo, all lit:
    // halfway to each part within half as far again as the nearest.
    std::vector<std::pair<double, QPointF>> near;
    around(c, [&](const TPatch& P) {
      if (P.Square != i)
        near.push_back({std::hypot(P.Centre.x() - c.x(), P.Centre.y() - c.y()), P.Centre});
    });
    std::sort(near.begin(), near.end(),
              [](const auto& A, const auto& B) { return A.first < B.first; });
    double dip = lit - sensor(ambient);
    for (const auto& [distance, other] : near) {
      if (distance > 1.5 * near.front().first) break;
      const QPointF half = (c + other) / 2;
      const double between =
          sensor(ambient + level(mine, half.x(), half.y()) + others(half.x(), half.y(), i));
      dip = std::min(dip, lit - between);
    }
    // Readable: the point's own light stands clear of the noise, and it stands apart
    // from its neighbours by a quarter of its light (about the classic resolution limit).
    truth.Light = lit - sensor(ambient);
    truth.Readable =
        lit - unlit >= 5 * noise && dip >= std::max(3 * noise, 0.25 * (lit - sensor(ambient)));
  }
  return truths;
}

std::vector<QPointF> TSimRaster::TopLefts() const {
  std::vector<QPointF> corners;
  for (int r = 0; r < Rows; ++r)
    for (int c = 0; c < Columns; ++c)
      corners.emplace_back(OffsetX + c * Spacing, OffsetY + r * Spacing);
  return corners;
}

std::optional<TSimRaster> SimRasterOf(const QImage& Frame) {
  if (Frame.isNull()) return std::nullopt;
  const QImage frame = Frame.convertToFormat(QImage::Format_RGB888);
  const int w = frame.width(), h = frame.height();
  std::vector<char> column(std::size_t(w), 0), row(std::size_t(h), 0);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* p = frame.constScanLine(y);
    for (int x = 0; x < w; ++x)
      if (std::max({p[x * 3], p[x * 3 + 1], p[x * 3 + 2]}) >= 128) column[x] = row[y] = 1;
  }
  // Runs of lit columns (rows): one per raster column (row), Size wide, Spacing apart.
  auto runs = [](const std::vector<char>& Lit, int& Offset, int& Count, int& Size, int& Spacing) {
    std::vector<std::pair<int, int>> found;  // start, length
    for (int i = 0; i < int(Lit.size()); ++i)
      if (Lit[i] && (i == 0 || !Lit[i - 1]))
        found.push_back({i, 0});
      else if (!Lit[i] && i > 0 && Lit[i - 1])
        found.back().second = i - found.back().first;
    if (!found.empty() && found.back().second == 0)
      found.back().second = int(Lit.size()) - found.back().first;
    if (found.empty()) return false;
    Offset = found[0].first;
    Count = int(found.size());
    Size = found[0].second;
    Spacing = Count > 1 ? found[1].first - found[0].first : Size + 1;
    for (int k = 0; k < Count; ++k)
      if (found[k].first != Offset + k * Spacing || found[k].second > Size ||
          (k + 1 < Count && found[k].second != Size))
        return false;
    return true;
  };
  TSimRaster raster;
  int size = 0, spacing = 0;
  if (!runs(column, raster.OffsetX, raster.Columns, raster.Size, raster.Spacing) ||
      !runs(row, raster.OffsetY, raster.Rows, size, spacing) || size != raster.Size ||
      (raster.Rows > 1 && raster.Columns > 1 && spacing != raster.Spacing))
    return std::nullopt;
  if (raster.Columns == 1) raster.Spacing = spacing;
  for (const QPointF& corner : raster.TopLefts()) {
    const std::uint8_t* p = frame.constScanLine(int(corner.y())) + int(corner.x()) * 3;
    if (std::max({p[0], p[1], p[2]}) < 128) return std::nullopt;
  }
  return raster;
}
