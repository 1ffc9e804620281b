// Calibration of the simulated rig from scans of its board, measured against
// the rig's own truth: the command on a few views, a view without the board,
// a corner lost to glare, a zoom turned between views.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <map>
#include <opencv2/calib3d.hpp>
#include <sstream>

#include "geometry/CalibrateCommand.h"
#include "geometry/CalibrationRun.h"
#include "sdk/sim/SimConfig.h"
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

  // The scan that the rig configured by Config takes, into a folder of its own, once.
  static std::string Scan(const std::string& Name, const std::string& Config) {
    const fs::path dir = *Root / Name;
    if (Scans->count(Name)) return dir.string();
    std::string error;
    const auto parsed =
        ParseSimConfig(Config + ",blur=1,noise=4,truth=" + (*Root / "truth").string(), &error);
    EXPECT_TRUE(parsed) << error;
    TSimScanSetup setup;
    setup.Optics = parsed->Optics;
    setup.Stage = parsed->Stage;
    setup.TruthDir = parsed->TruthDir;
    setup.Seed = std::uint32_t(Scans->size() + 1) * 7919u;
    fs::create_directories(dir);
    Scans->emplace(Name, WriteSimScan(dir.string(), setup));
    return dir.string();
  }
  static std::string Pose(int K) {
    return Scan("pose-" + std::to_string(K), "scene=board,board=9x6:25,pose=" + std::to_string(K));
  }
  static TRigGeometry Truth() {
    std::string error;
    const auto rig = ReadCalibrationFile((*Root / "truth" / "rig.yml").string(), &error);
    EXPECT_TRUE(rig) << error;
    return rig ? rig->Rig : TRigGeometry{};
  }
  // Where the board's corners of scan Name truly lie in the projector's bitmap.
  static std::vector<cv::Point2f> ProjectorTruth(const std::string& Name) {
    const std::string photo = (*Scans)[Name].Names[2];
    cv::FileStorage file(
        (*Root / "truth" / (photo.substr(0, photo.rfind('.')) + "-board.yml")).string(),
        cv::FileStorage::READ);
    cv::Mat rotation, translation;
    file["board_rotation"] >> rotation;
    file["board_translation"] >> translation;
    const TRigGeometry rig = Truth();
    cv::Vec3d turn;
    cv::Rodrigues(rig.ProjectorFromCamera * cv::Matx33d(rotation), turn);
    const cv::Vec3d shift =
        rig.ProjectorFromCamera * cv::Vec3d(translation) + rig.ProjectorFromCameraMm;
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
  for (int axis : {0, 1}) {
    EXPECT_NEAR(camera.at<double>(axis, axis) / truth.Camera.Matrix(axis, axis), 1, 0.003);
    EXPECT_NEAR(camera.at<double>(axis, 2), truth.Camera.Matrix(axis, 2), 3);
    EXPECT_NEAR(projector.at<double>(axis, axis) / truth.Projector.Matrix(axis, axis), 1, 0.005);
  }
  EXPECT_NEAR(cv::norm(translation) / truth.BaselineMm(), 1, 0.005);
  EXPECT_LT(double(file["camera_rms"]), 0.15);
  EXPECT_LT(double(file["projector_rms"]), 0.15);
  EXPECT_LT(double(file["stereo_rms"]), 0.2);
  EXPECT_EQ(file["views"].size(), 6u);
}

// Glare over part of the board: its corners lose their points and are dropped;
// every other corner keeps its own place in the projector.
TEST_F(TRigCalibrationTest, GlareDropsOnlyTheCornersItCovers) {
  const std::string plain = Pose(2);
  std::string error;
  const auto view = ReadCalibrationView(plain, Board, THomographyOptions{}, &error);
  ASSERT_TRUE(view) << error;
  ASSERT_EQ(view->Corners.size(), 54u) << view->Problem;
  // A glare box around the board's middle corner, in shares of the photo.
  const cv::Point2f middle = view->Corners[2 * 9 + 4];
  const double x = middle.x / 2048, y = middle.y / 1536;
  char glare[128];
  std::snprintf(glare, sizeof glare, "scene=board,board=9x6:25,pose=2,glare=%.4f:%.4f:%.4f:%.4f",
                x - 0.02, y - 0.025, x + 0.02, y + 0.025);
  const std::string dazzled = Scan("glare", glare);
  const auto lit = ReadCalibrationView(dazzled, Board, THomographyOptions{}, &error);
  ASSERT_TRUE(lit) << error;
  ASSERT_EQ(lit->Corners.size(), 54u) << lit->Problem;
  const std::vector<cv::Point2f> truth = ProjectorTruth("glare");
  EXPECT_FALSE(Known(lit->ProjectorCorners[2 * 9 + 4]));
  int placed = 0;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    if (!Known(lit->ProjectorCorners[i])) continue;
    ++placed;
    // The grid may run either way along the board; never shifted.
    const cv::Point2f& expected =
        cv::norm(lit->Corners[0] - view->Corners[0]) < 5 ? truth[i] : truth[truth.size() - 1 - i];
    EXPECT_LT(cv::norm(lit->ProjectorCorners[i] - expected), 0.3) << "corner " << i;
  }
  EXPECT_GE(placed, 44);
}

TEST_F(TRigCalibrationTest, ZoomTurnedBetweenViewsIsReported) {
  std::vector<TCalibrationView> views;
  std::string error;
  for (int k = 1; k <= 6; ++k) views.push_back(*ReadCalibrationView(Pose(k), Board, {}, &error));
  const std::string zoomed = Scan("zoomed", "scene=board,board=9x6:25,pose=7,zoom=1.03");
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
