// Points placed in space from a known rig, whose pixels come from OpenCV's own
// projection; the PLY file read back by a reader of this test's own.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>

#include "geometry/CloudPicture.h"
#include "geometry/PointCloudFile.h"

namespace fs = std::filesystem;

namespace {

// A 2048 x 1536 camera and a 1016 x 734 projector 200 mm to its side, turned in;
// both lenses distorted more than usual, so that undistortion is put to the test.
TRigGeometry KnownRig() {
  TRigGeometry rig;
  rig.Camera = {{2048, 1536},
                {2650, 0, 1031.5, 0, 2652, 760.25, 0, 0, 1},
                {-0.25, 0.18, 0.0009, -0.0006, -0.05}};
  rig.Projector = {{1016, 734}, {1420, 0, 500.5, 0, 1421.5, 420, 0, 0, 1}, {0.08, -0.12, 0, 0, 0}};
  cv::Rodrigues(cv::Vec3d(0.02, 0.28, 0.01), rig.ProjectorFromCamera);
  rig.ProjectorFromCameraMm = -(rig.ProjectorFromCamera * cv::Vec3d(200, 5, 0));
  return rig;
}

// Pixels of camera-frame points on one side, by OpenCV's projection.
std::vector<cv::Point2d> Project(const std::vector<cv::Point3d>& Points, const TRigGeometry& Rig,
                                 bool Projector) {
  cv::Vec3d rotation(0, 0, 0), translation(0, 0, 0);
  if (Projector) {
    cv::Rodrigues(Rig.ProjectorFromCamera, rotation);
    translation = Rig.ProjectorFromCameraMm;
  }
  const TCameraModel& model = Projector ? Rig.Projector : Rig.Camera;
  std::vector<cv::Point2d> pixels;
  cv::projectPoints(Points, rotation, translation, model.Matrix, model.Distortion, pixels);
  return pixels;
}

// A raster of Rows x Columns points on the surface Depth(x, y) gives, seen by both sides.
template <class TDepth>
std::vector<TRasterPoint> Raster(const TRigGeometry& Rig, int Rows, int Columns, TDepth Depth,
                                 std::vector<cv::Point3d>* Truth = nullptr) {
  std::vector<cv::Point3d> points;
  for (int r = 0; r < Rows; ++r)
    for (int c = 0; c < Columns; ++c) {
      const double x = -150 + 300.0 * c / (Columns - 1), y = -110 + 220.0 * r / (Rows - 1);
      const double z = Depth(x, y);
      points.emplace_back(x * z / 650, y * z / 650, z);
    }
  const auto camera = Project(points, Rig, false), projector = Project(points, Rig, true);
  std::vector<TRasterPoint> raster;
  for (std::size_t i = 0; i < points.size(); ++i)
    raster.push_back(
        {int(i) + 1, int(i) / Columns, int(i) % Columns, camera[i], projector[i], float(i % 256)});
  if (Truth) *Truth = points;
  return raster;
}

double Flat(double, double) {
  return 650;
}

TEST(TriangulationTest, KnownPointsRoundTripThroughBothLenses) {
  const TRigGeometry rig = KnownRig();
  // A wall with a bulge: depths 560 to 650 mm, pixels out to the photo's corners.
  std::vector<cv::Point3d> truth;
  const auto raster = Raster(
      rig, 40, 60, [](double x, double y) { return 650 - 90 * std::exp(-(x * x + y * y) / 8000); },
      &truth);
  for (TTriangulation method : {TTriangulation::Midpoint, TTriangulation::ProjectorRay}) {
    const auto cloud = PlaceRasterPoints(rig, raster, {method});
    ASSERT_EQ(cloud.size(), truth.size());
    double worstMm = 0, worstGap = 0, worstPx = 0;
    for (std::size_t i = 0; i < cloud.size(); ++i) {
      // Compared in double precision before the cloud's float storage.
      const auto rays =
          TriangulatePixels(rig, {raster[i].CameraPx}, {raster[i].ProjectorPx}, method);
      ASSERT_TRUE(rays[0].Placed);
      worstMm = std::max(worstMm, cv::norm(rays[0].CameraMm - truth[i]));
      worstGap = std::max(worstGap, rays[0].RayGapMm);
      worstPx = std::max({worstPx, rays[0].CameraErrorPx, rays[0].ProjectorErrorPx});
      EXPECT_EQ(cloud[i].Number, raster[i].Number);
      EXPECT_FALSE(cloud[i].Marked) << i;
    }
    EXPECT_LT(worstMm, 1e-6);
    EXPECT_LT(worstGap, 1e-6);
    EXPECT_LT(worstPx, 1e-6);
  }

  // Undistortion inverts OpenCV's lens model to far below a pixel's millionth, in the corners too.
  for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(2047, 1535)}) {
    cv::Point2d normalised;
    ASSERT_TRUE(UndistortPixel(rig.Camera, corner, normalised));
    const auto back = Project({{normalised.x, normalised.y, 1}}, rig, false);
    EXPECT_LT(cv::norm(back[0] - corner), 1e-8);
  }
  // Rays that meet behind the projector place nothing.
  const auto behind = TriangulatePixels(rig, {{1024, 768}}, {{-4000, 420}});
  EXPECT_FALSE(behind[0].Placed);
}

TEST(TriangulationTest, MarksPointsOffTheirSurfaceButNotAtADepthEdge) {
  const TRigGeometry rig = KnownRig();
  // A flat wall at 650 mm with a box 60 mm nearer over part of it.
  auto raster =
      Raster(rig, 30, 40, [](double x, double y) { return x > 20 && y > -30 ? 590.0 : 650.0; });
  EXPECT_EQ(SummariseCloud(PlaceRasterPoints(rig, raster)).Marked, 0);

  // One point read 3 px off its place in the photo along its epipolar line: it
  // lands off the wall, its rays still meet. Another 3 px across: its rays miss.
  std::vector<TRasterPoint> faulty = raster;
  const std::size_t along = 5 * 40 + 5, across = 20 * 40 + 10;
  std::vector<cv::Point3d> truth;
  Raster(rig, 30, 40, Flat, &truth);
  cv::Point3d moved = truth[along] * (640.0 / 650.0);  // 10 mm nearer on the same camera ray
  faulty[along].ProjectorPx = Project({moved}, rig, true)[0];
  faulty[across].CameraPx += cv::Point2d(0, 3);
  const auto cloud = PlaceRasterPoints(rig, faulty);
  std::vector<int> marked;
  for (const TCloudPoint& p : cloud)
    if (p.Marked) marked.push_back(p.Number);
  EXPECT_EQ(marked, (std::vector<int>{int(along) + 1, int(across) + 1}));
  const TCloudSummary summary = SummariseCloud(cloud);
  EXPECT_EQ(summary.Placed, 1200);
  EXPECT_EQ(summary.Marked, 2);
  EXPECT_NEAR(summary.NearestMm, 590, 1e-3);
  EXPECT_NEAR(summary.FarthestMm, 650, 1e-3);
  EXPECT_EQ(summary.Text().rfind("3D: 1200 bodů, hloubka 590,0–650,0 mm", 0), 0u) << summary.Text();
  // Read points left out beside a shadow are named after the marked ones, only when there are any.
  TCloudSummary leftOut = summary;
  leftOut.PartlyLit = 3;
  EXPECT_EQ(leftOut.Text(), summary.Text() + ", 3 vynechaných u hrany stínu");
  EXPECT_TRUE(summary.Text().ends_with(", 2 označených")) << summary.Text();
}

// A PLY reader of the test's own: the header by the format's rules, then the
// vertices property by property in the types the header names.
struct TPly {
  std::vector<std::string> Comments;
  std::vector<std::pair<std::string, std::string>> Properties;  // type, name
  std::size_t Vertices = 0;
  std::vector<std::map<std::string, double>> Values;
};

TPly ReadPly(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  TPly ply;
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "ply");
  std::getline(in, line);
  EXPECT_EQ(line, "format binary_little_endian 1.0");
  const std::map<std::string, int> sizes = {{"char", 1}, {"uchar", 1}, {"short", 2}, {"ushort", 2},
                                            {"int", 4},  {"uint", 4},  {"float", 4}, {"double", 8}};
  while (std::getline(in, line) && line != "end_header") {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "comment") {
      ply.Comments.push_back(line.substr(8));
    } else if (word == "element") {
      std::string name;
      words >> name >> ply.Vertices;
      EXPECT_EQ(name, "vertex");
    } else if (word == "property") {
      std::string type, name;
      words >> type >> name;
      EXPECT_TRUE(sizes.count(type)) << line;
      ply.Properties.emplace_back(type, name);
    } else {
      ADD_FAILURE() << "not a PLY header line: " << line;
    }
  }
  EXPECT_EQ(line, "end_header");
  for (std::size_t v = 0; v < ply.Vertices && in; ++v) {
    std::map<std::string, double> values;
    for (const auto& [type, name] : ply.Properties) {
      unsigned char bytes[8] = {};
      in.read(reinterpret_cast<char*>(bytes), sizes.at(type));
      // Little-endian by the bytes' weights, whatever this machine's order.
      std::uint64_t raw = 0;
      for (int b = sizes.at(type) - 1; b >= 0; --b) raw = raw << 8 | bytes[b];
      if (type == "float") {
        float f;
        const auto bits = std::uint32_t(raw);
        std::memcpy(&f, &bits, 4);
        values[name] = f;
      } else if (type == "int") {
        values[name] = std::int32_t(std::uint32_t(raw));
      } else {
        values[name] = double(raw);
      }
    }
    ply.Values.push_back(values);
  }
  EXPECT_TRUE(in) << "fewer bytes than the header announces";
  EXPECT_EQ(in.peek(), std::char_traits<char>::eof()) << "bytes after the last vertex";
  return ply;
}

TEST(PointCloudFileTest, PlyReadsBackWithUnitFrameAndCalibration) {
  const TRigGeometry rig = KnownRig();
  auto cloud = PlaceRasterPoints(rig, Raster(rig, 12, 16, Flat));
  cloud[7].Marked = true;
  const fs::path dir = fs::temp_directory_path() / ("corvalet-ply-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string error;
  ASSERT_TRUE(WritePointCloudPly((dir / "points.ply").string(), cloud, "/tmp/my\ncal.yml", &error))
      << error;
  const TPly ply = ReadPly(dir / "points.ply");
  EXPECT_NE(std::find(ply.Comments.begin(), ply.Comments.end(), "unit: mm"), ply.Comments.end());
  EXPECT_NE(std::find(ply.Comments.begin(), ply.Comments.end(), "calibration: /tmp/my cal.yml"),
            ply.Comments.end());
  bool frame = false;
  for (const std::string& c : ply.Comments) frame |= c.rfind("frame: camera", 0) == 0;
  EXPECT_TRUE(frame);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"float", "x"},          {"float", "y"},     {"float", "z"},        {"int", "number"},
      {"int", "row"},          {"int", "column"},  {"float", "residual"}, {"float", "reprojection"},
      {"uchar", "brightness"}, {"uchar", "marked"}};
  EXPECT_EQ(ply.Properties, expected);
  ASSERT_EQ(ply.Values.size(), cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const auto& v = ply.Values[i];
    EXPECT_EQ(v.at("x"), cloud[i].CameraMm.x);
    EXPECT_EQ(v.at("z"), cloud[i].CameraMm.z);
    EXPECT_EQ(v.at("number"), cloud[i].Number);
    EXPECT_EQ(v.at("row"), cloud[i].Row);
    EXPECT_EQ(v.at("column"), cloud[i].Column);
    EXPECT_EQ(v.at("residual"), cloud[i].RayGapMm);
    EXPECT_EQ(v.at("brightness"), double(i % 256));
    EXPECT_EQ(v.at("marked"), i == 7 ? 1 : 0);
  }

  // The picture: as big as asked, the points in colour about its middle.
  ASSERT_TRUE(WriteCloudPicture((dir / "3d.png").string(), cloud, &error)) << error;
  const cv::Mat picture = cv::imread((dir / "3d.png").string());
  ASSERT_EQ(picture.size(), cv::Size(1024, 768));
  const auto coloured = [](const cv::Mat& Picture) {
    cv::Mat hsv;
    cv::cvtColor(Picture, hsv, cv::COLOR_BGR2HSV);
    return cv::countNonZero(hsv.reshape(1, int(hsv.total())).col(1) > 100);
  };
  EXPECT_GT(coloured(picture(cv::Rect(312, 200, 400, 300))), 1000);
  // A misread point far off is drawn, marked, without shrinking the others to a dot.
  auto withFar = cloud;
  withFar.push_back(cloud[0]);
  withFar.back().CameraMm = {0, 0, 1e5};
  withFar.back().Marked = true;
  EXPECT_GT(coloured(DrawCloud(withFar)), 0.9 * coloured(picture));
  // A folder that is not there: no file, an error naming it.
  const std::string missing = (dir / "no" / "points.ply").string();
  EXPECT_FALSE(WritePointCloudPly(missing, cloud, "", &error));
  EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;
  fs::remove_all(dir);
}

}  // namespace
