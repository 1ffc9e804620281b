// Calibration of the simulated rig from scans of its board, measured against
// the rig's own truth: the command on a few views, a view without the board,
// a corner lost to glare, a zoom turned between views.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <map>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "geometry/BoardCorners.h"
#include "geometry/CalibrateCommand.h"
#include "geometry/CalibrationRun.h"
#include "sdk/sim/SimConfig.h"
#include "tests/support/GridOrder.h"
#include "tests/support/SimScan.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

const TBoard Board{9, 6, 25};

class TRigCalibrationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Root = new fs::path(Station::MakeTempDirectory("corvalet-rig-calibration"));
    Scans = new std::map<std::string, TSimScan>;
  }
  static void TearDownTestSuite() {
    fs::remove_all(*Root);
    delete Scans;
    delete Root;
  }

  // The scan that the rig configured by Config takes, once, into a folder of its
  // own, its truth files into another. The noise is drawn from the name, so that a
  // scan is the same photos whichever tests run and in whatever order.
  static std::string Scan(const std::string& Name, const std::string& Config) {
    const fs::path dir = *Root / Name;
    if (Scans->count(Name)) return dir.string();
    std::string error;
    const auto parsed = ParseSimConfig(
        Config + ",blur=1,noise=4,truth=" + (*Root / "truth" / Name).string(), &error);
    EXPECT_TRUE(parsed) << error;
    TSimScanSetup setup;
    setup.Optics = parsed->Optics;
    setup.Stage = parsed->Stage;
    setup.TruthDir = parsed->TruthDir;
    setup.Seed = 7919u;
    for (char c : Name) setup.Seed = setup.Seed * 31u + std::uint8_t(c);
    fs::create_directories(dir);
    Scans->emplace(Name, WriteSimScan(dir.string(), setup));
    return dir.string();
  }
  static std::string Pose(int K) {
    return Scan("pose-" + std::to_string(K), "scene=board,board=9x6:25,pose=" + std::to_string(K));
  }
  // The rig as scan Name's truth describes it.
  static TRigGeometry Truth(const std::string& Name = "pose-1") {
    std::string error;
    const auto rig = ReadCalibrationFile((*Root / "truth" / Name / "rig.yml").string(), &error);
    EXPECT_TRUE(rig) << error;
    return rig ? rig->Rig : TRigGeometry{};
  }
  // Scan Name's board truth: its pose and its corners in the photo.
  static cv::FileStorage BoardTruth(const std::string& Name) {
    const std::string photo = (*Scans)[Name].Names[2];
    return cv::FileStorage(
        (*Root / "truth" / Name / (photo.substr(0, photo.rfind('.')) + "-board.yml")).string(),
        cv::FileStorage::READ);
  }
  // Where the board's corners of scan Name truly lie in the photo.
  static std::vector<cv::Point2f> CameraTruth(const std::string& Name) {
    cv::Mat corners;
    BoardTruth(Name)["corners"] >> corners;
    std::vector<cv::Point2f> points;
    for (int i = 0; i < corners.rows; ++i)
      points.emplace_back(cv::Point2d(corners.at<cv::Vec2d>(i)[0], corners.at<cv::Vec2d>(i)[1]));
    return points;
  }
  // Scan Name's board pose: its coordinates (mm from the first inner corner) to the camera's.
  static std::pair<cv::Matx33d, cv::Vec3d> BoardPose(const std::string& Name) {
    cv::FileStorage file = BoardTruth(Name);
    cv::Mat rotation, translation;
    file["board_rotation"] >> rotation;
    file["board_translation"] >> translation;
    return {cv::Matx33d(rotation), cv::Vec3d(translation)};
  }
  // Where the board's corners of scan Name truly lie in the projector's bitmap.
  static std::vector<cv::Point2f> ProjectorTruth(const std::string& Name) {
    const auto [rotation, translation] = BoardPose(Name);
    const TRigGeometry rig = Truth(Name);
    cv::Vec3d turn;
    cv::Rodrigues(rig.ProjectorFromCamera * rotation, turn);
    const cv::Vec3d shift = rig.ProjectorFromCamera * translation + rig.ProjectorFromCameraMm;
    std::vector<cv::Point2f> corners;
    cv::projectPoints(Board.Points(), turn, shift, rig.Projector.Matrix, rig.Projector.Distortion,
                      corners);
    return corners;
  }

  static inline fs::path* Root = nullptr;
  static inline std::map<std::string, TSimScan>* Scans = nullptr;
};

TEST_F(TRigCalibrationTest, CommandOnSixViewsComesCloseToTheTruthAndNamesAViewWithoutBoard) {
  QStringList arguments{"corvalet-calibrate", "--board", "9x6:25", "--out",
                        QString::fromStdString((*Root / "six.yml").string())};
  for (int k = 1; k <= 6; ++k) arguments << QString::fromStdString(Pose(k));
  const std::string wall = Scan("wall", "scene=wall");
  arguments << QString::fromStdString(wall);
  std::ostringstream out, err;
  ASSERT_EQ(RunCalibrateCommand(arguments, out, err), 0) << out.str() << err.str();
  EXPECT_NE(out.str().find("Pohled 7 (" + wall + "): nepoužitelný: deska není v záběru"),
            std::string::npos)
      << out.str();

  // Read back by OpenCV itself.
  cv::FileStorage file((*Root / "six.yml").string(), cv::FileStorage::READ);
  ASSERT_TRUE(file.isOpened());
  cv::Mat camera, projector, translation;
  file["camera_matrix"] >> camera;
  file["projector_matrix"] >> projector;
  file["translation"] >> translation;
  const TRigGeometry truth = Truth();
  // The centre within three of the standard deviations the calibration gives for it:
  // six views with corners found to under a tenth of a pixel fix it to about 1 px.
  cv::Mat deviations;
  file["camera_deviations"] >> deviations;
  ASSERT_GE(deviations.total(), 4u);
  for (int axis : {0, 1}) {
    EXPECT_NEAR(camera.at<double>(axis, axis) / truth.Camera.Matrix(axis, axis), 1, 0.003);
    EXPECT_NEAR(camera.at<double>(axis, 2), truth.Camera.Matrix(axis, 2),
                3 * deviations.at<double>(2 + axis));
    EXPECT_NEAR(projector.at<double>(axis, axis) / truth.Projector.Matrix(axis, axis), 1, 0.005);
  }
  EXPECT_NEAR(cv::norm(translation) / truth.BaselineMm(), 1, 0.005);
  // The corners found in the photos stray from the true ones by 0.06 to 0.08 px (the
  // board's grey squares on a noisy photo); the true rig fits them with that error,
  // so the calibration, the best fit, must fit them at least as closely.
  double squares = 0;
  int corners = 0;
  for (int k = 1; k <= 6; ++k) {
    const std::string name = "pose-" + std::to_string(k);
    const TBoardCorners found =
        FindBoardCorners(ReadLitGray((*Root / name / (*Scans)[name].Names[1]).string()), Board);
    const std::vector<cv::Point2f> real = InFoundOrder(CameraTruth(name), found.Corners);
    ASSERT_EQ(found.Corners.size(), real.size()) << name;
    for (std::size_t i = 0; i < real.size(); ++i, ++corners)
      squares += (found.Corners[i] - real[i]).dot(found.Corners[i] - real[i]);
  }
  const double cornerRms = std::sqrt(squares / corners);
  EXPECT_LT(cornerRms, 0.1);
  EXPECT_LT(double(file["camera_rms"]), cornerRms);
  EXPECT_LT(double(file["projector_rms"]), 0.1);
  EXPECT_LT(double(file["stereo_rms"]), 0.15);
  EXPECT_EQ(file["views"].size(), 6u);
}

// Glare over part of the board: its corners lose their points and are dropped;
// every other corner keeps its own place in the projector.
TEST_F(TRigCalibrationTest, GlareDropsOnlyTheCornersItCovers) {
  Pose(2);
  const std::vector<cv::Point2f> photo = CameraTruth("pose-2");
  ASSERT_EQ(photo.size(), 54u);
  // A glare box over the board's middle corner and every point about it that its
  // projector place is fitted from, in shares of the photo.
  const std::size_t middle = 2 * 9 + 4;
  double pitch = 1e9;
  for (std::size_t next : {middle - 9, middle - 1, middle + 1, middle + 9})
    pitch = std::min(pitch, double(cv::norm(photo[next] - photo[middle])));
  // Each corner's place is fitted from the points within 0.4 of the distance to its
  // neighbours: the glare covers all of the middle corner's and little of its neighbours'.
  THomographyOptions options;
  options.WindowShare = 0.4;
  const double reach = options.WindowShare * pitch + 6;
  const double x = photo[middle].x, y = photo[middle].y;
  char glare[128];
  std::snprintf(glare, sizeof glare, "scene=board,board=9x6:25,pose=2,glare=%.4f:%.4f:%.4f:%.4f",
                (x - reach) / 2048, (y - reach) / 1536, (x + reach) / 2048, (y + reach) / 1536);
  const std::string dazzled = Scan("glare", glare);
  std::string error;
  const auto lit = ReadCalibrationView(dazzled, Board, options, &error);
  ASSERT_TRUE(lit) << error;
  ASSERT_EQ(lit->Corners.size(), 54u) << lit->Problem;
  const std::vector<cv::Point2f> truth = ProjectorTruth("glare");
  // The found corner of each true one: the grid may run either way along the board.
  const std::size_t last = photo.size() - 1;
  const bool reversed =
      cv::norm(lit->Corners[0] - photo[0]) > cv::norm(lit->Corners[last] - photo[0]);
  auto found = [&](std::size_t I) { return reversed ? last - I : I; };
  EXPECT_LT(cv::norm(lit->Corners[found(0)] - photo[0]), 1);
  EXPECT_LT(cv::norm(lit->Corners[found(last)] - photo[last]), 1);
  EXPECT_FALSE(Known(lit->ProjectorCorners[found(middle)]));
  int placed = 0;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    if (!Known(lit->ProjectorCorners[found(i)])) continue;
    ++placed;
    // So small a window holds about a fifth of the default one's points: places scatter
    // up to about 0.45 px; a place taken from another corner's points is a raster step off.
    EXPECT_LT(cv::norm(lit->ProjectorCorners[found(i)] - truth[i]), 0.5) << "corner " << i;
  }
  EXPECT_GE(placed, 44);
}

// The coded points that refine a calibration: every one read on the printed squares, out
// to the board's own edge a square past the outer inner corners, and none off them.
TEST_F(TRigCalibrationTest, PointsOnTheBoardFillItsPrintedSquares) {
  std::string error;
  const auto view = ReadCalibrationView(Pose(2), Board, {}, &error);
  ASSERT_TRUE(view) << error;
  const auto [rotation, translation] = BoardPose("pose-2");
  // Whether a true point lies on the board's plane within Margin squares of its inner corners.
  auto within = [&](const TSimPointTruth& Point, double Margin) {
    const cv::Vec3d at =
        rotation.t() *
        (cv::Vec3d(Point.Surface[0], Point.Surface[1], Point.Surface[2]) - translation) /
        Board.SquareMm;
    return std::abs(at[2]) < 1e-3 && at[0] >= -Margin && at[1] >= -Margin &&
           at[0] <= Board.Columns - 1 + Margin && at[1] <= Board.Rows - 1 + Margin;
  };
  // Each point taken is matched with the truth's nearest (its pixels' origin at the top-left
  // pixel's corner, the calibration's at its centre).
  const std::vector<TSimPointTruth>& points = (*Scans)["pose-2"].Truth;
  std::vector<char> taken(points.size(), 0);
  int beyondCorners = 0;
  for (const TDecodedPoint& read : view->OnBoard) {
    auto gap = [&](const TSimPointTruth& Truth) {
      return std::hypot(Truth.Centre.x() - 0.5 - read.Camera.x,
                        Truth.Centre.y() - 0.5 - read.Camera.y);
    };
    const auto nearest = std::min_element(
        points.begin(), points.end(),
        [&](const TSimPointTruth& A, const TSimPointTruth& B) { return gap(A) < gap(B); });
    ASSERT_LT(gap(*nearest), 0.5);
    EXPECT_TRUE(within(*nearest, 1.1)) << "taken off the printed squares: " << read.Camera;
    beyondCorners += !within(*nearest, 0);
    taken[std::size_t(nearest - points.begin())] = 1;
  }
  EXPECT_GT(beyondCorners, int(view->OnBoard.size()) / 3);
  // Every point the rig makes readable on the printed squares is taken, out to their edge.
  int missed = 0;
  for (std::size_t i = 0; i < points.size(); ++i)
    missed += points[i].Readable && within(points[i], 0.9) && !taken[i];
  EXPECT_EQ(missed, 0);
}

TEST_F(TRigCalibrationTest, ZoomTurnedBetweenViewsIsReported) {
  std::vector<TCalibrationView> views;
  std::string error;
  // A sample of the views where sweeps are sampled: four still fix the focal length.
  const int count = Station::SampledSweeps() ? 4 : 6;
  for (int k = 1; k <= count; ++k)
    views.push_back(*ReadCalibrationView(Pose(k), Board, {}, &error));
  const std::string zoomed = Scan("zoomed", "scene=board,board=9x6:25,pose=10,zoom=1.03");
  views.push_back(*ReadCalibrationView(zoomed, Board, {}, &error));
  TCalibrationOptions options;
  options.ProjectorSize = StationProjectionSize;
  const TCalibrationOutcome outcome = Calibrate(views, Board, options);
  ASSERT_TRUE(outcome.Calibration);
  bool named = false;
  for (const std::string& finding : outcome.Findings)
    named =
        named || finding.find("Pohled " + zoomed + " ukazuje jiné ohnisko") != std::string::npos;
  EXPECT_TRUE(named) << (outcome.Findings.empty() ? "no findings" : outcome.Findings[0]);
}

}  // namespace
