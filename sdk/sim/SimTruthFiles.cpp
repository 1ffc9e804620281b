#include "sdk/sim/SimTruthFiles.h"

#include <QDir>
#include <QSaveFile>
#include <cmath>
#include <cstdio>

namespace {

const char* Header =
    "%YAML:1.0\n---\n"
    "# Units: millimetres and pixels. Frame: the camera's (origin at its centre, x right,\n"
    "# y down, z forward). Pixel coordinates: origin at the centre of the top-left pixel.\n";

std::string Number(double Value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.16e", Value);
  return text;
}

// An OpenCV FileStorage matrix of doubles, Rows x Columns, Channels per element.
std::string Matrix(const char* Name, int Rows, int Columns, const std::vector<double>& Values,
                   int Channels = 1) {
  std::string text = std::string(Name) + ": !!opencv-matrix\n   rows: " + std::to_string(Rows) +
                     "\n   cols: " + std::to_string(Columns) +
                     "\n   dt: " + (Channels == 1 ? "d" : "\"" + std::to_string(Channels) + "d\"") +
                     "\n   data: [ ";
  for (std::size_t i = 0; i < Values.size(); ++i) text += (i ? ", " : "") + Number(Values[i]);
  return text + " ]\n";
}

std::string Size(const char* Name, int Width, int Height) {
  return std::string(Name) + ": [ " + std::to_string(Width) + ", " + std::to_string(Height) +
         " ]\n";
}

std::string Lens(const char* Prefix, const TSimLens& Lens) {
  const std::string p = Prefix;
  return Size((p + "_size").c_str(), Lens.Width, Lens.Height) +
         Matrix((p + "_matrix").c_str(), 3, 3,
                {Lens.Fx, 0, Lens.Cx, 0, Lens.Fy, Lens.Cy, 0, 0, 1}) +
         Matrix((p + "_distortion").c_str(), 1, 5, {Lens.K1, Lens.K2, Lens.P1, Lens.P2, Lens.K3});
}

std::string Pose(const char* Rotation, const char* Translation, const TSimPose& Pose) {
  return Matrix(Rotation, 3, 3, {Pose.Rotation.begin(), Pose.Rotation.end()}) +
         Matrix(Translation, 3, 1, {Pose.Translation.begin(), Pose.Translation.end()});
}

bool Save(const std::string& Path, const std::string& Text, std::string* Error) {
  QSaveFile file(QString::fromStdString(Path));
  if (file.open(QIODevice::WriteOnly) &&
      file.write(Text.data(), qint64(Text.size())) == qint64(Text.size()) && file.commit())
    return true;
  if (Error) *Error = Path + ": " + file.errorString().toStdString();
  return false;
}

}  // namespace

bool SimWriteRigTruth(const std::string& Dir, const TSimGeometry& Geometry, std::string* Error) {
  if (!QDir().mkpath(QString::fromStdString(Dir))) {
    if (Error) *Error = Dir + ": the folder cannot be made";
    return false;
  }
  std::string text = Header;
  text += "# rotation, translation: camera coordinates to projector coordinates.\n";
  text += Lens("camera", Geometry.Camera) + Lens("projector", Geometry.Projector);
  text += Pose("rotation", "translation", Geometry.ProjectorFromCamera);
  text += std::string("scene: ") + SimSceneName(Geometry.Stage.Scene) + "\n";
  text +=
      "# The wall: wall_normal . X = wall_distance, the normal pointing away from the camera.\n";
  const TSimVec away = -1.0 * Geometry.WallNormal;
  text += Matrix("wall_normal", 3, 1, {away.begin(), away.end()});
  text += "wall_distance: " + Number(-Geometry.WallOffset) + "\n";
  if (Geometry.SphereRadius > 0) {
    const TSimVec& c = Geometry.SphereCentre;
    text += Matrix("sphere_centre", 3, 1, {c.begin(), c.end()});
    text += "sphere_radius: " + Number(Geometry.SphereRadius) + "\n";
  }
  if (Geometry.Stage.Scene == TSimSceneKind::Board) {
    const TSimBoardSpec& board = Geometry.Stage.Board;
    text += Size("board_size", board.Columns, board.Rows);
    text += "square_size: " + Number(board.Square) + "\n";
  }
  return Save(Dir + "/rig.yml", text, Error);
}

bool SimWriteScanTruth(const std::string& Dir, const std::string& Name,
                       const TSimGeometry& Geometry, const TSimRaster& Raster,
                       const std::vector<TSimPointTruth>& Truth, std::string* Error) {
  std::string csv = "number,row,column,x,y,X,Y,Z,view\n";
  char line[256];
  for (std::size_t i = 0; i < Truth.size(); ++i) {
    const TSimPointTruth& t = Truth[i];
    const int row = int(i) / std::max(1, Raster.Columns),
              column = int(i) % std::max(1, Raster.Columns);
    if (std::isnan(t.Centre.x()))
      std::snprintf(line, sizeof line, "%zu,%d,%d,,,,,,%s\n", i + 1, row, column,
                    SimViewName(t.View));
    else
      std::snprintf(line, sizeof line, "%zu,%d,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%s\n", i + 1, row,
                    column, t.Centre.x() - 0.5, t.Centre.y() - 0.5, t.Surface[0], t.Surface[1],
                    t.Surface[2], SimViewName(t.View));
    csv += line;
  }
  if (!Save(Dir + "/" + Name + "-truth.csv", csv, Error)) return false;
  if (Geometry.Stage.Scene != TSimSceneKind::Board) return true;
  const TSimBoardSpec& board = Geometry.Stage.Board;
  std::string text = Header;
  text +=
      "# board_rotation, board_translation: the board's coordinates (x along its columns,\n"
      "# y along its rows, z into it, origin at its first inner corner) to the camera's.\n"
      "# corners: the inner corners in the photo, row by row from the first.\n";
  text += "pose: " + std::to_string(Geometry.Stage.Pose + 1) + "\n";
  text += Size("board_size", board.Columns, board.Rows);
  text += "square_size: " + Number(board.Square) + "\n";
  text += Pose("board_rotation", "board_translation", Geometry.CameraFromBoard);
  std::vector<double> corners;
  for (const TSimVec& corner : Geometry.BoardCorners()) {
    double u = NAN, v = NAN;
    Geometry.Camera.Project(Geometry.CameraFromBoard.Apply(corner), u, v);
    corners.push_back(u);
    corners.push_back(v);
  }
  text += Matrix("corners", int(corners.size() / 2), 1, corners, 2);
  return Save(Dir + "/" + Name + "-board.yml", text, Error);
}

bool SimRecordTruth(const std::string& Dir, const std::string& PhotoName, const QImage& Frame,
                    int Width, int Height, const TSimOptics& Optics, const TSimStage& Stage,
                    std::string* Error) {
  const TSimGeometry geometry(Width, Height, Frame.width(), Frame.height(), Optics.Zoom, Stage);
  if (!SimWriteRigTruth(Dir, geometry, Error)) return false;
  const auto raster = SimRasterOf(Frame);
  if (!raster) {
    if (Error) *Error = PhotoName + ": the frame shows no raster of points";
    return false;
  }
  const auto truth = SimPointTruth(Frame.width(), Frame.height(), Width, Height, Optics,
                                   raster->TopLefts(), raster->Size, raster->Spacing, Stage);
  const std::string name = PhotoName.substr(0, PhotoName.rfind('.'));
  return SimWriteScanTruth(Dir, name, geometry, *raster, truth, Error);
}
