#include "geometry/CornerFit.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "geometry/Triangulation.h"

namespace {

// How Lens bends the straight edge through Corner along Direction: the edge passes
// Bend * s^2 across from its tangent at s pixels along it (against the normal that
// FitCorner gives the edge). Zero without a lens, or where the lens cannot be undone.
double LensBend(const TCameraModel* Lens, cv::Point2f Corner, cv::Point2f Direction) {
  constexpr double Reach = 20;  // pixels either side
  const cv::Point2d at(Corner), along = cv::Point2d(Direction) / cv::norm(Direction);
  cv::Point2d middle, ahead, behind;
  if (!Lens || Lens->Distortion.empty() || !UndistortPixel(*Lens, at, middle) ||
      !UndistortPixel(*Lens, at + Reach * along, ahead) ||
      !UndistortPixel(*Lens, at - Reach * along, behind))
    return 0;
  // The straight line in the undistorted image, taken back through the lens on both sides.
  const cv::Point2d forward = DistortedPixel(*Lens, middle + (ahead - behind) / 2);
  const cv::Point2d back = DistortedPixel(*Lens, middle - (ahead - behind) / 2);
  const cv::Point2d normal(-along.y, along.x), bow = (forward + back) / 2 - at;
  const double reach = cv::norm(forward - back) / 2;
  return reach > 0 ? -normal.dot(bow) / (reach * reach) : 0;
}

// The print about one inner corner as a photo shows it: two straight edges through
// the corner, each a step blurred by the lens, the squares' light and dark in turn
// (their product), on light that slopes across the window. Fitted by least squares to
// the pixels about Corner, it moves Corner to where the edges cross. Along and Down
// step to the next corners of the grid: the window reaches most of the way to them,
// never to the next edges of the print. False, and Corner as it was, when the fit
// does not settle on a corner near its start. With Lens, each edge is bent as the lens
// bends a straight edge there.
bool FitCorner(const cv::Mat& Gray, cv::Point2f& Corner, cv::Point2f Along, cv::Point2f Down,
               const TCameraModel* Lens) {
  const double along = cv::norm(Along), down = cv::norm(Down);
  const double turn = double(Along.x) * Down.y - double(Along.y) * Down.x;
  if (!(std::abs(turn) > 0.2 * along * down)) return false;
  // A straight edge fitted to a bent one takes the corner towards the bend's inside.
  const double bend1 = LensBend(Lens, Corner, Along), bend2 = LensBend(Lens, Corner, Down);
  const cv::Matx22d toGrid = cv::Matx22d(Along.x, Down.x, Along.y, Down.y).inv();
  // Most of the way to the next corners, and a blurred edge's reach short of the next edges.
  constexpr double Reach = 0.8, EdgeReachPx = 8, Flat = 0.6;
  const double reachA = std::min(Reach, 1 - EdgeReachPx / along);
  const double reachB = std::min(Reach, 1 - EdgeReachPx / down);
  if (!(reachA > 0.3 && reachB > 0.3)) return false;
  const double spanX = std::abs(reachA * Along.x) + std::abs(reachB * Down.x);
  const double spanY = std::abs(reachA * Along.y) + std::abs(reachB * Down.y);
  const int x0 = int(std::floor(Corner.x - spanX)), x1 = int(std::ceil(Corner.x + spanX));
  const int y0 = int(std::floor(Corner.y - spanY)), y1 = int(std::ceil(Corner.y + spanY));
  if (x0 < 0 || y0 < 0 || x1 >= Gray.cols || y1 >= Gray.rows) return false;
  // Flat over the middle, falling to nothing at the rim, so that a pixel crossing it moves no fit.
  auto taper = [&](double X, double Reach) {
    const double t = (std::abs(X) / Reach - Flat) / (1 - Flat);
    return t <= 0 ? 1.0 : t >= 1 ? 0.0 : std::pow(std::cos(M_PI / 2 * t), 2);
  };
  struct TPixel {
    double U, V, Level, Weight;
  };
  std::vector<TPixel> pixels;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const double u = x - Corner.x, v = y - Corner.y;
      const cv::Vec2d grid = toGrid * cv::Vec2d(u, v);
      const double weight = taper(grid[0], reachA) * taper(grid[1], reachB);
      if (weight > 0) pixels.push_back({u, v, double(Gray.at<std::uint8_t>(y, x)), weight});
    }
  // Corner's shift, the edges' normals (radians), the blur's sigma, then the light: mean,
  // the squares' half difference, slope along x and y, and the half difference's slope along
  // x and y. The light falling on the print multiplies the print's grey and white alike: a
  // slope only in the mean would draw the corner along it.
  constexpr int N = 11;
  cv::Vec<double, N> p(0, 0, std::atan2(Along.x, -Along.y), std::atan2(Down.x, -Down.y), 1.0);
  const double root2 = std::sqrt(2.0), gaussScale = std::sqrt(2 / M_PI);
  // The residuals' weighted sum of squares, and their normal equations when asked;
  // with Linear, the light is solved for first.
  auto evaluate = [&](cv::Vec<double, N>& P, bool Linear, cv::Matx<double, N, N>* Normal,
                      cv::Vec<double, N>* Gradient) {
    const double c1 = std::cos(P[2]), s1 = std::sin(P[2]), c2 = std::cos(P[3]), s2 = std::sin(P[3]);
    const double sigma = P[4], scale = 1 / (root2 * sigma);
    if (Linear) {
      cv::Matx<double, 6, 6> a = cv::Matx<double, 6, 6>::zeros();
      cv::Vec<double, 6> b = cv::Vec<double, 6>::all(0);
      for (const TPixel& q : pixels) {
        const double u = q.U - P[0], v = q.V - P[1];
        const double t1 = c1 * v - s1 * u, t2 = c2 * v - s2 * u;
        const double d1 = c1 * u + s1 * v + bend1 * t1 * t1, d2 = c2 * u + s2 * v + bend2 * t2 * t2;
        const double e = std::erf(d1 * scale) * std::erf(d2 * scale);
        const cv::Vec<double, 6> row(1, e, q.U, q.V, e * q.U, e * q.V);
        a += q.Weight * row * row.t();
        b += q.Weight * q.Level * row;
      }
      cv::Vec<double, 6> light;
      if (!cv::solve(a, b, light, cv::DECOMP_CHOLESKY)) return -1.0;
      for (int i = 0; i < 6; ++i) P[5 + i] = light[i];
    }
    double cost = 0;
    if (Normal) *Normal = cv::Matx<double, N, N>::zeros(), *Gradient = cv::Vec<double, N>::all(0);
    for (const TPixel& q : pixels) {
      const double u = q.U - P[0], v = q.V - P[1];
      // Across each edge (n), and along it (t), where the lens's bend moves it across.
      const double n1 = c1 * u + s1 * v, n2 = c2 * u + s2 * v;
      const double t1 = c1 * v - s1 * u, t2 = c2 * v - s2 * u;
      const double d1 = n1 + bend1 * t1 * t1, d2 = n2 + bend2 * t2 * t2;
      const double e1 = std::erf(d1 * scale), e2 = std::erf(d2 * scale);
      const double amplitude = P[6] + P[9] * q.U + P[10] * q.V;
      const double r = P[5] + amplitude * e1 * e2 + P[7] * q.U + P[8] * q.V - q.Level;
      cost += q.Weight * r * r;
      if (!Normal) continue;
      // Each edge's slope times the other's step: the level's change per pixel across the edge.
      const double g1 = amplitude * e2 * gaussScale / sigma * std::exp(-d1 * d1 * scale * scale);
      const double g2 = amplitude * e1 * gaussScale / sigma * std::exp(-d2 * d2 * scale * scale);
      const double b1 = 2 * bend1 * t1, b2 = 2 * bend2 * t2;
      const double jv[N] = {g1 * (b1 * s1 - c1) + g2 * (b2 * s2 - c2),
                            -g1 * (s1 + b1 * c1) - g2 * (s2 + b2 * c2),
                            g1 * (t1 - b1 * n1),
                            g2 * (t2 - b2 * n2),
                            -(g1 * d1 + g2 * d2) / sigma,
                            1,
                            e1 * e2,
                            q.U,
                            q.V,
                            e1 * e2 * q.U,
                            e1 * e2 * q.V};
      const cv::Vec<double, N> j(jv);
      // One triangle per pixel, mirrored once at the end: this sum is most of the search's time.
      for (int a = 0; a < N; ++a) {
        const double weighted = q.Weight * j[a];
        for (int b = a; b < N; ++b) (*Normal)(a, b) += weighted * j[b];
      }
      *Gradient += q.Weight * r * j;
    }
    for (int a = 1; Normal && a < N; ++a)
      for (int b = 0; b < a; ++b) (*Normal)(a, b) = (*Normal)(b, a);
    return cost;
  };
  double cost = evaluate(p, true, nullptr, nullptr);
  if (!(cost >= 0)) return false;
  // Levenberg-Marquardt, the damping scaled by the normal equations' diagonal.
  double damping = 1e-3;
  cv::Matx<double, N, N> normal;
  cv::Vec<double, N> gradient;
  bool settled = false;
  for (int round = 0; round < 50 && !settled; ++round) {
    evaluate(p, false, &normal, &gradient);
    for (int iteration = 0;; ++iteration) {
      cv::Matx<double, N, N> damped = normal;
      for (int i = 0; i < N; ++i) damped(i, i) *= 1 + damping;
      cv::Vec<double, N> step;
      if (iteration > 30 || !cv::solve(damped, -gradient, step, cv::DECOMP_CHOLESKY)) return false;
      cv::Vec<double, N> next = p + step;
      next[4] = std::max(next[4], 0.2);
      const double nextCost = evaluate(next, false, nullptr, nullptr);
      if (nextCost >= 0 && nextCost <= cost) {
        settled = std::hypot(step[0], step[1]) < 1e-4 || cost - nextCost < 1e-10 * cost;
        p = next, cost = nextCost, damping = std::max(damping / 4, 1e-7);
        break;
      }
      damping *= 8;
    }
    if (std::hypot(p[0], p[1]) > along + down) return false;
  }
  // A corner: edges well apart, a blur well within the window, a place that the pixels
  // fix to a fraction of a pixel (from the noise left), near where the grid's search put it.
  const double noise = std::sqrt(cost / double(pixels.size())), shortest = std::min(along, down);
  evaluate(p, false, &normal, &gradient);
  const cv::Matx<double, N, N> spread = normal.inv(cv::DECOMP_CHOLESKY);
  const double deviation = noise * std::sqrt(std::max(0.0, spread(0, 0) + spread(1, 1)));
  if (std::abs(std::sin(p[2] - p[3])) < 0.2 || p[4] > shortest / 8 || !(deviation < 0.25) ||
      std::hypot(p[0], p[1]) > std::max(1.5, shortest / 20))
    return false;
  Corner += cv::Point2f(float(p[0]), float(p[1]));
  return true;
}

}  // namespace

void FitCorners(const cv::Mat& Gray, const TBoard& Board, std::vector<cv::Point2f>& Corners,
                const TCameraModel* Lens) {
  const int columns = Board.Columns, rows = Board.Rows;
  auto at = [&](const std::vector<cv::Point2f>& Grid, int R, int C) {
    return Grid[std::size_t(R * columns + C)];
  };
  // The step to the next corner one way, from the neighbours on both sides where there are.
  auto step = [&](const std::vector<cv::Point2f>& Grid, int R, int C, int DR, int DC) {
    const int r0 = std::max(R - DR, 0), c0 = std::max(C - DC, 0);
    const int r1 = std::min(R + DR, rows - 1), c1 = std::min(C + DC, columns - 1);
    return (at(Grid, r1, c1) - at(Grid, r0, c0)) / float(std::max(r1 - r0, c1 - c0));
  };
  const std::vector<cv::Point2f> searched = Corners;
  std::vector<bool> fitted(Corners.size());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      fitted[std::size_t(r * columns + c)] =
          FitCorner(Gray, Corners[std::size_t(r * columns + c)], step(searched, r, c, 0, 1),
                    step(searched, r, c, 1, 0), Lens);
  const std::vector<cv::Point2f> first = Corners;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) {
      if (fitted[std::size_t(r * columns + c)]) continue;
      // Midway between the neighbours on both sides, or a step on from the two on one side.
      cv::Point2f sum(0, 0);
      int ways = 0;
      for (auto [dr, dc] : {std::pair{0, 1}, {1, 0}}) {
        const int rb = r - dr, cb = c - dc, ra = r + dr, ca = c + dc;
        auto inside = [&](int R, int C) { return R >= 0 && R < rows && C >= 0 && C < columns; };
        auto good = [&](int R, int C) {
          return inside(R, C) && fitted[std::size_t(R * columns + C)];
        };
        if (good(rb, cb) && good(ra, ca))
          sum += (at(first, rb, cb) + at(first, ra, ca)) / 2, ++ways;
        else if (good(ra, ca) && good(ra + dr, ca + dc))
          sum += 2 * at(first, ra, ca) - at(first, ra + dr, ca + dc), ++ways;
        else if (good(rb, cb) && good(rb - dr, cb - dc))
          sum += 2 * at(first, rb, cb) - at(first, rb - dr, cb - dc), ++ways;
      }
      cv::Point2f corner = sum / float(std::max(ways, 1));
      if (ways && FitCorner(Gray, corner, step(first, r, c, 0, 1), step(first, r, c, 1, 0), Lens))
        Corners[std::size_t(r * columns + c)] = corner;
    }
}
