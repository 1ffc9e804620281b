#include "geometry/BoardCorners.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/Triangulation.h"

namespace {

constexpr float Missing = std::numeric_limits<float>::quiet_NaN();

// The grey level below which the brightest hundredth of a photo shows no board.
constexpr double DarkLevel = 40;

bool Find(const cv::Mat& Gray, cv::Size Pattern, std::vector<cv::Point2f>& Corners, int Flags) {
  if (Pattern.width < 2 || Pattern.height < 2) return false;
  try {
    return cv::findChessboardCornersSB(Gray, Pattern, Corners, Flags) &&
           Corners.size() == std::size_t(Pattern.area());
  } catch (const cv::Exception&) {
    return false;
  }
}

// Distance to the nearest corner of the grid beside corner (R, C), pixels.
double Pitch(const std::vector<cv::Point2f>& Corners, int Columns, int Rows, int R, int C) {
  double nearest = std::numeric_limits<double>::infinity();
  const cv::Point2f& at = Corners[std::size_t(R * Columns + C)];
  for (auto [dr, dc] : {std::pair{0, 1}, {0, -1}, {1, 0}, {-1, 0}}) {
    const int r = R + dr, c = C + dc;
    if (r < 0 || r >= Rows || c < 0 || c >= Columns) continue;
    const cv::Point2f& next = Corners[std::size_t(r * Columns + c)];
    if (Known(next)) nearest = std::min(nearest, double(cv::norm(next - at)));
  }
  return nearest;
}

double BrightestLevel(const cv::Mat& Gray) {
  int histogram[256] = {};
  for (int y = 0; y < Gray.rows; ++y) {
    const std::uint8_t* row = Gray.ptr<std::uint8_t>(y);
    for (int x = 0; x < Gray.cols; ++x) ++histogram[row[x]];
  }
  const double top = 0.01 * double(Gray.total());
  double count = 0;
  for (int level = 255; level > 0; --level)
    if ((count += histogram[level]) >= top) return level;
  return 0;
}

}  // namespace

std::string BoardMissingText(TBoardMissing Missing) {
  switch (Missing) {
    case TBoardMissing::None:
      return "deska nalezena";
    case TBoardMissing::TooDark:
      return "snímek je příliš tmavý, deska na něm není vidět";
    case TBoardMissing::CutByEdge:
      return "deska přesahuje okraj snímku";
    case TBoardMissing::OtherSize:
      return "deska má jiný počet vnitřních rohů, než je zadáno";
    case TBoardMissing::NotInView:
      return "deska není v záběru";
  }
  return {};
}

namespace {

// At sub-pixel accuracy, in the part of Gray about Rough (corners found in a
// smaller copy, already in Gray's pixels): the accurate search costs several
// times the rough one per pixel.
bool Refine(const cv::Mat& Gray, const TBoard& Board, const std::vector<cv::Point2f>& Rough,
            std::vector<cv::Point2f>& Corners) {
  // A photo evened out tile by tile is searched as it is: evening its histogram again
  // as a whole would undo that where the board is dimmer than the room about it.
  const int exact = cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY;
  double pitch = std::numeric_limits<double>::infinity();
  for (int r = 0; r < Board.Rows; ++r)
    for (int c = 0; c < Board.Columns; ++c)
      pitch = std::min(pitch, Pitch(Rough, Board.Columns, Board.Rows, r, c));
  // The outer squares and the white border about them, with room to spare.
  const int margin = int(std::ceil(2.5 * std::max(pitch, 8.0)));
  const cv::Rect area =
      (cv::boundingRect(Rough) + cv::Size(2 * margin, 2 * margin) - cv::Point(margin, margin)) &
      cv::Rect(0, 0, Gray.cols, Gray.rows);
  cv::Mat part = Gray(area);
  // Evened out only where the photo itself does not show the board well enough.
  for (int attempt = 0; attempt < 3; ++attempt) {
    cv::Point2f offset(float(area.x), float(area.y));
    if (attempt == 1) part = Gray, offset = {0, 0};
    if (attempt == 2) {
      cv::Mat evened;
      cv::createCLAHE(3.0, cv::Size(8, 8))->apply(Gray(area), evened);
      part = evened;
    }
    if (Find(part, Board.PatternSize(), Corners,
             attempt == 2 ? exact : exact | cv::CALIB_CB_NORMALIZE_IMAGE)) {
      for (cv::Point2f& corner : Corners) corner += offset;
      return true;
    }
  }
  return false;
}

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

// Each corner of the grid in Corners fitted where the photo shows it. The search now
// and then puts a corner pixels astray: a corner whose fit fails from there is fitted
// again from where its fitted neighbours place it. A corner that cannot be fitted
// keeps the search's place, and no other corner moves for it.
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

}  // namespace

void RefitBoardCorners(const cv::Mat& Gray, const TBoard& Board, const TCameraModel& Lens,
                       std::vector<cv::Point2f>& Corners) {
  if (Corners.size() == std::size_t(Board.Corners()) && Gray.type() == CV_8UC1 &&
      Gray.size() == Lens.Size)
    FitCorners(Gray, Board, Corners, &Lens);
}

TBoardCorners FindBoardCorners(const cv::Mat& Gray, const TBoard& Board) {
  TBoardCorners found;
  const double brightest = Gray.empty() ? 0 : BrightestLevel(Gray);
  if (brightest < DarkLevel) {
    found.Missing = TBoardMissing::TooDark;
    found.Figure =
        "nejjasnější setina snímku má " + std::to_string(int(brightest)) + " úrovní z 255";
    return found;
  }
  // The board is looked for in a copy at most about 1000 pixels wide, its contrast
  // evened out tile by tile (a board lit from one side, dark squares barely darker
  // than light ones), then refined in the photo itself.
  const int shrink = std::max(1, Gray.cols / 1000);
  cv::Mat small = Gray;
  if (shrink > 1) cv::resize(Gray, small, cv::Size(), 1.0 / shrink, 1.0 / shrink, cv::INTER_AREA);
  const float back = float(shrink);
  // A pixel's centre in the copy lies at (x + 0.5) * shrink - 0.5 in the photo.
  auto inPhoto = [&](std::vector<cv::Point2f>& Corners) {
    for (cv::Point2f& corner : Corners)
      corner = (corner + cv::Point2f(0.5f, 0.5f)) * back - cv::Point2f(0.5f, 0.5f);
  };
  const int quick = cv::CALIB_CB_EXHAUSTIVE;
  std::vector<cv::Point2f> rough;
  cv::Mat evened;
  cv::createCLAHE(3.0, cv::Size(8, 8))->apply(small, evened);
  if (Find(small, Board.PatternSize(), rough, quick | cv::CALIB_CB_NORMALIZE_IMAGE) ||
      Find(evened, Board.PatternSize(), rough, quick)) {
    inPhoto(rough);
    if (Refine(Gray, Board, rough, found.Corners)) {
      FitCorners(Gray, Board, found.Corners, nullptr);
      return found;
    }
  }
  found.Corners.clear();
  // A board cut by the edge still shows a smaller grid, close to the edge; a grid
  // smaller by a row and a column everywhere is a board counted by its squares.
  const int columns = Board.Columns, rows = Board.Rows;
  for (cv::Size smaller : {cv::Size(columns - 1, rows), cv::Size(columns, rows - 1),
                           cv::Size(columns - 1, rows - 1)}) {
    std::vector<cv::Point2f> corners;
    if (!Find(small, smaller, corners, cv::CALIB_CB_NORMALIZE_IMAGE)) continue;
    inPhoto(corners);
    double pitch = std::numeric_limits<double>::infinity(), edge = pitch;
    for (int r = 0; r < smaller.height; ++r)
      for (int c = 0; c < smaller.width; ++c) {
        const cv::Point2f& at = corners[std::size_t(r * smaller.width + c)];
        pitch = std::min(pitch, Pitch(corners, smaller.width, smaller.height, r, c));
        edge = std::min({edge, double(at.x), double(at.y), double(Gray.cols - 1 - at.x),
                         double(Gray.rows - 1 - at.y)});
      }
    // The next corner out would lie within a square of the edge, or past it.
    if (edge < 2 * pitch) {
      found.Missing = TBoardMissing::CutByEdge;
      found.Figure = "vidět je " + std::to_string(smaller.width) + " x " +
                     std::to_string(smaller.height) + " rohů u okraje";
    } else {
      found.Missing = TBoardMissing::OtherSize;
      found.Figure = "nalezeno " + std::to_string(smaller.width) + " x " +
                     std::to_string(smaller.height) + " vnitřních rohů, zadáno " +
                     std::to_string(columns) + " x " + std::to_string(rows);
    }
    return found;
  }
  found.Missing = TBoardMissing::NotInView;
  return found;
}

std::string THomographyOptions::Problem() const {
  if (!(WindowShare > 0 && WindowShare <= 3)) return "window share must lie in (0, 3]";
  if (MinPoints < 4) return "a homography needs at least 4 points";
  if (!(MinInlierShare > 0 && MinInlierShare <= 1)) return "inlier share must lie in (0, 1]";
  if (!(InlierPx > 0)) return "inlier distance must be positive";
  return {};
}

std::vector<cv::Point2f> ProjectorCorners(const std::vector<cv::Point2f>& Corners,
                                          const TBoard& Board,
                                          const std::vector<TDecodedPoint>& Points,
                                          const THomographyOptions& Options) {
  std::vector<cv::Point2f> projected(Corners.size(), {Missing, Missing});
  if (Corners.size() != std::size_t(Board.Corners())) return projected;
  std::vector<cv::Point2f> camera, projector;
  for (int r = 0; r < Board.Rows; ++r)
    for (int c = 0; c < Board.Columns; ++c) {
      const std::size_t i = std::size_t(r * Board.Columns + c);
      if (!Known(Corners[i])) continue;
      const double radius = Options.WindowShare * Pitch(Corners, Board.Columns, Board.Rows, r, c);
      if (!std::isfinite(radius)) continue;
      camera.clear();
      projector.clear();
      for (const TDecodedPoint& point : Points)
        if (cv::norm(point.Camera - Corners[i]) <= radius) {
          camera.push_back(point.Camera);
          projector.push_back(point.Projector);
        }
      if (int(camera.size()) < Options.MinPoints) continue;
      std::vector<std::uint8_t> inliers;
      cv::Mat homography;
      try {
        homography = cv::findHomography(camera, projector, cv::RANSAC, Options.InlierPx, inliers,
                                        2000, 0.999);
      } catch (const cv::Exception&) {
        continue;
      }
      if (homography.empty()) continue;
      const auto agreeing = std::count(inliers.begin(), inliers.end(), std::uint8_t(1));
      if (agreeing < Options.MinPoints ||
          double(agreeing) < Options.MinInlierShare * double(camera.size()))
        continue;
      std::vector<cv::Point2f> corner{Corners[i]}, out;
      cv::perspectiveTransform(corner, out, homography);
      projected[i] = out[0];
    }
  return projected;
}
