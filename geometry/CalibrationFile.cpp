#include "geometry/CalibrationFile.h"

#include <filesystem>
#include <opencv2/calib3d.hpp>

namespace {

cv::Mat Column(const std::vector<double>& Values) {
  return cv::Mat(Values, true).reshape(1, int(Values.size()));
}

void WriteModel(cv::FileStorage& File, const std::string& Prefix, const TCameraModel& Model) {
  File << Prefix + "_size" << Model.Size;
  File << Prefix + "_matrix" << cv::Mat(Model.Matrix);
  File << Prefix + "_distortion" << Column(Model.Distortion);
}

void WriteList(cv::FileStorage& File, const std::string& Name,
               const std::vector<std::string>& Values) {
  File << Name << "[";
  for (const std::string& value : Values) File << value;
  File << "]";
}

// Field Name as doubles: a matrix of any shape or a sequence of numbers.
std::optional<std::vector<double>> Numbers(const cv::FileNode& Node) {
  if (Node.empty() || Node.isNone()) return std::nullopt;
  std::vector<double> values;
  if (Node.isMap()) {
    cv::Mat matrix;
    Node >> matrix;
    if (matrix.empty()) return values;
    matrix.reshape(1, int(matrix.total() * std::size_t(matrix.channels())))
        .convertTo(values, CV_64F);
    return values;
  }
  if (Node.isSeq()) {
    for (const cv::FileNode& item : Node) {
      if (!item.isReal() && !item.isInt()) return std::nullopt;
      values.push_back(double(item));
    }
    return values;
  }
  if (Node.isReal() || Node.isInt()) return std::vector<double>{double(Node)};
  return std::nullopt;
}

bool Finite(const std::vector<double>& Values) {
  for (double value : Values)
    if (!std::isfinite(value)) return false;
  return true;
}

struct TReader {
  const cv::FileStorage& File;
  const std::string& Path;
  std::string* Error;

  bool Fail(const std::string& Field, const std::string& Problem) const {
    if (Error) *Error = Path + ": " + Field + " " + Problem;
    return false;
  }
  bool Size(const std::string& Field, cv::Size& Out) const {
    const auto values = Numbers(File[Field]);
    if (!values) return Fail(Field, "is missing");
    if (values->size() != 2 || (*values)[0] < 1 || (*values)[1] < 1 || (*values)[0] > 65536 ||
        (*values)[1] > 65536)
      return Fail(Field, "is not a width and a height in pixels");
    Out = {int((*values)[0]), int((*values)[1])};
    return true;
  }
  bool Matrix(const std::string& Field, cv::Matx33d& Out) const {
    const auto values = Numbers(File[Field]);
    if (!values) return Fail(Field, "is missing");
    if (values->size() != 9 || !Finite(*values)) return Fail(Field, "is not a 3 x 3 matrix");
    Out = cv::Matx33d(values->data());
    return true;
  }
  bool Model(const std::string& Prefix, TCameraModel& Out) const {
    if (!Size(Prefix + "_size", Out.Size) || !Matrix(Prefix + "_matrix", Out.Matrix)) return false;
    const cv::Matx33d& k = Out.Matrix;
    if (!(k(0, 0) > 0 && k(1, 1) > 0) || k(2, 2) != 1 || k(1, 0) != 0 || k(2, 0) != 0 ||
        k(2, 1) != 0)
      return Fail(Prefix + "_matrix", "is not a camera matrix (fx 0 cx, 0 fy cy, 0 0 1)");
    const auto distortion = Numbers(File[Prefix + "_distortion"]);
    if (!distortion) return Fail(Prefix + "_distortion", "is missing");
    const std::size_t n = distortion->size();
    if (!(n == 0 || n == 4 || n == 5 || n == 8 || n == 12 || n == 14) || !Finite(*distortion))
      return Fail(Prefix + "_distortion", "is not 4, 5, 8, 12 or 14 distortion terms");
    Out.Distortion = *distortion;
    return true;
  }
  double Real(const std::string& Field) const {
    const auto values = Numbers(File[Field]);
    return values && values->size() == 1 ? (*values)[0] : NAN;
  }
  std::vector<double> List(const std::string& Field) const {
    return Numbers(File[Field]).value_or(std::vector<double>{});
  }
  std::vector<std::string> Strings(const std::string& Field) const {
    std::vector<std::string> values;
    const cv::FileNode node = File[Field];
    if (node.isSeq())
      for (const cv::FileNode& item : node)
        if (item.isString()) values.push_back(std::string(item));
    return values;
  }
  std::string Text(const std::string& Field) const {
    const cv::FileNode node = File[Field];
    return node.isString() ? std::string(node) : std::string();
  }
};

}  // namespace

bool WriteCalibrationFile(const std::string& Path, const TCalibration& Calibration,
                          std::string* Error) {
  // Written beside and renamed, so that a failed write never leaves half a file in force.
  const std::string partial = Path + ".part.yml";
  try {
    cv::FileStorage file(partial, cv::FileStorage::WRITE);
    if (!file.isOpened()) {
      if (Error) *Error = Path + ": cannot be written";
      return false;
    }
    file.writeComment(
        "CorvaletScan calibration. Pixels with the origin at the centre of the top-left pixel; "
        "millimetres. Camera coordinates: x right, y down, z forward. rotation and translation "
        "take camera coordinates to projector coordinates. Errors: root mean square, pixels.");
    const TRigGeometry& rig = Calibration.Rig;
    WriteModel(file, "camera", rig.Camera);
    WriteModel(file, "projector", rig.Projector);
    file << "rotation" << cv::Mat(rig.ProjectorFromCamera);
    file << "translation" << cv::Mat(rig.ProjectorFromCameraMm);
    file << "camera_rms" << Calibration.CameraRms;
    file << "projector_rms" << Calibration.ProjectorRms;
    file << "stereo_rms" << Calibration.StereoRms;
    file << "refined_points" << Calibration.RefinedPoints;
    file << "point_rms" << Calibration.PointRms;
    WriteList(file, "views", Calibration.Views);
    file << "camera_view_errors" << Column(Calibration.CameraViewErrors);
    file << "projector_view_errors" << Column(Calibration.ProjectorViewErrors);
    file << "stereo_view_errors" << Column(Calibration.StereoViewErrors);
    file.writeComment("Standard deviations: fx fy cx cy k1 k2 p1 p2 k3, pixels and unitless.");
    file << "camera_deviations" << Column(Calibration.CameraDeviations);
    file << "projector_deviations" << Column(Calibration.ProjectorDeviations);
    if (Calibration.Board) {
      file << "board"
           << "{";
      file << "columns" << Calibration.Board->Columns << "rows" << Calibration.Board->Rows
           << "square_mm" << Calibration.Board->SquareMm;
      file << "}";
    }
    WriteList(file, "camera_settings", Calibration.CameraSettings);
    file << "date" << Calibration.Date;
    file << "opencv_version" << Calibration.OpenCvVersion;
    file.release();
  } catch (const cv::Exception& exception) {
    if (Error) *Error = Path + ": cannot be written: " + exception.msg;
    std::filesystem::remove(partial);
    return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, Path, error);
  if (error) {
    if (Error) *Error = Path + ": cannot be written: " + error.message();
    std::filesystem::remove(partial, error);
    return false;
  }
  return true;
}

std::optional<TCalibration> ReadCalibrationFile(const std::string& Path, std::string* Error) {
  try {
    cv::FileStorage file(Path, cv::FileStorage::READ);
    if (!file.isOpened()) {
      if (Error) *Error = Path + ": cannot be read as a calibration (OpenCV YAML or XML)";
      return std::nullopt;
    }
    const TReader read{file, Path, Error};
    TCalibration calibration;
    TRigGeometry& rig = calibration.Rig;
    if (!read.Model("camera", rig.Camera) || !read.Model("projector", rig.Projector))
      return std::nullopt;
    const auto rotation = Numbers(file["rotation"]);
    if (!rotation) return read.Fail("rotation", "is missing"), std::nullopt;
    if (rotation->size() == 3 && Finite(*rotation)) {
      cv::Rodrigues(cv::Vec3d(rotation->data()), rig.ProjectorFromCamera);
    } else if (rotation->size() == 9 && Finite(*rotation)) {
      rig.ProjectorFromCamera = cv::Matx33d(rotation->data());
      const cv::Matx33d product = rig.ProjectorFromCamera.t() * rig.ProjectorFromCamera;
      if (cv::norm(product - cv::Matx33d::eye()) > 1e-4 ||
          cv::determinant(rig.ProjectorFromCamera) < 0)
        return read.Fail("rotation", "is not a rotation"), std::nullopt;
    } else {
      return read.Fail("rotation", "is not a 3 x 3 matrix or a rotation vector"), std::nullopt;
    }
    const auto translation = Numbers(file["translation"]);
    if (!translation) return read.Fail("translation", "is missing"), std::nullopt;
    if (translation->size() != 3 || !Finite(*translation))
      return read.Fail("translation", "is not three millimetre values"), std::nullopt;
    rig.ProjectorFromCameraMm = cv::Vec3d(translation->data());

    calibration.CameraRms = read.Real("camera_rms");
    calibration.ProjectorRms = read.Real("projector_rms");
    calibration.StereoRms = read.Real("stereo_rms");
    calibration.PointRms = read.Real("point_rms");
    if (const double points = read.Real("refined_points"); points >= 0 && points < 1e9)
      calibration.RefinedPoints = int(points);
    calibration.Views = read.Strings("views");
    calibration.CameraViewErrors = read.List("camera_view_errors");
    calibration.ProjectorViewErrors = read.List("projector_view_errors");
    calibration.StereoViewErrors = read.List("stereo_view_errors");
    calibration.CameraDeviations = read.List("camera_deviations");
    calibration.ProjectorDeviations = read.List("projector_deviations");
    if (const cv::FileNode board = file["board"]; board.isMap()) {
      TBoard value;
      value.Columns = int(board["columns"]);
      value.Rows = int(board["rows"]);
      value.SquareMm = double(board["square_mm"]);
      if (TBoard::Parse(value.Text())) calibration.Board = value;
    }
    calibration.CameraSettings = read.Strings("camera_settings");
    calibration.Date = read.Text("date");
    calibration.OpenCvVersion = read.Text("opencv_version");
    return calibration;
  } catch (const cv::Exception& exception) {
    if (Error) *Error = Path + ": cannot be read as a calibration: " + exception.msg;
    return std::nullopt;
  }
}
