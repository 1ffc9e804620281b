#include "sdk/sim/SimGeometry.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double Degree = M_PI / 180;
// Nearer than this along a ray counts as the ray's own start.
constexpr double Epsilon = 1e-7;

// The camera at 2048 x 1536 (each side scales with the photo), and the projector at
// 1016 x 734 (each side scales with the frame): focal lengths and principal points in
// pixels, offsets from the middle as a real lens has them. The projector's lens is
// shifted sideways: it throws its picture to the right of its axis.
constexpr double CameraFocal = 2400, CameraOffsetX = -15.2, CameraOffsetY = -3.1;
constexpr double ProjectorFocal = 1400, ProjectorOffsetX = -154.3, ProjectorOffsetY = -3.7;
// The projector's centre beside the camera, and how it is turned towards it: about
// the vertical (towards the camera's axis), then up, then about its own axis.
constexpr TSimVec ProjectorPlace{-198, 55, 6};
constexpr double ProjectorYaw = 7 * Degree, ProjectorPitch = 3.9 * Degree,
                 ProjectorRoll = -0.31 * Degree;
constexpr double WallDistance = 800;
constexpr TSimVec SphereAt{0, 0, 640};
constexpr double Radius = 60;
constexpr double WallAlbedo = 1.0, SphereAlbedo = 0.85, BoardWhite = 0.95, BoardGrey = 0.8;

// Where the board's middle lies (camera frame, mm) and how it is turned: tilted
// about the camera's x and y axes and rotated about its z axis, degrees. The first
// ten are a calibration session: facing the camera, tilted 28 to 30 degrees each
// way, tilted into each corner of the photo as far as the projector's light
// reaches, and nearer; the last two tilt it about both axes at once.
struct TBoardPlace {
  double X, Y, Z, TiltX, TiltY, Spin;
};
constexpr TBoardPlace BoardPlaces[] = {
    {-30, -5, 560, 0, 0, 0},     {-50, 0, 560, 0, 30, 2},      {-40, 5, 600, 0, -30, -2},
    {-48, -6, 560, 28, 0, 0},    {-50, 5, 560, -28, 0, 3},     {-116, -20, 600, 15, 20, 5},
    {31, -16, 600, 15, -20, -5}, {-115, 14, 600, -15, 20, -4}, {24, 17, 600, -15, -20, 6},
    {-45, 13, 570, 10, -10, 6},  {-30, 0, 670, -20, -25, -8},  {-20, 10, 660, 22, 22, 0},
};

// The integral of a square wave of half-period S (+1 on [0, S), -1 on [S, 2S)) from 0 to X.
double SquareWaveIntegral(double X, double S) {
  const double phase = X - 2 * S * std::floor(X / (2 * S));
  return S - std::abs(phase - S);
}

// Over [A, B] within [Low, High]: the covered length and the square wave's integral.
void Covered(double A, double B, double Low, double High, double S, double& Length, double& Wave) {
  const double a = std::max(A, Low), b = std::min(B, High);
  Length = std::max(0.0, b - a);
  Wave = Length > 0 ? SquareWaveIntegral(b - Low, S) - SquareWaveIntegral(a - Low, S) : 0;
}

}  // namespace

const char* SimSceneName(TSimSceneKind Kind) {
  switch (Kind) {
    case TSimSceneKind::Board:
      return "board";
    case TSimSceneKind::Sphere:
      return "sphere";
    case TSimSceneKind::Wall:
      break;
  }
  return "wall";
}

const char* SimSceneList() {
  return "wall, board, sphere";
}

bool SimSceneNamed(std::string_view Name, TSimSceneKind& Kind) {
  for (TSimSceneKind kind : {TSimSceneKind::Wall, TSimSceneKind::Board, TSimSceneKind::Sphere})
    if (Name == SimSceneName(kind)) {
      Kind = kind;
      return true;
    }
  return false;
}

int SimBoardPoseCount() {
  return int(std::size(BoardPlaces));
}

TSimGeometry::TSimGeometry(int PhotoWidth, int PhotoHeight, int FrameWidth, int FrameHeight,
                           double Zoom, const TSimStage& Stage)
    : Stage(Stage) {
  const double sx = PhotoWidth / 2048.0, sy = PhotoHeight / 1536.0;
  Camera = {PhotoWidth,
            PhotoHeight,
            CameraFocal * sx * Zoom,
            CameraFocal * sy * Zoom,
            (PhotoWidth - 1) / 2.0 + CameraOffsetX * sx,
            (PhotoHeight - 1) / 2.0 + CameraOffsetY * sy,
            -0.06,
            0.08,
            3e-4,
            -2e-4,
            -0.015};
  const double px = FrameWidth / 1016.0, py = FrameHeight / 734.0;
  Projector = {FrameWidth,
               FrameHeight,
               ProjectorFocal * px,
               ProjectorFocal * py,
               (FrameWidth - 1) / 2.0 + ProjectorOffsetX * px,
               (FrameHeight - 1) / 2.0 + ProjectorOffsetY * py,
               -0.015,
               0.01,
               -1e-4,
               2e-4,
               0};
  CameraFromProjector.Rotation =
      TSimPose::Compose(TSimPose::AxisAngle({0, 0, 1}, ProjectorRoll),
                        TSimPose::Compose(TSimPose::AxisAngle({1, 0, 0}, ProjectorPitch),
                                          TSimPose::AxisAngle({0, 1, 0}, ProjectorYaw)));
  CameraFromProjector.Translation = ProjectorPlace;
  ProjectorFromCamera = CameraFromProjector.Inverse();
  ProjectorCentre = ProjectorPlace;
  WallOffset = -WallDistance;
  if (Stage.Scene == TSimSceneKind::Sphere) {
    SphereCentre = SphereAt;
    SphereRadius = Radius;
  } else if (Stage.Scene == TSimSceneKind::Board) {
    const TBoardPlace& place = BoardPlaces[std::size_t(Stage.Pose) % std::size(BoardPlaces)];
    CameraFromBoard.Rotation =
        TSimPose::Compose(TSimPose::AxisAngle({0, 0, 1}, place.Spin * Degree),
                          TSimPose::Compose(TSimPose::AxisAngle({0, 1, 0}, place.TiltY * Degree),
                                            TSimPose::AxisAngle({1, 0, 0}, place.TiltX * Degree)));
    const TSimVec middle{(Stage.Board.Columns - 1) * Stage.Board.Square / 2,
                         (Stage.Board.Rows - 1) * Stage.Board.Square / 2, 0};
    CameraFromBoard.Translation = TSimVec{place.X, place.Y, place.Z} - CameraFromBoard.Turn(middle);
    BoardFromCamera = CameraFromBoard.Inverse();
  }
}

TSimHit TSimGeometry::Cast(const TSimVec& Origin, const TSimVec& Direction, double Limit,
                           TSimSurface Skip) const {
  TSimHit hit;
  hit.T = Limit;
  auto take = [&](TSimSurface Surface, double T) {
    if (!(T > Epsilon && T < hit.T)) return false;
    hit.Surface = Surface;
    hit.T = T;
    hit.Point = Origin + T * Direction;
    return true;
  };
  if (Skip != TSimSurface::Wall) {
    const double along = Dot(WallNormal, Direction);
    if (along != 0 && take(TSimSurface::Wall, (WallOffset - Dot(WallNormal, Origin)) / along))
      hit.Normal = along < 0 ? WallNormal : -1.0 * WallNormal;
  }
  if (SphereRadius > 0 && Skip != TSimSurface::Sphere) {
    const TSimVec o = Origin - SphereCentre;
    const double a = Dot(Direction, Direction), b = Dot(Direction, o);
    const double c = Dot(o, o) - SphereRadius * SphereRadius, disc = b * b - a * c;
    if (disc >= 0 && take(TSimSurface::Sphere, (-b - std::sqrt(disc)) / a))
      hit.Normal = (1 / SphereRadius) * (hit.Point - SphereCentre);
  }
  if (Stage.Scene == TSimSceneKind::Board && Skip != TSimSurface::Board) {
    const TSimVec normal = CameraFromBoard.Turn({0, 0, -1});
    const double along = Dot(normal, Direction);
    const TSimHit before = hit;
    if (along != 0 &&
        take(TSimSurface::Board, Dot(normal, CameraFromBoard.Translation - Origin) / along)) {
      const TSimVec b = BoardFromCamera.Apply(hit.Point);
      const double s = Stage.Board.Square;
      if (b[0] >= -2 * s && b[0] <= (Stage.Board.Columns + 1) * s && b[1] >= -2 * s &&
          b[1] <= (Stage.Board.Rows + 1) * s) {
        hit.BoardX = b[0];
        hit.BoardY = b[1];
        hit.Normal = along < 0 ? normal : -1.0 * normal;
      } else {
        hit = before;
      }
    }
  }
  if (hit.Surface == TSimSurface::None) hit.T = 0;
  return hit;
}

bool TSimGeometry::Lit(const TSimHit& Hit) const {
  const TSimVec towards = ProjectorCentre - Hit.Point;
  return Hit.Surface != TSimSurface::None && Dot(Hit.Normal, towards) > 0 &&
         Cast(Hit.Point, towards, 1, Hit.Surface).Surface == TSimSurface::None;
}

bool TSimGeometry::Seen(const TSimHit& Hit) const {
  return Hit.Surface != TSimSurface::None && Dot(Hit.Normal, Hit.Point) < 0 &&
         Cast({0, 0, 0}, Hit.Point, 1 - Epsilon, Hit.Surface).Surface == TSimSurface::None;
}

double TSimGeometry::Albedo(const TSimHit& Hit, double Footprint) const {
  if (Hit.Surface == TSimSurface::Wall) return WallAlbedo;
  if (Hit.Surface == TSimSurface::Sphere) return SphereAlbedo;
  if (Hit.Surface != TSimSurface::Board) return 0;
  // The grey squares' share of a footprint: squares (i, j) from -1 on each side of the
  // inner corners, grey where i + j is even; the square wave is +1 on even squares.
  const double s = Stage.Board.Square, half = std::max(Footprint, 1e-6) / 2;
  double lengthX, waveX, lengthY, waveY;
  Covered(Hit.BoardX - half, Hit.BoardX + half, -s, Stage.Board.Columns * s, s, lengthX, waveX);
  Covered(Hit.BoardY - half, Hit.BoardY + half, -s, Stage.Board.Rows * s, s, lengthY, waveY);
  const double area = 4 * half * half;
  const double grey = (lengthX * lengthY + waveX * waveY) / (2 * area);
  return BoardWhite + (BoardGrey - BoardWhite) * std::clamp(grey, 0.0, 1.0);
}

double TSimGeometry::Shade(const TSimHit& Hit) const {
  const TSimVec towards = ProjectorCentre - Hit.Point;
  return std::max(0.0, Dot(Hit.Normal, towards) / Length(towards));
}

bool TSimGeometry::ProjectorPixel(const TSimVec& P, double& U, double& V) const {
  return Projector.Project(ProjectorFromCamera.Apply(P), U, V);
}

TSimHit TSimGeometry::FromProjector(double U, double V) const {
  return Cast(ProjectorCentre, CameraFromProjector.Turn(Projector.Ray(U, V)));
}

std::vector<TSimVec> TSimGeometry::BoardCorners() const {
  std::vector<TSimVec> corners;
  for (int r = 0; r < Stage.Board.Rows; ++r)
    for (int c = 0; c < Stage.Board.Columns; ++c)
      corners.push_back({c * Stage.Board.Square, r * Stage.Board.Square, 0});
  return corners;
}
