// Calibration on views made from a known rig with OpenCV's own projection:
// corners, projector places, the calibration and what it says to the operator.

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <random>

#include "geometry/Calibrate.h"
#include "geometry/CalibrationReport.h"
#include "tests/support/GridOrder.h"

namespace {

// A rig like the station's: a 2048 x 1536 camera, the projector 200 mm to its side, turned in.
TRigGeometry KnownRig() {
  TRigGeometry rig;
  rig.Camera = {
      {2048, 1536}, {2650, 0, 1031.5, 0, 2652, 760.25, 0, 0, 1}, {-0.09, 0.12, 0.0004, -0.0003, 0}};
  rig.Projector = {{1016, 734}, {1420, 0, 500.5, 0, 1421.5, 420, 0, 0, 1}, {0.03, -0.05, 0, 0, 0}};
  // The projector 200 mm to the right, its axis crossing the camera's about 700 mm ahead.
  cv::Rodrigues(cv::Vec3d(0.02, 0.28, 0.01), rig.ProjectorFromCamera);
  rig.ProjectorFromCameraMm = -(rig.ProjectorFromCamera * cv::Vec3d(200, 5, 0));
  return rig;
}

const TBoard Board{9, 6, 25};

// Ten poses: tilted up to about 30 degrees, 500 to 700 mm away, across the view.
struct TPose {
  cv::Vec3d Rotation, Translation;  // camera from board
};
std::vector<TPose> Poses() {
  std::vector<TPose> poses;
  const double tilts[10][3] = {
      {0.4, 0, 0},     {-0.4, 0.1, 0},   {0, 0.45, 0.1},    {0.1, -0.45, 0},    {0.3, 0.3, 0.2},
      {-0.3, -0.3, 0}, {0.2, -0.2, 1.5}, {-0.2, 0.3, -0.3}, {0.35, 0.05, 0.05}, {-0.1, -0.4, 0.3}};
  const double places[10][3] = {
      {-220, -160, 600}, {10, -160, 620},  {-230, 20, 600},   {20, 30, 560},   {-100, -60, 700},
      {-200, -60, 650},  {170, -120, 580}, {-100, -150, 540}, {-100, 40, 680}, {-60, -70, 610}};
  for (int i = 0; i < 10; ++i) poses.push_back({cv::Vec3d(tilts[i]), cv::Vec3d(places[i])});
  return poses;
}

// Where board points land on one side, by OpenCV's projection.
std::vector<cv::Point2f> Project(const std::vector<cv::Point3f>& Points, const TPose& Pose,
                                 const TCameraModel& Model) {
  std::vector<cv::Point2f> image;
  cv::projectPoints(Points, Pose.Rotation, Pose.Translation, Model.Matrix, Model.Distortion, image);
  return image;
}

TPose ProjectorPose(const TPose& Camera, const TRigGeometry& Rig) {
  cv::Matx33d rotation;
  cv::Rodrigues(Camera.Rotation, rotation);
  TPose pose;
  cv::Rodrigues(Rig.ProjectorFromCamera * rotation, pose.Rotation);
  pose.Translation = Rig.ProjectorFromCamera * Camera.Translation + Rig.ProjectorFromCameraMm;
  return pose;
}

// One view with corner noise of Noise pixels on both sides.
TCalibrationView MakeView(const TRigGeometry& Rig, const TPose& Pose, double Noise,
                          std::mt19937& Random, const std::string& Name) {
  std::normal_distribution<double> noise(0, Noise);
  TCalibrationView view;
  view.Name = Name;
  view.PhotoSize = Rig.Camera.Size;
  view.Corners = Project(Board.Points(), Pose, Rig.Camera);
  view.ProjectorCorners = Project(Board.Points(), ProjectorPose(Pose, Rig), Rig.Projector);
  for (auto* side : {&view.Corners, &view.ProjectorCorners})
    for (cv::Point2f& p : *side) p += cv::Point2f(float(noise(Random)), float(noise(Random)));
  view.BoardPoints = 1000;
  view.Settings = "Kamera: manuál, 1/15 s, f/8, ISO 100";
  return view;
}

std::vector<TCalibrationView> MakeViews(const TRigGeometry& Rig, int Count, double Noise) {
  std::mt19937 random(7);
  std::vector<TCalibrationView> views;
  const auto poses = Poses();
  for (int i = 0; i < Count; ++i)
    views.push_back(
        MakeView(Rig, poses[std::size_t(i)], Noise, random, "view" + std::to_string(i)));
  return views;
}

TCalibrationOptions Options() {
  TCalibrationOptions options;
  options.ProjectorSize = {1016, 734};
  return options;
}

bool Mentions(const TCalibrationOutcome& Outcome, const std::string& Text) {
  for (const std::string& finding : Outcome.Findings)
    if (finding.find(Text) != std::string::npos) return true;
  return false;
}

// The coded raster as the projector draws it (a point every 8 pixels), each point
// cast onto the board's plane and photographed: where the check would read it.
std::vector<TDecodedPoint> DecodedPoints(const TRigGeometry& Rig, const TPose& Pose) {
  std::vector<cv::Point2f> projector;
  for (int row = 0; row < 90; ++row)
    for (int column = 0; column < 126; ++column)
      projector.emplace_back(float(11 + 8 * column), float(11 + 8 * row));
  std::vector<cv::Point2f> rays;
  cv::undistortPoints(projector, rays, Rig.Projector.Matrix, Rig.Projector.Distortion,
                      cv::noArray(), cv::noArray(),
                      cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 1e-12));
  const TPose seen = ProjectorPose(Pose, Rig);
  cv::Matx33d rotation;
  cv::Rodrigues(seen.Rotation, rotation);
  // The board's plane in projector coordinates: normal n, n . X = d.
  const cv::Vec3d normal = rotation * cv::Vec3d(0, 0, 1);
  const double distance = normal.dot(seen.Translation);
  std::vector<cv::Point3f> onBoard;
  std::vector<cv::Point2f> kept;
  const cv::Matx33d back = Rig.ProjectorFromCamera.t();
  for (std::size_t i = 0; i < rays.size(); ++i) {
    const cv::Vec3d ray(rays[i].x, rays[i].y, 1);
    const cv::Vec3d hit = ray * (distance / normal.dot(ray));
    const cv::Vec3d local = rotation.t() * (hit - seen.Translation);  // board coordinates
    if (local[0] < -25 || local[0] > 225 || local[1] < -25 || local[1] > 150) continue;
    const cv::Vec3d camera = back * (hit - Rig.ProjectorFromCameraMm);
    onBoard.emplace_back(float(camera[0]), float(camera[1]), float(camera[2]));
    kept.push_back(projector[i]);
  }
  std::vector<cv::Point2f> photo;
  cv::projectPoints(onBoard, cv::Vec3d(), cv::Vec3d(), Rig.Camera.Matrix, Rig.Camera.Distortion,
                    photo);
  std::vector<TDecodedPoint> points;
  for (std::size_t i = 0; i < photo.size(); ++i) points.push_back({photo[i], kept[i]});
  return points;
}

// The board as printed, grey and white with a white border a square wide,
// seen through the homography that takes board millimetres to photo pixels.
cv::Mat BoardPhoto(const cv::Matx33d& PhotoFromBoardMm, cv::Size Size) {
  const double pixelsPerMm = 8;
  const int squares[2] = {Board.Columns + 1, Board.Rows + 1};
  const cv::Size printed(int((squares[0] + 2) * Board.SquareMm * pixelsPerMm),
                         int((squares[1] + 2) * Board.SquareMm * pixelsPerMm));
  cv::Mat print(printed, CV_8U, cv::Scalar(230));
  const int side = int(Board.SquareMm * pixelsPerMm);
  for (int r = 0; r < squares[1]; ++r)
    for (int c = 0; c < squares[0]; ++c)
      if ((r + c) % 2 == 0)
        print(cv::Rect((c + 1) * side, (r + 1) * side, side, side)).setTo(cv::Scalar(90));
  // Print pixel (u, v) centre lies at board mm ((u + 0.5) / ppm - 2 squares).
  const double shift = 2 * Board.SquareMm;
  const cv::Matx33d boardFromPrint(1 / pixelsPerMm, 0, 0.5 / pixelsPerMm - shift, 0,
                                   1 / pixelsPerMm, 0.5 / pixelsPerMm - shift, 0, 0, 1);
  cv::Mat photo;
  cv::warpPerspective(print, photo, cv::Mat(PhotoFromBoardMm * boardFromPrint), Size,
                      cv::INTER_AREA, cv::BORDER_CONSTANT, cv::Scalar(40));
  return photo;
}

// The board slightly turned and tilted, in the middle of a 1600 x 1200 photo.
const cv::Matx33d MiddleOfPhoto(3.1, 0.4, 420, -0.3, 3.0, 330, 0.0002, 0.0001, 1);

// Where PhotoFromBoardMm puts the board's corners.
std::vector<cv::Point2f> CornersBy(const cv::Matx33d& PhotoFromBoardMm) {
  std::vector<cv::Point2f> onBoard, photo;
  for (const cv::Point3f& p : Board.Points()) onBoard.emplace_back(p.x, p.y);
  cv::perspectiveTransform(onBoard, photo, cv::Mat(PhotoFromBoardMm));
  return photo;
}

// Found corners against the truth in their order: their mean shift, their mean shift
// outwards from the grid's middle, and their error (RMS).
struct TCornerErrors {
  cv::Point2d Mean;
  double Outwards = 0, Rms = 0;
};
TCornerErrors CornerErrors(const std::vector<cv::Point2f>& Found,
                           const std::vector<cv::Point2f>& Truth) {
  TCornerErrors errors;
  const cv::Point2f middle = (Truth.front() + Truth.back()) / 2;
  const double share = 1.0 / double(Truth.size());
  for (std::size_t i = 0; i < Truth.size(); ++i) {
    const cv::Point2d away = Truth[i] - middle, error = Found[i] - Truth[i];
    errors.Mean += share * error;
    errors.Outwards += share * error.dot(away) / std::max(cv::norm(away), 1.0);
    errors.Rms += share * error.dot(error);
  }
  errors.Rms = std::sqrt(errors.Rms);
  return errors;
}

}  // namespace

// Corners in a photo: one to one with the board's points, or why there are none.
TEST(BoardCorners, FoundPairedOneToOneOrNamedWhyNot) {
  const cv::Size size(1600, 1200);
  const cv::Mat photo = BoardPhoto(MiddleOfPhoto, size);
  const TBoardCorners found = FindBoardCorners(photo, Board);
  ASSERT_EQ(found.Missing, TBoardMissing::None) << BoardMissingText(found.Missing);
  ASSERT_EQ(found.Corners.size(), std::size_t(Board.Corners()));
  // Either end of the grid first, never shifted.
  const std::vector<cv::Point2f> truth = InFoundOrder(CornersBy(MiddleOfPhoto), found.Corners);
  for (std::size_t i = 0; i < truth.size(); ++i)
    EXPECT_LT(cv::norm(found.Corners[i] - truth[i]), 0.15) << "corner " << i;

  EXPECT_EQ(FindBoardCorners(cv::Mat(size, CV_8U, cv::Scalar(12)), Board).Missing,
            TBoardMissing::TooDark);
  EXPECT_EQ(FindBoardCorners(cv::Mat(size, CV_8U, cv::Scalar(200)), Board).Missing,
            TBoardMissing::NotInView);
  // Half a column of squares past the right edge.
  const cv::Matx33d cut(3.1, 0, 1600 - 3.1 * 7.5 * 25, 0, 3.1, 330, 0, 0, 1);
  EXPECT_EQ(FindBoardCorners(BoardPhoto(cut, size), Board).Missing, TBoardMissing::CutByEdge);
  // The board's squares counted instead of its inner corners.
  EXPECT_EQ(FindBoardCorners(photo, TBoard{10, 7, 25}).Missing, TBoardMissing::OtherSize);
}

// Light that falls off across the board dims its grey and its white alike: no corner moves
// for it, though the light falls to a third across the photo.
TEST(BoardCorners, LightFallingAcrossTheBoardMovesNoCorner) {
  const cv::Size size(1600, 1200);
  cv::Mat photo;
  cv::GaussianBlur(BoardPhoto(MiddleOfPhoto, size), photo, {0, 0}, 1.2);
  cv::Mat light(size, CV_32F);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) light.at<float>(y, x) = 1 - 0.7f * (x + y) / 2800.f;
  photo.convertTo(photo, CV_32F);
  cv::multiply(photo, light, photo);
  photo.convertTo(photo, CV_8U);
  const TBoardCorners found = FindBoardCorners(photo, Board);
  ASSERT_EQ(found.Corners.size(), std::size_t(Board.Corners())) << BoardMissingText(found.Missing);
  EXPECT_LT(
      cv::norm(
          CornerErrors(found.Corners, InFoundOrder(CornersBy(MiddleOfPhoto), found.Corners)).Mean),
      0.004);
}

// A lens bends the board's straight edges: corners fitted with straight edges land inside
// the bend, the grid too small; fitted again with the lens's bends, they land on the truth.
TEST(BoardCorners, RefittedWithTheLensLandWhereTheLensPutsThem) {
  const cv::Size size(1600, 1200);
  const TCameraModel lens{size, {1500, 0, 810.5, 0, 1502, 590.25, 0, 0, 1}, {-0.25, 0.06, 0, 0, 0}};
  // The board near enough to fill most of the photo, a little tilted.
  const cv::Vec3d turn(0.12, -0.1, 0.03), place(-100, -60, 330);
  cv::Matx33d rotation;
  cv::Rodrigues(turn, rotation);
  const cv::Matx33d onPlane(rotation(0, 0), rotation(0, 1), place[0], rotation(1, 0),
                            rotation(1, 1), place[1], rotation(2, 0), rotation(2, 1), place[2]);
  cv::Mat unbent;
  cv::GaussianBlur(BoardPhoto(lens.Matrix * onPlane, size), unbent, {0, 0}, 1.0);
  // Each photo pixel shows what the lens-free photo shows where OpenCV undoes the lens.
  std::vector<cv::Point2f> pixels, sources;
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) pixels.emplace_back(float(x), float(y));
  cv::undistortPoints(pixels, sources, lens.Matrix, lens.Distortion, cv::noArray(), lens.Matrix,
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-9));
  cv::Mat map(size, CV_32FC2, sources.data()), photo;
  cv::remap(unbent, photo, map, cv::noArray(), cv::INTER_CUBIC);
  std::vector<cv::Point2f> projected;
  cv::projectPoints(Board.Points(), turn, place, lens.Matrix, lens.Distortion, projected);

  TBoardCorners found = FindBoardCorners(photo, Board);
  ASSERT_EQ(found.Corners.size(), projected.size()) << BoardMissingText(found.Missing);
  const std::vector<cv::Point2f> truth = InFoundOrder(projected, found.Corners);
  const TCornerErrors straight = CornerErrors(found.Corners, truth);
  EXPECT_LT(straight.Outwards, -0.03);
  RefitBoardCorners(photo, Board, lens, found.Corners);
  const TCornerErrors bent = CornerErrors(found.Corners, truth);
  EXPECT_LT(std::abs(bent.Outwards), 0.01);
  EXPECT_LT(bent.Rms, 0.045);
  EXPECT_LT(bent.Rms, straight.Rms);
}

// Each corner's projector place from the points about it; a corner whose points are
// lost to glare is dropped alone and every other corner keeps its own place.
TEST(ProjectorCorners, LocalFitsKeepEveryCornerOnItsOwnPoint) {
  const TRigGeometry rig = KnownRig();
  const TPose pose = Poses()[4];
  const std::vector<cv::Point2f> corners = Project(Board.Points(), pose, rig.Camera);
  const std::vector<cv::Point2f> truth =
      Project(Board.Points(), ProjectorPose(pose, rig), rig.Projector);
  std::vector<TDecodedPoint> points = DecodedPoints(rig, pose);
  ASSERT_GT(points.size(), 1000u);

  // Glare over corner 20: its points unread. Two points elsewhere read with a wrong number.
  const std::size_t glare = 20;
  std::erase_if(points,
                [&](const TDecodedPoint& P) { return cv::norm(P.Camera - corners[glare]) < 100; });
  points[100].Projector += cv::Point2f(64, 0);
  points[700].Projector += cv::Point2f(0, -8);
  const std::vector<cv::Point2f> placed =
      ProjectorCorners(corners, Board, points, THomographyOptions{});
  ASSERT_EQ(placed.size(), truth.size());
  EXPECT_FALSE(Known(placed[glare]));
  for (std::size_t i = 0; i < truth.size(); ++i) {
    if (i == glare) continue;
    ASSERT_TRUE(Known(placed[i])) << "corner " << i;
    EXPECT_LT(cv::norm(placed[i] - truth[i]), 0.05) << "corner " << i;
  }
  // Too few points about every corner: none placed, none guessed.
  THomographyOptions strict;
  strict.MinPoints = 5000;
  for (const cv::Point2f& p : ProjectorCorners(corners, Board, points, strict))
    EXPECT_FALSE(Known(p));
}

TEST(Calibrate, RecoversTheRigFromNoisyViews) {
  const TRigGeometry rig = KnownRig();
  const TCalibrationOutcome outcome = Calibrate(MakeViews(rig, 10, 0.05), Board, Options());
  ASSERT_TRUE(outcome.Calibration) << (outcome.Findings.empty() ? "" : outcome.Findings[0]);
  const TCalibration& found = *outcome.Calibration;
  for (auto [side, truth] : {std::pair{&found.Rig.Camera, &rig.Camera},
                             std::pair{&found.Rig.Projector, &rig.Projector}}) {
    EXPECT_EQ(side->Size, truth->Size);
    EXPECT_NEAR(side->Matrix(0, 0) / truth->Matrix(0, 0), 1, 0.002);
    EXPECT_NEAR(side->Matrix(1, 1) / truth->Matrix(1, 1), 1, 0.002);
    EXPECT_NEAR(side->Matrix(0, 2), truth->Matrix(0, 2), 2);
    EXPECT_NEAR(side->Matrix(1, 2), truth->Matrix(1, 2), 2);
  }
  EXPECT_NEAR(found.Rig.BaselineMm() / rig.BaselineMm(), 1, 0.002);
  cv::Vec3d turn;
  cv::Rodrigues(found.Rig.ProjectorFromCamera * rig.ProjectorFromCamera.t(), turn);
  EXPECT_LT(cv::norm(turn) * 180 / CV_PI, 0.05);
  // Noise of 0.05 px on both sides: about that much error, no more.
  for (double rms : {found.CameraRms, found.ProjectorRms, found.StereoRms}) EXPECT_LT(rms, 0.1);
  EXPECT_EQ(found.Views.size(), 10u);
  EXPECT_EQ(found.CameraViewErrors.size(), 10u);
  EXPECT_EQ(found.CameraDeviations.size(), 9u);
  for (const std::string& finding : outcome.Findings) ADD_FAILURE() << finding;
}

// What the operator is told: a view without the board left out by name, too few views
// refused, a changed aperture or lens, and a projector error far above the camera's.
TEST(Calibrate, SaysWhatIsWrongWithTheViews) {
  const TRigGeometry rig = KnownRig();
  {
    std::vector<TCalibrationView> views = MakeViews(rig, 6, 0.05);
    views[2].Corners.clear();
    views[2].ProjectorCorners.clear();
    views[2].Missing = TBoardMissing::CutByEdge;
    views[2].Problem = BoardMissingText(TBoardMissing::CutByEdge);
    views[3].PhotoSize = {1024, 768};
    const TCalibrationOutcome outcome = Calibrate(views, Board, Options());
    ASSERT_TRUE(outcome.Calibration);
    EXPECT_EQ(outcome.CameraViews, (std::vector<int>{0, 1, 4, 5}));
    EXPECT_TRUE(Mentions(outcome, "Pohled view3 vynechán: snímek má 1024 x 768"));
    const std::string report = CalibrationReportText("x.yml", views, Board, outcome);
    EXPECT_NE(report.find("3. view2: nepoužitelný: deska přesahuje okraj snímku"),
              std::string::npos)
        << report;
  }
  {
    const TCalibrationOutcome outcome = Calibrate(MakeViews(rig, 3, 0.05), Board, Options());
    EXPECT_FALSE(outcome.Calibration);
    ASSERT_FALSE(outcome.Findings.empty());
    EXPECT_NE(outcome.Findings[0].find("deska je nalezena v 3 z 3, potřeba je aspoň 4"),
              std::string::npos)
        << outcome.Findings[0];
  }
  {
    std::vector<TCalibrationView> views = MakeViews(rig, 8, 0.05);
    views[5].Settings = "Kamera: manuál, 1/15 s, f/11, ISO 100";
    const TCalibrationOutcome outcome = Calibrate(views, Board, Options());
    EXPECT_TRUE(Mentions(outcome, "Clona se mezi pohledy změnila (view0: f/8, view5: f/11)"));
  }
  {
    // Focus turned before the last view: the lens's focal length moved by 2 %.
    std::vector<TCalibrationView> views = MakeViews(rig, 8, 0.05);
    TRigGeometry refocused = rig;
    refocused.Camera.Matrix(0, 0) *= 1.02;
    refocused.Camera.Matrix(1, 1) *= 1.02;
    std::mt19937 random(3);
    views[7] = MakeView(refocused, Poses()[7], 0.05, random, "refocused");
    const TCalibrationOutcome outcome = Calibrate(views, Board, Options());
    EXPECT_TRUE(Mentions(outcome, "Pohled refocused ukazuje jiné ohnisko"))
        << outcome.Findings.size();
    EXPECT_EQ(outcome.Findings.size(), 1u);
  }
  {
    std::vector<TCalibrationView> views = MakeViews(rig, 8, 0.05);
    std::mt19937 random(5);
    std::normal_distribution<float> shake(0, 0.8f);
    for (TCalibrationView& view : views)
      for (cv::Point2f& p : view.ProjectorCorners) p += cv::Point2f(shake(random), shake(random));
    const TCalibrationOutcome outcome = Calibrate(views, Board, Options());
    EXPECT_TRUE(Mentions(outcome, "čekání na ustálení projektoru"));
  }
  {
    // Every view the same tilt: the focal length is not determined.
    std::vector<TCalibrationView> views;
    std::mt19937 random(9);
    for (int i = 0; i < 5; ++i)
      views.push_back(MakeView(rig, {cv::Vec3d(0.1, 0, 0), cv::Vec3d(-100 + 10 * i, -70, 600)},
                               0.05, random, "flat" + std::to_string(i)));
    EXPECT_TRUE(Mentions(Calibrate(views, Board, Options()), "natočena skoro stejně"));
  }
}

// The file as OpenCV reads it, and back through the one reader; a truth file's
// other spellings (sizes as sequences, a rotation vector) read the same.
TEST(CalibrationFile, WrittenAsOpenCvYamlAndReadBack) {
  const TRigGeometry rig = KnownRig();
  const TCalibrationOutcome outcome = Calibrate(MakeViews(rig, 6, 0.05), Board, Options());
  ASSERT_TRUE(outcome.Calibration);
  const auto dir = std::filesystem::temp_directory_path() / "corvalet-calibration-file-test";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "calibration.yml").string();
  std::string error;
  TCalibration written = *outcome.Calibration;
  written.RefinedPoints = 25409;
  written.PointRms = 0.0712;
  ASSERT_TRUE(WriteCalibrationFile(path, written, &error)) << error;

  cv::FileStorage file(path, cv::FileStorage::READ);
  ASSERT_TRUE(file.isOpened());
  cv::Mat matrix, distortion, rotation, translation;
  cv::Size size;
  file["camera_matrix"] >> matrix;
  file["projector_distortion"] >> distortion;
  file["rotation"] >> rotation;
  file["translation"] >> translation;
  file["projector_size"] >> size;
  EXPECT_EQ(cv::norm(cv::Matx33d(matrix) - outcome.Calibration->Rig.Camera.Matrix), 0);
  EXPECT_EQ(distortion.total(), 5u);
  EXPECT_EQ(rotation.size(), cv::Size(3, 3));
  EXPECT_EQ(translation.total(), 3u);
  EXPECT_EQ(size, cv::Size(1016, 734));
  EXPECT_DOUBLE_EQ(double(file["stereo_rms"]), outcome.Calibration->StereoRms);
  EXPECT_EQ(int(file["board"]["columns"]), 9);
  EXPECT_EQ(file["views"].size(), 6u);
  EXPECT_FALSE(std::string(file["opencv_version"]).empty());
  file.release();

  const auto read = ReadCalibrationFile(path, &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->Rig.Projector.Distortion, outcome.Calibration->Rig.Projector.Distortion);
  EXPECT_EQ(read->CameraViewErrors, outcome.Calibration->CameraViewErrors);
  EXPECT_EQ(read->Views, outcome.Calibration->Views);
  EXPECT_EQ(read->RefinedPoints, 25409);
  EXPECT_DOUBLE_EQ(read->PointRms, 0.0712);

  const std::string truth = (dir / "rig.yml").string();
  {
    cv::FileStorage out(truth, cv::FileStorage::WRITE);
    out << "camera_size" << rig.Camera.Size << "camera_matrix" << cv::Mat(rig.Camera.Matrix)
        << "camera_distortion" << rig.Camera.Distortion << "projector_size" << rig.Projector.Size
        << "projector_matrix" << cv::Mat(rig.Projector.Matrix) << "projector_distortion"
        << rig.Projector.Distortion;
    cv::Vec3d vector;
    cv::Rodrigues(rig.ProjectorFromCamera, vector);
    out << "rotation" << vector << "translation" << rig.ProjectorFromCameraMm;
  }
  const auto rigRead = ReadCalibrationFile(truth, &error);
  ASSERT_TRUE(rigRead) << error;
  EXPECT_LT(cv::norm(rigRead->Rig.ProjectorFromCamera - rig.ProjectorFromCamera), 1e-12);
  EXPECT_EQ(rigRead->Rig.Camera.Size, rig.Camera.Size);
  EXPECT_TRUE(std::isnan(rigRead->CameraRms));
  EXPECT_EQ(rigRead->RefinedPoints, 0);
  EXPECT_TRUE(std::isnan(rigRead->PointRms));

  for (auto [text, named] : {std::pair{"camera_size: [2048, 1536]\n", "camera_matrix is missing"},
                             std::pair{"camera_size: [0, 5]\n", "camera_size is not a width"}}) {
    std::FILE* broken = std::fopen(truth.c_str(), "w");
    std::fputs("%YAML:1.0\n---\n", broken);
    std::fputs(text, broken);
    std::fclose(broken);
    EXPECT_FALSE(ReadCalibrationFile(truth, &error));
    EXPECT_NE(error.find(named), std::string::npos) << error;
  }
  std::filesystem::remove_all(dir);
}

TEST(Board, ParsedAsColumnsRowsAndSquare) {
  const auto board = TBoard::Parse("9x6:25");
  ASSERT_TRUE(board);
  EXPECT_EQ(board->PatternSize(), cv::Size(9, 6));
  EXPECT_EQ(board->SquareMm, 25);
  EXPECT_EQ(TBoard::Parse("7x11:12,5")->SquareMm, 12.5);
  for (const char* bad : {"9x6", "9x6:", "9:25", "9x6:0", "2x2:10", "9x6:25mm", "ax6:25", ""})
    EXPECT_FALSE(TBoard::Parse(bad)) << bad;
}

// The coded points read on each board refine what its corners alone give: the
// focal lengths to a few thousandths of a per cent, the centres to a fraction of a
// pixel. A point read off the board's plane is left out, not fitted. The boards'
// poses given with it are the refined lenses' own.
TEST(Calibrate, CodedPointsOnTheBoardPinTheLenses) {
  const TRigGeometry rig = KnownRig();
  std::vector<TCalibrationView> views = MakeViews(rig, 10, 0.07);
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0, 0.05);
  const auto poses = Poses();
  for (std::size_t v = 0; v < views.size(); ++v) {
    views[v].OnBoard = DecodedPoints(rig, poses[v]);
    for (TDecodedPoint& point : views[v].OnBoard)
      point.Camera += cv::Point2f(float(noise(random)), float(noise(random)));
    // A neighbour's light read for this point: 40 pixels off.
    views[v].OnBoard[100].Camera.x += 40;
  }
  std::vector<TCalibrationView> cornersOnly = views;
  for (TCalibrationView& view : cornersOnly) view.OnBoard.clear();
  const TCalibrationOutcome loose = Calibrate(cornersOnly, Board, Options());
  const TCalibrationOutcome outcome = Calibrate(views, Board, Options());
  ASSERT_TRUE(loose.Calibration && outcome.Calibration);
  EXPECT_EQ(loose.Calibration->RefinedPoints, 0);
  const TCalibration& found = *outcome.Calibration;
  std::size_t points = 0;
  for (const TCalibrationView& view : views) points += view.OnBoard.size() - 1;
  // The points read off the plane are left out, and next to none else.
  EXPECT_LE(std::size_t(found.RefinedPoints), points);
  EXPECT_GT(std::size_t(found.RefinedPoints), points - points / 1000);
  EXPECT_NEAR(found.PointRms, 0.05 * std::sqrt(2), 0.01);
  auto focal = [](const TCameraModel& Found, const TCameraModel& Truth) {
    return std::max(std::abs(Found.Matrix(0, 0) / Truth.Matrix(0, 0) - 1),
                    std::abs(Found.Matrix(1, 1) / Truth.Matrix(1, 1) - 1));
  };
  auto centre = [](const TCameraModel& Found, const TCameraModel& Truth) {
    return std::hypot(Found.Matrix(0, 2) - Truth.Matrix(0, 2),
                      Found.Matrix(1, 2) - Truth.Matrix(1, 2));
  };
  // The corners alone leave the centres about a pixel off and the projector's focal length a
  // tenth of a per cent.
  EXPECT_GT(centre(loose.Calibration->Rig.Camera, rig.Camera), 0.8);
  EXPECT_GT(focal(loose.Calibration->Rig.Projector, rig.Projector), 5e-4);
  EXPECT_LT(focal(found.Rig.Camera, rig.Camera), 1e-4);
  EXPECT_LT(centre(found.Rig.Camera, rig.Camera), 0.4);
  EXPECT_LT(focal(found.Rig.Projector, rig.Projector), 1.5e-4);
  EXPECT_LT(centre(found.Rig.Projector, rig.Projector), 0.2);
  EXPECT_NEAR(found.Rig.BaselineMm() / rig.BaselineMm(), 1, 5e-4);
  // Each view's picture draws its corners' residuals from these poses and lenses.
  for (std::size_t v = 0; v < views.size(); ++v) {
    const std::vector<cv::Point2f> camera =
        Project(Board.Points(), {outcome.CameraRotations[v], outcome.CameraTranslations[v]},
                found.Rig.Camera);
    const std::vector<cv::Point2f> projector =
        Project(Board.Points(), {outcome.ProjectorRotations[v], outcome.ProjectorTranslations[v]},
                found.Rig.Projector);
    EXPECT_LT(cv::norm(camera, views[v].Corners) / std::sqrt(camera.size()), 0.15) << v;
    EXPECT_LT(cv::norm(projector, views[v].ProjectorCorners) / std::sqrt(projector.size()), 0.15)
        << v;
  }
}
