#include "geometry/BoardCorners.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/CornerFit.h"

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
