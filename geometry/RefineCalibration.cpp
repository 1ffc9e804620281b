#include "geometry/RefineCalibration.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>

#include "geometry/Triangulation.h"

namespace {

// Parameters: camera fx fy cx cy k1 k2 p1 p2 k3, projector the same, the pair's
// rotation vector and translation, then per view the board's rotation and translation.
constexpr int LensCount = 9, PairAt = 2 * LensCount, GlobalCount = PairAt + 6, ViewCount = 6;

void ToVector(const TRigGeometry& Rig, const std::vector<TRefineView>& Views,
              std::vector<double>& P) {
  P.clear();
  for (const TCameraModel* model : {&Rig.Camera, &Rig.Projector}) {
    const cv::Matx33d& K = model->Matrix;
    P.insert(P.end(), {K(0, 0), K(1, 1), K(0, 2), K(1, 2)});
    for (int i = 0; i < 5; ++i)
      P.push_back(std::size_t(i) < model->Distortion.size() ? model->Distortion[std::size_t(i)]
                                                            : 0);
  }
  cv::Vec3d turn;
  cv::Rodrigues(Rig.ProjectorFromCamera, turn);
  for (int i = 0; i < 3; ++i) P.push_back(turn[i]);
  for (int i = 0; i < 3; ++i) P.push_back(Rig.ProjectorFromCameraMm[i]);
  for (const TRefineView& view : Views) {
    for (int i = 0; i < 3; ++i) P.push_back(view.Rotation[i]);
    for (int i = 0; i < 3; ++i) P.push_back(view.Translation[i]);
  }
}

TCameraModel Lens(const double* P, cv::Size Size) {
  TCameraModel model;
  model.Size = Size;
  model.Matrix = cv::Matx33d(P[0], 0, P[2], 0, P[1], P[3], 0, 0, 1);
  model.Distortion.assign(P + 4, P + 9);
  return model;
}

void FromVector(const std::vector<double>& P, TRigGeometry& Rig, std::vector<TRefineView>& Views) {
  Rig.Camera = Lens(&P[0], Rig.Camera.Size);
  Rig.Projector = Lens(&P[LensCount], Rig.Projector.Size);
  cv::Rodrigues(cv::Vec3d(P[PairAt], P[PairAt + 1], P[PairAt + 2]), Rig.ProjectorFromCamera);
  Rig.ProjectorFromCameraMm = {P[PairAt + 3], P[PairAt + 4], P[PairAt + 5]};
  for (std::size_t v = 0; v < Views.size(); ++v) {
    const double* q = &P[GlobalCount + ViewCount * v];
    Views[v].Rotation = {q[0], q[1], q[2]};
    Views[v].Translation = {q[3], q[4], q[5]};
  }
}

// One view: the board's corners and the points still kept.
struct TViewData {
  const TRefineView* View;
  std::vector<cv::Point3f> Board;
  std::vector<int> Kept;  // indexes into View->Points
};

// Each kept point's undistorted projector ray (x, y, 1).
void ProjectorRays(const TCameraModel& Projector, const TViewData& Data,
                   std::vector<cv::Point2d>& Rays) {
  Rays.resize(Data.Kept.size());
  for (std::size_t i = 0; i < Rays.size(); ++i) {
    const cv::Point2f at = Data.View->Points[std::size_t(Data.Kept[i])].Projector;
    if (!UndistortPixel(Projector, cv::Point2d(at), Rays[i])) Rays[i] = {NAN, NAN};
  }
}

// One view's residuals (camera pixels, x then y): its corners, then its kept points.
void Residuals(const double* Camera, const double* Pair, const double* Pose, cv::Size Size,
               const TViewData& Data, const std::vector<cv::Point2d>& Rays,
               std::vector<double>& Out) {
  const TCameraModel camera = Lens(Camera, Size);
  cv::Matx33d board, pair;
  cv::Rodrigues(cv::Vec3d(Pose[0], Pose[1], Pose[2]), board);
  cv::Rodrigues(cv::Vec3d(Pair[0], Pair[1], Pair[2]), pair);
  const cv::Vec3d t(Pose[3], Pose[4], Pose[5]), T(Pair[3], Pair[4], Pair[5]);
  Out.clear();
  for (std::size_t i = 0; i < Data.Board.size(); ++i) {
    const cv::Vec3d c = board * cv::Vec3d(Data.Board[i].x, Data.Board[i].y, 0) + t;
    const cv::Point2d px = DistortedPixel(camera, {c[0] / c[2], c[1] / c[2]});
    Out.push_back(px.x - Data.View->Corners[i].x);
    Out.push_back(px.y - Data.View->Corners[i].y);
  }
  // The board's plane in projector coordinates: normal n, n.X = d.
  const cv::Vec3d n = pair * cv::Vec3d(board(0, 2), board(1, 2), board(2, 2));
  const double d = n.dot(pair * t + T);
  const cv::Matx33d back = pair.t();
  for (std::size_t i = 0; i < Data.Kept.size(); ++i) {
    const cv::Vec3d ray(Rays[i].x, Rays[i].y, 1);
    const cv::Vec3d p = ray * (d / n.dot(ray));
    const cv::Vec3d c = back * (p - T);
    const cv::Point2d px = DistortedPixel(camera, {c[0] / c[2], c[1] / c[2]});
    const cv::Point2f seen = Data.View->Points[std::size_t(Data.Kept[i])].Camera;
    Out.push_back(px.x - seen.x);
    Out.push_back(px.y - seen.y);
  }
}

// The forward-difference step per parameter: pixels for focal lengths and centres, unitless
// distortion terms and rotation vectors, millimetres for translations.
double Step(int Index) {
  if (Index < PairAt) return Index % LensCount < 4 ? 1e-4 : 1e-7;
  const int pose = Index < GlobalCount ? Index - PairAt : (Index - GlobalCount) % ViewCount;
  return pose < 3 ? 1e-8 : 1e-5;
}

struct TSystem {
  cv::Mat JtJ, Jtr;
  double Cost = 0;
  double CornerSquares = 0, PointSquares = 0;
  // Residuals that cannot be formed (a ray along the board's plane, a pixel the lens folds).
  int Lost = 0;
};

// The normal equations at P, by forward differences per view.
TSystem Normal(const std::vector<double>& P, cv::Size CameraSize, const TCameraModel& Projector,
               const std::vector<TViewData>& Data, bool Jacobian) {
  const int count = int(P.size());
  TSystem s;
  s.JtJ = cv::Mat::zeros(count, count, CV_64F);
  s.Jtr = cv::Mat::zeros(count, 1, CV_64F);
  std::vector<double> p = P, base, moved;
  std::vector<std::vector<cv::Point2d>> rays(Data.size());
  for (std::size_t v = 0; v < Data.size(); ++v) ProjectorRays(Projector, Data[v], rays[v]);
  for (std::size_t v = 0; v < Data.size(); ++v) {
    const int poseAt = GlobalCount + ViewCount * int(v);
    Residuals(&p[0], &p[PairAt], &p[std::size_t(poseAt)], CameraSize, Data[v], rays[v], base);
    const std::size_t corners = 2 * Data[v].Board.size();
    std::vector<bool> lost(base.size(), false);
    for (std::size_t r = 0; r < base.size(); ++r) {
      if (!std::isfinite(base[r])) base[r] = 0, lost[r] = true, ++s.Lost;
      (r < corners ? s.CornerSquares : s.PointSquares) += base[r] * base[r];
    }
    if (!Jacobian) continue;
    std::vector<int> columns;
    for (int j = 0; j < GlobalCount; ++j) columns.push_back(j);
    for (int j = 0; j < ViewCount; ++j) columns.push_back(poseAt + j);
    cv::Mat J(int(base.size()), int(columns.size()), CV_64F);
    std::vector<cv::Point2d> movedRays;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const int j = columns[c];
      const double h = Step(j);
      p[std::size_t(j)] += h;
      const std::vector<cv::Point2d>* r = &rays[v];
      if (j >= LensCount && j < 2 * LensCount) {
        ProjectorRays(Lens(&p[LensCount], Projector.Size), Data[v], movedRays);
        r = &movedRays;
      }
      Residuals(&p[0], &p[PairAt], &p[std::size_t(poseAt)], CameraSize, Data[v], *r, moved);
      p[std::size_t(j)] -= h;
      for (std::size_t i = 0; i < moved.size(); ++i)
        J.at<double>(int(i), int(c)) =
            !lost[i] && std::isfinite(moved[i]) ? (moved[i] - base[i]) / h : 0;
    }
    const cv::Mat r(int(base.size()), 1, CV_64F, base.data());
    const cv::Mat a = J.t() * J, b = J.t() * r;
    for (std::size_t x = 0; x < columns.size(); ++x) {
      s.Jtr.at<double>(columns[x]) += b.at<double>(int(x));
      for (std::size_t y = 0; y < columns.size(); ++y)
        s.JtJ.at<double>(columns[x], columns[y]) += a.at<double>(int(x), int(y));
    }
  }
  s.Cost = s.CornerSquares + s.PointSquares;
  return s;
}

}  // namespace

TRefineResult RefineCalibration(TRigGeometry& Rig, std::vector<TRefineView>& Views,
                                const TBoard& Board) {
  TRefineResult result;
  std::vector<TViewData> data;
  for (const TRefineView& view : Views) {
    if (view.Corners.size() != std::size_t(Board.Corners())) return result;
    TViewData one{&view, Board.Points(), {}};
    for (int i = 0; i < int(view.Points.size()); ++i) one.Kept.push_back(i);
    data.push_back(std::move(one));
  }
  std::vector<double> P;
  ToVector(Rig, Views, P);
  for (int round = 0; round < 2; ++round) {
    double lambda = 1e-3;
    for (int iteration = 0; iteration < 30; ++iteration) {
      const TSystem s =
          Normal(P, Rig.Camera.Size, Lens(&P[LensCount], Rig.Projector.Size), data, true);
      bool better = false;
      for (int attempt = 0; attempt < 10 && !better; ++attempt) {
        cv::Mat A = s.JtJ.clone();
        for (int i = 0; i < A.rows; ++i) A.at<double>(i, i) *= 1 + lambda;
        cv::Mat delta;
        if (!cv::solve(A, -s.Jtr, delta, cv::DECOMP_CHOLESKY)) {
          lambda *= 10;
          continue;
        }
        std::vector<double> trial = P;
        for (int i = 0; i < delta.rows; ++i) trial[std::size_t(i)] += delta.at<double>(i);
        const TSystem t = Normal(trial, Rig.Camera.Size,
                                 Lens(&trial[LensCount], Rig.Projector.Size), data, false);
        if (t.Lost <= s.Lost && t.Cost < s.Cost) {
          better = true;
          P = trial;
          lambda = std::max(lambda / 10, 1e-9);
          ++result.Iterations;
          if (s.Cost - t.Cost < 1e-10 * s.Cost) iteration = 30;
        } else {
          lambda *= 10;
        }
      }
      if (!better) break;
    }
    if (round == 1) break;
    // Points read off the board's plane (a neighbour's light, the wall past its edge) lie far
    // beyond the rest: after the first fit they are left out and the fit made again.
    FromVector(P, Rig, Views);
    std::vector<double> squares;
    std::vector<std::vector<double>> perView(data.size());
    for (std::size_t v = 0; v < data.size(); ++v) {
      std::vector<cv::Point2d> rays;
      ProjectorRays(Rig.Projector, data[v], rays);
      Residuals(&P[0], &P[PairAt], &P[GlobalCount + ViewCount * v], Rig.Camera.Size, data[v], rays,
                perView[v]);
      const std::size_t first = 2 * data[v].Board.size();
      for (std::size_t i = first; i + 1 < perView[v].size(); i += 2) {
        const double square = perView[v][i] * perView[v][i] + perView[v][i + 1] * perView[v][i + 1];
        if (std::isfinite(square)) squares.push_back(square);
      }
    }
    auto median = [](std::vector<double> Values) {
      if (Values.empty()) return 0.0;
      std::nth_element(Values.begin(), Values.begin() + long(Values.size() / 2), Values.end());
      return Values[Values.size() / 2];
    };
    // Five standard deviations: the median of a squared distance in two dimensions is 1.39
    // times the variance.
    const double limit = std::max(25 / 1.39 * median(squares), 1e-6);
    for (std::size_t v = 0; v < data.size(); ++v) {
      std::vector<int> kept;
      const std::size_t first = 2 * data[v].Board.size();
      for (std::size_t i = 0; i < data[v].Kept.size(); ++i) {
        const double x = perView[v][first + 2 * i], y = perView[v][first + 2 * i + 1];
        if (std::isfinite(x) && x * x + y * y <= limit)
          kept.push_back(data[v].Kept[i]);
        else
          ++result.PointsLeftOut;
      }
      data[v].Kept = std::move(kept);
    }
  }
  FromVector(P, Rig, Views);
  const TSystem end = Normal(P, Rig.Camera.Size, Rig.Projector, data, false);
  std::size_t corners = 0, points = 0;
  for (const TViewData& one : data) corners += one.Board.size(), points += one.Kept.size();
  result.Points = int(points);
  result.CornerRms = std::sqrt(end.CornerSquares / double(std::max<std::size_t>(corners, 1)));
  result.PointRms = std::sqrt(end.PointSquares / double(std::max<std::size_t>(points, 1)));
  result.Refined = result.Iterations > 0;
  return result;
}
