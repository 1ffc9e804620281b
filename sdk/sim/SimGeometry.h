#pragma once

// The simulated rig in space: a camera and, beside it, a projector turned
// towards it, looking at a scene (a wall, a calibration board before the wall,
// or a sphere before the wall). Everything is in the camera's frame: origin at
// the camera's centre, x right, y down, z forward, millimetres.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/sim/SimLens.h"

enum class TSimSceneKind : std::uint8_t { Wall, Board, Sphere };
// "wall", "board", "sphere".
const char* SimSceneName(TSimSceneKind Kind);
// "wall, board, sphere": every scene, for messages.
const char* SimSceneList();
bool SimSceneNamed(std::string_view Name, TSimSceneKind& Kind);

// A printed checkerboard: Columns x Rows inner corners, squares of Square mm,
// a white border one square wide around the squares.
struct TSimBoardSpec {
  int Columns = 9, Rows = 6;
  double Square = 25;
  bool operator==(const TSimBoardSpec&) const = default;
};

// What the camera looks at; Pose (from 0) is the board's place in its built-in list.
struct TSimStage {
  TSimSceneKind Scene = TSimSceneKind::Wall;
  TSimBoardSpec Board;
  int Pose = 0;
  bool operator==(const TSimStage&) const = default;
};

// The board's built-in places, one per scan of a calibration session.
int SimBoardPoseCount();

enum class TSimSurface : std::uint8_t { None, Wall, Board, Sphere };

// Where a ray meets the scene first: Origin + T * Direction.
struct TSimHit {
  TSimSurface Surface = TSimSurface::None;
  double T = 0;
  TSimVec Point{0, 0, 0};
  TSimVec Normal{0, 0, 0};        // unit, on the side the surface is seen from
  double BoardX = 0, BoardY = 0;  // on the board: its own coordinates, mm
};

struct TSimGeometry {
  // A camera taking PhotoWidth x PhotoHeight photos, its focal lengths times Zoom,
  // and a projector throwing FrameWidth x FrameHeight frames.
  TSimGeometry(int PhotoWidth, int PhotoHeight, int FrameWidth, int FrameHeight, double Zoom,
               const TSimStage& Stage);

  TSimLens Camera, Projector;
  TSimPose ProjectorFromCamera, CameraFromProjector;
  TSimVec ProjectorCentre;  // in the camera's frame
  TSimStage Stage;
  // The wall: WallNormal . X = WallOffset, the normal towards the camera.
  TSimVec WallNormal{0, 0, -1};
  double WallOffset = 0;
  TSimVec SphereCentre{0, 0, 0};
  double SphereRadius = 0;
  // The board's own frame: x along its columns, y along its rows, z into it,
  // origin at its first inner corner.
  TSimPose CameraFromBoard, BoardFromCamera;

  // The first surface along Origin + t * Direction for t in (0, Limit), leaving out Skip.
  TSimHit Cast(const TSimVec& Origin, const TSimVec& Direction,
               double Limit = std::numeric_limits<double>::infinity(),
               TSimSurface Skip = TSimSurface::None) const;
  // The projector's light reaches Hit: it faces the projector, nothing in between.
  bool Lit(const TSimHit& Hit) const;
  // The camera sees Hit: it faces the camera, nothing in between.
  bool Seen(const TSimHit& Hit) const;
  // The share of light Hit sends back, 0..1: the print's, averaged over a
  // square of Footprint mm (a camera pixel's footprint) on the board.
  double Albedo(const TSimHit& Hit, double Footprint = 0) const;
  // The projector's light at Hit, 0..1: the cosine of the surface's angle to it.
  double Shade(const TSimHit& Hit) const;
  // The projector pixel whose light falls on P; false behind the projector.
  bool ProjectorPixel(const TSimVec& P, double& U, double& V) const;
  // The first surface that projector pixel (U, V) lights.
  TSimHit FromProjector(double U, double V) const;
  // The board's inner corners in its own frame, row by row, mm.
  std::vector<TSimVec> BoardCorners() const;
};
