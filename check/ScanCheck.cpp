#include "check/ScanCheck.h"

#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QSaveFile>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

namespace {

constexpr int PlaneCount = 14;
constexpr int PhotoCount = 17;
constexpr int MaxSide = 8192;
constexpr int PreviewSide = 2048;
// Share of a plane's lit pixels that may fall beside every point before the
// picture counts as moved.
constexpr double MaxStray = 0.2;
// Share of a plane's readings that may contradict the neighbours' numbers
// before the plane counts as misplaced.
constexpr double MaxDisagreement = 0.1;
const double NaN = std::numeric_limits<double>::quiet_NaN();

double Median(std::vector<double>& Values) {
  if (Values.empty()) return NaN;
  auto middle = Values.begin() + std::ptrdiff_t(Values.size() / 2);
  std::nth_element(Values.begin(), middle, Values.end());
  return *middle;
}

int FindRoot(std::vector<int>& Parent, int X) {
  while (Parent[std::size_t(X)] != X) {
    Parent[std::size_t(X)] = Parent[std::size_t(Parent[std::size_t(X)])];
    X = Parent[std::size_t(X)];
  }
  return X;
}

std::string SizeText(int Width, int Height) {
  return std::to_string(Width) + " x " + std::to_string(Height) + " pixels";
}

bool Known(const QPointF& Point) {
  return !std::isnan(Point.x());
}

// A whole block of points can be self-consistent and still lie where other numbers
// belong, as when two bit-planes trade places. Blocks of raster neighbours that
// agree with one another are joined; a block other than the largest is kept only
// when the largest one's points beside it in the photo imply the same numbers.
void RejectForeignBlocks(const TCheckRaster& Raster, int Width, int Height,
                         std::vector<int>& Accepted, std::vector<char>& Good,
                         const std::vector<QPointF>& Centre, const std::vector<QPointF>& StepX,
                         const std::vector<QPointF>& StepY) {
  const int n = int(Accepted.size()) - 1, columns = std::max(1, Raster.Columns);
  if (n <= 0) return;
  std::vector<int> parent(std::size_t(n) + 1);
  std::iota(parent.begin(), parent.end(), 0);
  auto fits = [&](int I, int J, const QPointF& Step) {
    const QPointF miss = Centre[std::size_t(Accepted[std::size_t(J)])] -
                         Centre[std::size_t(Accepted[std::size_t(I)])] - Step;
    return Known(Step) && std::hypot(miss.x(), miss.y()) <= 0.35 * std::hypot(Step.x(), Step.y());
  };
  for (int i = 1; i <= n; ++i) {
    if (Accepted[std::size_t(i)] < 0) continue;
    const int column = (i - 1) % columns;
    const int right = i + 1, below = i + columns;
    if (column + 1 < columns && Accepted[std::size_t(right)] >= 0 &&
        fits(i, right, StepX[std::size_t(i)]))
      parent[std::size_t(FindRoot(parent, right))] = FindRoot(parent, i);
    if (below <= n && Accepted[std::size_t(below)] >= 0 && fits(i, below, StepY[std::size_t(i)]))
      parent[std::size_t(FindRoot(parent, below))] = FindRoot(parent, i);
  }
  std::vector<std::vector<int>> blocks(std::size_t(n) + 1);
  for (int i = 1; i <= n; ++i)
    if (Accepted[std::size_t(i)] >= 0) blocks[std::size_t(FindRoot(parent, i))].push_back(i);
  std::vector<int> order;
  for (int i = 1; i <= n; ++i)
    if (!blocks[std::size_t(i)].empty()) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](int A, int B) {
    return blocks[std::size_t(A)].size() > blocks[std::size_t(B)].size();
  });
  if (order.size() < 2) return;
  // The main body, by photo cell, to find the points beside a block.
  const QPointF step = StepX[std::size_t(blocks[std::size_t(order[0])][0])];
  const double cell = std::max(2.0, std::hypot(step.x(), step.y()));
  const int gw = int(Width / cell) + 1, gh = int(Height / cell) + 1;
  std::vector<std::vector<int>> grid(std::size_t(gw) * gh);
  auto add = [&](int I) {
    const QPointF& q = Centre[std::size_t(Accepted[std::size_t(I)])];
    grid[std::size_t(std::clamp(int(q.y() / cell), 0, gh - 1)) * gw +
         std::clamp(int(q.x() / cell), 0, gw - 1)]
        .push_back(I);
  };
  for (int i : blocks[std::size_t(order[0])]) add(i);
  for (std::size_t k = 1; k < order.size(); ++k) {
    const std::vector<int>& block = blocks[std::size_t(order[k])];
    int agree = 0, asked = 0;
    const std::size_t every = std::max<std::size_t>(1, block.size() / 24);
    for (std::size_t at = 0; at < block.size(); at += every) {
      const int i = block[at];
      const QPointF q = Centre[std::size_t(Accepted[std::size_t(i)])];
      const int gx = int(q.x() / cell), gy = int(q.y() / cell);
      int nearest = 0;
      double best = std::numeric_limits<double>::max();
      // Rings of cells outwards until one holds a point of the main body.
      for (int ring = 0; ring <= std::max(gw, gh) && !nearest; ++ring)
        for (int y = std::max(0, gy - ring); y <= std::min(gh - 1, gy + ring); ++y)
          for (int x = std::max(0, gx - ring); x <= std::min(gw - 1, gx + ring); ++x) {
            if (std::max(std::abs(x - gx), std::abs(y - gy)) != ring) continue;
            for (int m : grid[std::size_t(y) * gw + x]) {
              const QPointF d = Centre[std::size_t(Accepted[std::size_t(m)])] - q;
              const double distance = std::hypot(d.x(), d.y());
              if (distance < best) best = distance, nearest = m;
            }
          }
      if (!nearest) continue;
      const QPointF ex = StepX[std::size_t(nearest)], ey = StepY[std::size_t(nearest)];
      const QPointF d = q - Centre[std::size_t(Accepted[std::size_t(nearest)])];
      const double det = ex.x() * ey.y() - ex.y() * ey.x();
      if (!Known(ex) || !Known(ey) || std::abs(det) < 1e-9) continue;
      const double dc = (d.x() * ey.y() - d.y() * ey.x()) / det;
      const double dr = (ex.x() * d.y() - ex.y() * d.x()) / det;
      // Far from the main body the local steps extrapolate less well.
      const double miss = std::hypot((nearest - 1) / columns + dr - (i - 1) / columns,
                                     (nearest - 1) % columns + dc - (i - 1) % columns);
      ++asked;
      agree += miss <= 0.5 + 0.1 * std::hypot(dr, dc);
    }
    if (asked == 0 || 2 * agree > asked) {
      for (int i : block) add(i);
      continue;
    }
    for (int i : block) {
      Good[std::size_t(Accepted[std::size_t(i)])] = 0;
      Accepted[std::size_t(i)] = -1;
    }
  }
}

}  // namespace

std::string TCheckRaster::Problem() const {
  if (Rows < 0 || Columns < 0) return "row and column counts must not be negative";
  if (std::int64_t(Rows) * Columns > 16384) return "more than 16384 points";
  if (Spacing < 1) return "spacing must be 1 or more";
  if (Size < 0 || Size > 255) return "point size must be 0 to 255";
  return {};
}

std::string TCheckRaster::Text() const {
  std::ostringstream out;
  out << OffsetX << ',' << OffsetY << ',' << Rows << ',' << Columns << ',' << Size << ','
      << Spacing;
  return out.str();
}

std::optional<TCheckRaster> TCheckRaster::Parse(const std::string& Text) {
  std::vector<int> values;
  std::istringstream in(Text);
  std::string item;
  while (std::getline(in, item, ',')) {
    try {
      std::size_t used = 0;
      const long value = std::stol(item, &used);
      if (item.find_first_not_of(" \t", used) != std::string::npos) return std::nullopt;
      if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
      values.push_back(int(value));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (values.size() != 6) return std::nullopt;
  TCheckRaster raster{values[0], values[1], values[2], values[3], values[4], values[5]};
  if (!raster.Problem().empty()) return std::nullopt;
  return raster;
}

int CheckCodeOf(int Index) {
  return Index >= 0 && Index < 16384 ? Index : 0;
}

std::string CheckCauseText(TCheckCause Cause) {
  switch (Cause) {
    case TCheckCause::LowContrast:
      return "málo kontrastu nebo rušivé okolní světlo";
    case TCheckCause::OutsideView:
      return "body mimo záběr kamery";
    case TCheckCause::Moved:
      return "kamera nebo předmět se mezi snímky pohnuly";
    case TCheckCause::OutOfOrder:
      return "snímky v nesprávném pořadí nebo chybí vzor";
    case TCheckCause::Separation:
      return "body příliš malé, příliš blízko u sebe nebo rozmazané: kamera je nerozliší";
  }
  return {};
}

bool TCheckResult::HasCause(TCheckCause Cause) const {
  return std::any_of(Causes.begin(), Causes.end(),
                     [Cause](const auto& Item) { return Item.first == Cause; });
}

std::vector<int> TCheckResult::UnreadNumbers() const {
  std::vector<int> numbers;
  for (std::size_t i = 0; i < States.size(); ++i)
    if (States[i] != TPointState::Read) numbers.push_back(int(i) + 1);
  return numbers;
}

std::string TCheckResult::Verdict() const {
  std::string text =
      "Kontrola: " + std::to_string(Read) + "/" + std::to_string(Expected) + " bodů čitelných";
  if (AllRead()) return text;
  for (std::size_t i = 0; i < Causes.size(); ++i)
    text += (i == 0 ? "; pravděpodobná příčina: " : "; ") + CheckCauseText(Causes[i].first);
  return text;
}

bool TScanDecoder::Extract(const QImage& Photo, std::vector<std::uint8_t>& Out,
                           std::string* Error) const {
  if (Photo.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (Photo.width() != FWidth || Photo.height() != FHeight) {
    if (Error)
      *Error = "the photo is " + SizeText(Photo.width(), Photo.height()) +
               ", the scan's first photo " + SizeText(FWidth, FHeight);
    return false;
  }
  Out.resize(std::size_t(FWidth) * FHeight);
  if (Photo.format() == QImage::Format_Grayscale8) {
    for (int y = 0; y < FHeight; ++y)
      std::copy_n(Photo.constScanLine(y), FWidth, &Out[std::size_t(y) * FWidth]);
    return true;
  }
  const QImage rgb =
      Photo.format() == QImage::Format_RGB32 || Photo.format() == QImage::Format_ARGB32
          ? Photo
          : Photo.convertToFormat(QImage::Format_RGB32);
  const int shift = 16 - 8 * Channel;
  for (int y = 0; y < FHeight; ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    std::uint8_t* out = &Out[std::size_t(y) * FWidth];
    for (int x = 0; x < FWidth; ++x) out[x] = std::uint8_t(in[x] >> shift);
  }
  return true;
}

bool TScanDecoder::SetReferences(const QImage& Dark, const QImage& Lit, std::string* Error) {
  if (Dark.isNull() || Lit.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (Dark.width() > MaxSide || Dark.height() > MaxSide) {
    if (Error)
      *Error = "the photo is " + SizeText(Dark.width(), Dark.height()) +
               ", more than 8192 pixels a side";
    return false;
  }
  FWidth = Dark.width();
  FHeight = Dark.height();
  if (Lit.size() != Dark.size()) {
    if (Error)
      *Error = "the photo is " + SizeText(Lit.width(), Lit.height()) + ", the scan's first photo " +
               SizeText(FWidth, FHeight);
    return false;
  }
  // The channel in which the lit field stands out most from the dark one.
  const QImage dark = Dark.convertToFormat(QImage::Format_RGB32);
  const QImage lit = Lit.convertToFormat(QImage::Format_RGB32);
  std::array<double, 3> gain{};
  for (int y = 0; y < FHeight; y += 7)
    for (int x = 0; x < FWidth; x += 7) {
      const QRgb d = dark.pixel(x, y), l = lit.pixel(x, y);
      gain[0] += qRed(l) - qRed(d);
      gain[1] += qGreen(l) - qGreen(d);
      gain[2] += qBlue(l) - qBlue(d);
    }
  Channel = int(std::max_element(gain.begin(), gain.end()) - gain.begin());
  std::vector<std::uint8_t> d, l;
  Extract(dark, d, nullptr);
  Extract(lit, l, nullptr);
  const std::size_t pixels = d.size();
  Mid.resize(pixels);
  Contrast.resize(pixels);
  double sumDark = 0, sumLit = 0, sumContrast = 0;
  std::size_t valid = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    const int contrast = std::max(0, int(l[i]) - int(d[i]));
    Mid[i] = std::uint8_t((int(l[i]) + int(d[i]) + 1) / 2);
    Contrast[i] = std::uint8_t(contrast);
    sumDark += d[i];
    sumLit += l[i];
    sumContrast += contrast;
    valid += contrast >= MinContrast;
  }
  DarkMean = sumDark / double(pixels);
  LitMean = sumLit / double(pixels);
  MeanContrast = sumContrast / double(pixels);
  ValidShare = double(valid) / double(pixels);
  return true;
}

bool TScanDecoder::SetAllPoints(const QImage& Points, std::string* Error) {
  if (Mid.empty()) {
    if (Error) *Error = "the dark and lit fields are missing";
    return false;
  }
  std::vector<std::uint8_t> points;
  if (!Extract(Points, points, Error)) return false;
  FindBlobs(points);
  const double scale = std::min(1.0, double(PreviewSide) / double(std::max(FWidth, FHeight)));
  PreviewScale = scale;
  Preview = Points.convertToFormat(QImage::Format_Grayscale8)
                .scaled(std::max(1, int(FWidth * scale)), std::max(1, int(FHeight * scale)),
                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
  return true;
}

void TScanDecoder::FindBlobs(const std::vector<std::uint8_t>& Points) {
  Runs.clear();
  Blobs.clear();
  std::vector<int> parent;
  std::size_t previousFirst = 0, previousEnd = 0;
  for (int y = 0; y < FHeight; ++y) {
    const std::size_t row = std::size_t(y) * FWidth;
    const std::size_t first = Runs.size();
    for (int x = 0; x < FWidth;) {
      const std::size_t i = row + x;
      if (Contrast[i] < MinContrast || Points[i] <= Mid[i]) {
        ++x;
        continue;
      }
      const int x0 = x;
      while (x < FWidth && Contrast[row + x] >= MinContrast && Points[row + x] > Mid[row + x]) ++x;
      Runs.push_back({y, x0, x - 1});
      parent.push_back(int(Runs.size()) - 1);
    }
    // Runs of this row that share a column with runs of the row above join them.
    std::size_t above = previousFirst;
    for (std::size_t r = first; r < Runs.size(); ++r) {
      while (above < previousEnd && Runs[above].X1 < Runs[r].X0) ++above;
      for (std::size_t a = above; a < previousEnd && Runs[a].X0 <= Runs[r].X1; ++a) {
        const int ra = FindRoot(parent, int(a)), rr = FindRoot(parent, int(r));
        if (ra != rr) parent[std::size_t(std::max(ra, rr))] = std::min(ra, rr);
      }
    }
    previousFirst = first;
    previousEnd = Runs.size();
  }
  // Regroup the runs blob by blob.
  std::vector<int> root(Runs.size()), blobOf(Runs.size(), -1);
  std::vector<int> count;
  for (std::size_t r = 0; r < Runs.size(); ++r) {
    root[r] = FindRoot(parent, int(r));
    if (blobOf[std::size_t(root[r])] < 0) {
      blobOf[std::size_t(root[r])] = int(count.size());
      count.push_back(0);
    }
    ++count[std::size_t(blobOf[std::size_t(root[r])])];
  }
  Blobs.resize(count.size());
  int start = 0;
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    Blobs[b].FirstRun = start;
    start += count[b];
  }
  std::vector<TRun> ordered(Runs.size());
  std::vector<int> fill(Blobs.size(), 0);
  for (std::size_t r = 0; r < Runs.size(); ++r) {
    const auto b = std::size_t(blobOf[std::size_t(root[r])]);
    ordered[std::size_t(Blobs[b].FirstRun + fill[b]++)] = Runs[r];
  }
  Runs.swap(ordered);
  Near.assign(std::size_t(FWidth) * FHeight, 0);
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    TBlob& blob = Blobs[b];
    blob.RunCount = count[b];
    double signal = 0;
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      blob.TouchesEdge |= run.Y == 0 || run.Y == FHeight - 1 || run.X0 == 0 || run.X1 == FWidth - 1;
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        const double above = double(Points[i]) - Mid[i];
        blob.SumX += (x + 0.5) * above;
        blob.SumY += (run.Y + 0.5) * above;
        blob.Weight += above;
        signal += std::min(1.0, 2.0 * above / std::max<int>(1, Contrast[i]));
        ++blob.Area;
      }
      for (int y = std::max(0, run.Y - 1); y <= std::min(FHeight - 1, run.Y + 1); ++y)
        std::fill(&Near[std::size_t(y) * FWidth + std::max(0, run.X0 - 1)],
                  &Near[std::size_t(y) * FWidth + std::min(FWidth - 1, run.X1 + 1)] + 1, 1);
    }
    blob.Signal = float(signal / blob.Area);
  }
}

bool TScanDecoder::AddPlane(int K, const QImage& Plane, std::string* Error) {
  if (K < 1 || K > PlaneCount) {
    if (Error) *Error = "no bit-plane " + std::to_string(K);
    return false;
  }
  if (Near.empty()) {
    if (Error) *Error = "the all-points photo is missing";
    return false;
  }
  std::vector<std::uint8_t> plane;
  if (!Extract(Plane, plane, Error)) return false;
  TPlaneStats& stats = Planes[std::size_t(K)];
  stats.Votes.assign(Blobs.size(), 0);
  stats.Signal.assign(Blobs.size(), 0.0f);
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    const TBlob& blob = Blobs[b];
    int votes = 0;
    double signal = 0;
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        votes += plane[i] > Mid[i];
        signal += std::clamp(2.0 * (double(plane[i]) - Mid[i]) / std::max<int>(1, Contrast[i]),
                             -1.0, 1.0);
      }
    }
    stats.Votes[b] = std::uint32_t(votes);
    stats.Signal[b] = float(signal / blob.Area);
  }
  std::size_t lit = 0, stray = 0;
  for (std::size_t i = 0; i < plane.size(); ++i) {
    const bool on = Contrast[i] >= MinContrast && plane[i] > Mid[i];
    lit += on;
    stray += on && !Near[i];
  }
  stats.Stray = lit ? double(stray) / double(lit) : 0.0;
  stats.Done = true;
  return true;
}

TCheckResult TScanDecoder::Finish() {
  TCheckResult result;
  result.Raster = Raster;
  result.PhotoWidth = FWidth;
  result.PhotoHeight = FHeight;
  result.Preview = Preview;
  result.PreviewScale = PreviewScale;
  const int n = Raster.Problem().empty() ? Raster.Count() : 0;
  const int columns = std::max(1, Raster.Columns);
  result.Expected = n;
  result.Blobs = int(Blobs.size());
  result.States.assign(std::size_t(n), TPointState::Unread);
  result.Positions.assign(std::size_t(n), QPointF(NaN, NaN));
  result.Margins.assign(std::size_t(n), 0.0f);

  // The number each code spells in this raster; 0 where it spells none.
  std::vector<int> numberOfCode(16384, 0);
  for (int index = 1; index <= n; ++index) numberOfCode[std::size_t(CheckCodeOf(index))] = index;

  // Specks of noise that cross the threshold are no points.
  auto solid = [&](const TBlob& Blob) {
    return !Blob.TouchesEdge && Blob.Area >= 2 && Blob.Signal >= MinMargin;
  };
  const std::size_t blobs = Blobs.size();
  std::vector<int> number(blobs, 0);
  std::vector<float> margin(blobs, 0.0f);
  std::vector<QPointF> centre(blobs);
  std::vector<std::vector<int>> candidates(std::size_t(n) + 1);
  for (std::size_t b = 0; b < blobs; ++b) {
    const TBlob& blob = Blobs[b];
    centre[b] = blob.Weight > 0 ? QPointF(blob.SumX / blob.Weight, blob.SumY / blob.Weight)
                                : QPointF(NaN, NaN);
    if (blob.TouchesEdge) {
      ++result.Cut;
      continue;
    }
    if (!solid(blob)) continue;
    int code = 0;
    float least = blob.Signal;
    // A plane that never came reads as dark; the order check names it.
    for (int k = 1; k <= PlaneCount; ++k) {
      const TPlaneStats& plane = Planes[std::size_t(k)];
      code = code * 2 + (plane.Done && 2 * std::int64_t(plane.Votes[b]) > blob.Area ? 1 : 0);
      if (plane.Done) least = std::min(least, std::abs(plane.Signal[b]));
    }
    margin[b] = least;
    number[b] = numberOfCode[std::size_t(code)];
    if (number[b] == 0)
      ++result.OutOfRaster;
    else
      candidates[std::size_t(number[b])].push_back(int(b));
  }
  for (int i = 1; i <= n; ++i) result.Duplicates += candidates[std::size_t(i)].size() > 1;

  // Geometry: where the neighbours in the raster lie in the photo.
  std::vector<int> accepted(std::size_t(n) + 1, -1);
  for (int i = 1; i <= n; ++i)
    if (candidates[std::size_t(i)].size() == 1)
      accepted[std::size_t(i)] = candidates[std::size_t(i)][0];
  auto pitch = [&](int Row, int Column, int Radius, bool Across) {
    std::vector<double> dx, dy;
    for (int r = std::max(0, Row - Radius); r <= std::min(Raster.Rows - 1, Row + Radius); ++r)
      for (int c = std::max(0, Column - Radius); c <= std::min(columns - 1, Column + Radius); ++c) {
        const int r2 = Across ? r : r + 1, c2 = Across ? c + 1 : c;
        if (r < 0 || c < 0 || r2 >= Raster.Rows || c2 >= Raster.Columns) continue;
        const int a = accepted[std::size_t(r * columns + c + 1)];
        const int b = accepted[std::size_t(r2 * columns + c2 + 1)];
        if (a < 0 || b < 0) continue;
        dx.push_back(centre[std::size_t(b)].x() - centre[std::size_t(a)].x());
        dy.push_back(centre[std::size_t(b)].y() - centre[std::size_t(a)].y());
      }
    return QPointF(Median(dx), Median(dy));
  };
  const int wholeRaster = std::max(Raster.Rows, Raster.Columns);
  QPointF globalX = pitch(0, 0, wholeRaster, true), globalY = pitch(0, 0, wholeRaster, false);
  std::vector<QPointF> stepX(std::size_t(n) + 1, QPointF(NaN, NaN)), stepY = stepX;
  auto consistent = [&](int Blob, int Index) {
    const int row = (Index - 1) / columns, column = (Index - 1) % columns;
    QPointF ex = pitch(row, column, 2, true), ey = pitch(row, column, 2, false);
    if (!Known(ex)) ex = globalX;
    if (!Known(ey)) ey = globalY;
    if (!Known(ex) || !Known(ey)) return false;
    stepX[std::size_t(Index)] = ex;
    stepY[std::size_t(Index)] = ey;
    const double tolerance =
        std::max(1.5, 0.35 * std::min(std::hypot(ex.x(), ex.y()), std::hypot(ey.x(), ey.y())));
    for (int radius : {2, 5}) {
      std::vector<double> misses;
      for (int r = std::max(0, row - radius); r <= std::min(Raster.Rows - 1, row + radius); ++r)
        for (int c = std::max(0, column - radius); c <= std::min(columns - 1, column + radius);
             ++c) {
          const int j = accepted[std::size_t(r * columns + c + 1)];
          if (j < 0 || j == Blob) continue;
          const QPointF predicted = centre[std::size_t(j)] + ex * (column - c) + ey * (row - r);
          const QPointF miss = centre[std::size_t(Blob)] - predicted;
          misses.push_back(std::hypot(miss.x(), miss.y()));
        }
      if (misses.size() >= 2) return Median(misses) <= tolerance;
    }
    return false;
  };
  std::vector<char> good(blobs, 0);
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<char> next(blobs, 0);
    for (int i = 1; i <= n; ++i)
      for (int b : candidates[std::size_t(i)]) next[std::size_t(b)] = consistent(b, i);
    good.swap(next);
    // The second pass leans only on neighbours that passed the first.
    for (int i = 1; i <= n; ++i) {
      int only = -1, count = 0;
      for (int b : candidates[std::size_t(i)])
        if (good[std::size_t(b)]) only = b, ++count;
      accepted[std::size_t(i)] = count == 1 ? only : -1;
    }
    globalX = pitch(0, 0, wholeRaster, true);
    globalY = pitch(0, 0, wholeRaster, false);
  }
  RejectForeignBlocks(Raster, FWidth, FHeight, accepted, good, centre, stepX, stepY);
  for (int i = 1; i <= n; ++i) {
    const auto& list = candidates[std::size_t(i)];
    for (int b : list) result.Inconsistent += !good[std::size_t(b)];
    const int b = accepted[std::size_t(i)];
    if (b < 0) {
      if (!list.empty()) result.States[std::size_t(i - 1)] = TPointState::Inconsistent;
      continue;
    }
    result.Positions[std::size_t(i - 1)] = centre[std::size_t(b)];
    result.Margins[std::size_t(i - 1)] = margin[std::size_t(b)];
    if (margin[std::size_t(b)] >= MinMargin) {
      result.States[std::size_t(i - 1)] = TPointState::Read;
      ++result.Read;
    } else {
      result.States[std::size_t(i - 1)] = TPointState::Weak;
      ++result.Weak;
    }
  }
  result.Unread = n - result.Read;

  // Where the points not read should lie: from the nearest accepted point in the raster.
  {
    std::vector<int> source(std::size_t(n) + 1, 0);
    std::deque<int> queue;
    for (int i = 1; i <= n; ++i)
      if (result.States[std::size_t(i - 1)] == TPointState::Read && Known(stepX[std::size_t(i)])) {
        source[std::size_t(i)] = i;
        queue.push_back(i);
      }
    while (!queue.empty()) {
      const int i = queue.front();
      queue.pop_front();
      const int row = (i - 1) / columns, column = (i - 1) % columns;
      const int steps[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
      for (const auto& step : steps) {
        const int r = row + step[0], c = column + step[1];
        if (r < 0 || c < 0 || r >= Raster.Rows || c >= columns) continue;
        const int j = r * columns + c + 1;
        if (source[std::size_t(j)]) continue;
        source[std::size_t(j)] = source[std::size_t(i)];
        queue.push_back(j);
      }
    }
    for (int i = 1; i <= n; ++i) {
      const int s = source[std::size_t(i)];
      if (!s || accepted[std::size_t(i)] >= 0) continue;
      const int dr = (i - 1) / columns - (s - 1) / columns,
                dc = (i - 1) % columns - (s - 1) % columns;
      result.Positions[std::size_t(i - 1)] = centre[std::size_t(accepted[std::size_t(s)])] +
                                             stepX[std::size_t(s)] * dc +
                                             stepY[std::size_t(s)] * dr;
    }
  }

  // With too few points in the photo, plane statistics say nothing.
  int whole = 0;
  for (const TBlob& blob : Blobs) whole += solid(blob);
  const bool judge = n > 0 && whole >= std::max(8, n / 20);

  // Movement: a plane whose lit pixels fall beside the points of the all-points photo.
  for (int k = 1; judge && k <= PlaneCount && result.MovedFrom < 0; ++k)
    if (Planes[std::size_t(k)].Done && Planes[std::size_t(k)].Stray > MaxStray)
      result.MovedFrom = 2 + k;

  // Order: the dark field must be darker than the lit one, each plane must light
  // about the share of points that the code table gives it, and the points that
  // their neighbours' numbers imply.
  if (DarkMean > LitMean + MinContrast) result.MisplacedPhotos = {0, 1};
  std::vector<int> implied(blobs, 0);
  if (judge) {
    // Each blob's number as its accepted neighbours in the photo imply it.
    for (int i = 1; i <= n; ++i)
      if (accepted[std::size_t(i)] >= 0) implied[std::size_t(accepted[std::size_t(i)])] = i;
    const double cell = Known(globalX) ? std::max(2.0, std::hypot(globalX.x(), globalX.y())) : 0;
    if (cell > 0 && Known(globalY)) {
      const int gw = int(FWidth / cell) + 1, gh = int(FHeight / cell) + 1;
      std::vector<std::vector<int>> grid(std::size_t(gw) * gh);
      for (int i = 1; i <= n; ++i) {
        const int b = accepted[std::size_t(i)];
        if (b < 0) continue;
        const QPointF& q = centre[std::size_t(b)];
        grid[std::size_t(int(q.y() / cell)) * gw + int(q.x() / cell)].push_back(i);
      }
      for (std::size_t b = 0; b < blobs; ++b) {
        if (implied[b] || Blobs[b].TouchesEdge || !Known(centre[b])) continue;
        const QPointF q = centre[b];
        const int gx = int(q.x() / cell), gy = int(q.y() / cell);
        int nearest = 0;
        double best = 3 * cell;
        for (int y = std::max(0, gy - 2); y <= std::min(gh - 1, gy + 2); ++y)
          for (int x = std::max(0, gx - 2); x <= std::min(gw - 1, gx + 2); ++x)
            for (int i : grid[std::size_t(y) * gw + x]) {
              const QPointF d = centre[std::size_t(accepted[std::size_t(i)])] - q;
              const double distance = std::hypot(d.x(), d.y());
              if (distance < best) best = distance, nearest = i;
            }
        if (!nearest) continue;
        const QPointF ex = stepX[std::size_t(nearest)], ey = stepY[std::size_t(nearest)];
        const QPointF d = q - centre[std::size_t(accepted[std::size_t(nearest)])];
        const double det = ex.x() * ey.y() - ex.y() * ey.x();
        if (std::abs(det) < 1e-9) continue;
        const int dc = int(std::lround((d.x() * ey.y() - d.y() * ey.x()) / det));
        const int dr = int(std::lround((ex.x() * d.y() - ex.y() * d.x()) / det));
        const int row = (nearest - 1) / columns + dr, column = (nearest - 1) % columns + dc;
        if (row >= 0 && column >= 0 && row < Raster.Rows && column < columns)
          implied[b] = row * columns + column + 1;
      }
    }
  }
  for (int k = 1; k <= PlaneCount; ++k)
    if (!Planes[std::size_t(k)].Done) result.MisplacedPhotos.push_back(2 + k);
  for (int k = 1; judge && k <= PlaneCount; ++k) {
    const TPlaneStats& plane = Planes[std::size_t(k)];
    if (!plane.Done || plane.Stray > MaxStray) continue;
    int total = 0, wrong = 0, lit = 0;
    for (std::size_t b = 0; b < blobs; ++b) {
      if (!solid(Blobs[b])) continue;
      const bool on = 2 * std::int64_t(plane.Votes[b]) > Blobs[b].Area;
      lit += on;
      if (!implied[b]) continue;
      ++total;
      wrong += on != bool((CheckCodeOf(implied[b]) >> (PlaneCount - k)) & 1);
    }
    int bits = 0;
    for (int index = 1; index <= n; ++index) bits += (CheckCodeOf(index) >> (PlaneCount - k)) & 1;
    const double expected = double(bits) / n, seen = double(lit) / whole;
    const bool share =
        std::abs(seen - expected) > 0.2 || (expected >= 0.05 && seen < 0.25 * expected);
    if (share || (total > 0 && wrong > MaxDisagreement * total))
      result.MisplacedPhotos.push_back(2 + k);
  }

  // Separation: points merged into one another, or too small to show.
  std::vector<double> areas;
  for (const TBlob& blob : Blobs)
    if (solid(blob)) areas.push_back(blob.Area);
  const double medianArea = Median(areas);
  int merged = 0;
  for (const TBlob& blob : Blobs) merged += solid(blob) && blob.Area > 3 * medianArea;
  const double pitchPixels =
      Known(globalX) && Known(globalY)
          ? std::min(std::hypot(globalX.x(), globalX.y()), std::hypot(globalY.x(), globalY.y()))
          : NaN;
  const bool moved = result.MovedFrom >= 0, misplaced = !result.MisplacedPhotos.empty();
  const bool separation = (judge && (merged > 0.1 * whole || medianArea < 3)) ||
                          (!std::isnan(pitchPixels) && pitchPixels < 3) ||
                          (n > 0 && !judge && ValidShare > 0.5 && !moved && !misplaced);

  // Each point not read gets the cause its surroundings show; one whose middle
  // lies within half a pitch of the photo's edge is cut by it.
  const double edge = std::isnan(pitchPixels) ? 1.0 : std::max(1.0, pitchPixels / 2);
  std::array<int, 5> tally{};
  for (int i = 1; i <= n; ++i) {
    const TPointState state = result.States[std::size_t(i - 1)];
    if (state == TPointState::Read) continue;
    const QPointF q = result.Positions[std::size_t(i - 1)];
    TCheckCause cause = TCheckCause::Separation;
    if (!Known(q)) {
      cause = moved              ? TCheckCause::Moved
              : misplaced        ? TCheckCause::OutOfOrder
              : ValidShare < 0.5 ? TCheckCause::LowContrast
                                 : TCheckCause::Separation;
    } else if (q.x() < edge || q.y() < edge || q.x() >= FWidth - edge || q.y() >= FHeight - edge) {
      cause = TCheckCause::OutsideView;
    } else if (state == TPointState::Weak ||
               Contrast[std::size_t(int(q.y())) * FWidth + int(q.x())] < MinContrast) {
      cause = TCheckCause::LowContrast;
    } else if (moved) {
      cause = TCheckCause::Moved;
    } else if (misplaced) {
      cause = TCheckCause::OutOfOrder;
    } else if (!separation && ValidShare < 0.5) {
      cause = TCheckCause::LowContrast;
    }
    ++tally[std::size_t(cause)];
  }
  if (moved && !tally[std::size_t(TCheckCause::Moved)])
    result.Causes.push_back({TCheckCause::Moved, 0});
  if (misplaced && !tally[std::size_t(TCheckCause::OutOfOrder)])
    result.Causes.push_back({TCheckCause::OutOfOrder, 0});
  if (separation && !tally[std::size_t(TCheckCause::Separation)] && !result.AllRead())
    result.Causes.push_back({TCheckCause::Separation, 0});
  for (std::size_t c = 0; c < tally.size(); ++c)
    if (tally[c]) result.Causes.push_back({TCheckCause(c), tally[c]});
  std::stable_sort(result.Causes.begin(), result.Causes.end(), [](const auto& A, const auto& B) {
    return (A.second == 0 ? INT32_MAX : A.second) > (B.second == 0 ? INT32_MAX : B.second);
  });
  return result;
}

std::optional<std::vector<std::string>> ReadScanIndex(const std::string& Dir, std::string* Error) {
  const QString path = QString::fromStdString(Dir + "/corvalet.sbf");
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (Error)
      *Error =
          path.toStdString() + ": cannot read the scan index: " + file.errorString().toStdString();
    return std::nullopt;
  }
  // An index is a few hundred bytes; anything far larger is not one.
  const QByteArray text = file.read(1 << 20);
  std::vector<std::string> lines;
  for (const QByteArray& line : text.split('\n')) {
    QByteArray trimmed = line;
    if (trimmed.endsWith('\r')) trimmed.chop(1);
    lines.push_back(trimmed.toStdString());
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() < 2 || lines[1] != std::string(80, '-')) {
    if (Error) *Error = path.toStdString() + ": not a scan index (no rule of hyphens on line 2)";
    return std::nullopt;
  }
  std::vector<std::string> names(lines.begin() + 2, lines.end());
  for (const std::string& name : names)
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos) {
      if (Error) *Error = path.toStdString() + ": \"" + name + "\" is not a photo's file name";
      return std::nullopt;
    }
  if (names.size() != PhotoCount) {
    if (Error)
      *Error =
          path.toStdString() + ": lists " + std::to_string(names.size()) + " photos, a scan has 17";
    return std::nullopt;
  }
  return names;
}

std::optional<TCheckResult> CheckScanFolder(const std::string& Dir, const TCheckRaster& Raster,
                                            std::string* Error, int Threads) {
  const auto names = ReadScanIndex(Dir, Error);
  if (!names) return std::nullopt;
  std::vector<std::string> paths;
  for (const std::string& name : *names) paths.push_back(Dir + "/" + name);
  std::vector<std::string> errors(PhotoCount);
  auto load = [&](int Photo) {
    QImageReader::setAllocationLimit(MaxPhotoMegabytes);
    QImageReader reader(QString::fromStdString(paths[std::size_t(Photo)]));
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > MaxSide || size.height() > MaxSide)) {
      errors[std::size_t(Photo)] =
          "is " + SizeText(size.width(), size.height()) + ", more than 8192 pixels a side";
      return QImage();
    }
    QImage image = reader.read();
    if (image.isNull())
      errors[std::size_t(Photo)] = "cannot be read: " + reader.errorString().toStdString();
    return image;
  };
  // Runs Work(i) for each i in Items on up to Threads threads.
  auto parallel = [&](const std::vector<int>& Items, const auto& Work) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
      for (std::size_t i; (i = next++) < Items.size();) Work(Items[i]);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::max(1, Threads); ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
  };
  auto firstError = [&]() -> bool {
    for (int i = 0; i < PhotoCount; ++i)
      if (!errors[std::size_t(i)].empty()) {
        if (Error) *Error = paths[std::size_t(i)] + ": " + errors[std::size_t(i)];
        return true;
      }
    return false;
  };

  // Photos are decoded in the index's order; the thread that completes the first
  // three sets the decoder up while the other already decodes the next photo.
  TScanDecoder decoder(Raster);
  std::mutex lock;
  std::condition_variable ready;
  std::vector<QImage> first(3);
  int firstDone = 0;
  bool setUp = false, failed = false;
  std::vector<int> photos(PhotoCount);
  std::iota(photos.begin(), photos.end(), 0);
  parallel(photos, [&](int i) {
    QImage image = load(i);
    std::unique_lock guard(lock);
    if (image.isNull()) failed = true;
    if (i < 3) {
      first[std::size_t(i)] = std::move(image);
      if (++firstDone < 3) return;
      if (!failed) {
        guard.unlock();
        std::string problem;
        int culprit = -1;
        if (!decoder.SetReferences(first[0], first[1], &problem))
          culprit = 1;
        else if (!decoder.SetAllPoints(first[2], &problem))
          culprit = 2;
        first.clear();
        guard.lock();
        if (culprit >= 0) errors[std::size_t(culprit)] = problem, failed = true;
      }
      setUp = true;
      ready.notify_all();
      return;
    }
    ready.wait(guard, [&] { return setUp; });
    if (failed) return;
    guard.unlock();
    std::string problem;
    if (!decoder.AddPlane(i - 2, image, &problem)) {
      guard.lock();
      errors[std::size_t(i)] = problem;
    }
  });
  if (firstError()) return std::nullopt;
  return decoder.Finish();
}

std::optional<TCheckRaster> RecordedRaster(const std::string& Dir) {
  QFile file(QString::fromStdString(Dir + "/corvalet-check.txt"));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray text = file.read(1 << 20);
  for (const QByteArray& line : text.split('\n'))
    if (line.startsWith("Rastr: ")) {
      QByteArray values = line.mid(7);
      const int bracket = values.indexOf(' ');
      if (bracket >= 0) values.truncate(bracket);
      return TCheckRaster::Parse(values.trimmed().toStdString());
    }
  return std::nullopt;
}

bool WriteCheckReport(const std::string& Dir, const TCheckResult& Result, std::string* Error) {
  std::ostringstream out;
  out << Result.Verdict() << "\n"
      << "Rastr: " << Result.Raster.Text() << " (LHX, LHY, řádků, sloupců, velikost, odstup)\n"
      << "Snímky: " << Result.PhotoWidth << " x " << Result.PhotoHeight << "\n"
      << "Očekáváno: " << Result.Expected << "\n"
      << "Přečteno: " << Result.Read << "\n"
      << "Nepřečteno: " << Result.Unread << "\n"
      << "Duplicitní čísla: " << Result.Duplicates << "\n"
      << "Čísla mimo rastr: " << Result.OutOfRaster << "\n"
      << "Nesouhlasí s polohou: " << Result.Inconsistent << "\n"
      << "Slabý kontrast: " << Result.Weak << "\n"
      << "Useknuté okrajem snímku: " << Result.Cut << "\n";
  if (Result.MovedFrom >= 0) out << "Pohyb od snímku: " << Result.MovedFrom + 1 << "\n";
  if (!Result.MisplacedPhotos.empty()) {
    out << "Snímky neodpovídají svému vzoru:";
    for (int photo : Result.MisplacedPhotos) out << ' ' << photo + 1;
    out << "\n";
  }
  out << "Příčiny:\n";
  for (const auto& [cause, count] : Result.Causes) {
    out << "- " << CheckCauseText(cause);
    if (count) out << " (" << count << " bodů)";
    out << "\n";
  }
  out << "Nepřečtené body:";
  int column = 0;
  for (int number : Result.UnreadNumbers()) {
    out << (column++ % 20 == 0 ? "\n" : " ") << number;
  }
  out << "\n";

  const std::string textPath = Dir + "/corvalet-check.txt";
  QSaveFile text(QString::fromStdString(textPath));
  const std::string bytes = out.str();
  if (!text.open(QIODevice::WriteOnly) || text.write(bytes.data(), qint64(bytes.size())) < 0 ||
      !text.commit()) {
    if (Error) *Error = textPath + ": " + text.errorString().toStdString();
    return false;
  }

  QImage picture = Result.Preview.isNull()
                       ? QImage(std::max(1, Result.PhotoWidth), std::max(1, Result.PhotoHeight),
                                QImage::Format_RGB32)
                       : Result.Preview.copy();
  if (Result.Preview.isNull()) picture.fill(Qt::black);
  {
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const double scale = Result.PreviewScale;
    const double pitch = [&] {
      // Half the distance between the first two known neighbours, as a marker size.
      for (std::size_t i = 0; i + 1 < Result.Positions.size(); ++i)
        if (Known(Result.Positions[i]) && Known(Result.Positions[i + 1]))
          return std::hypot(Result.Positions[i + 1].x() - Result.Positions[i].x(),
                            Result.Positions[i + 1].y() - Result.Positions[i].y());
      return 8.0;
    }();
    const double radius = std::clamp(0.3 * pitch * scale, 1.0, 12.0);
    for (std::size_t i = 0; i < Result.States.size(); ++i) {
      if (!Known(Result.Positions[i])) continue;
      const QPointF at = Result.Positions[i] * scale;
      const bool read = Result.States[i] == TPointState::Read;
      painter.setPen(QPen(read ? QColor(0, 200, 0) : QColor(255, 40, 40), read ? 1.0 : 1.5));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(at, radius, radius);
    }
  }
  const std::string picturePath = Dir + "/corvalet-check.png";
  QSaveFile png(QString::fromStdString(picturePath));
  if (!png.open(QIODevice::WriteOnly) || !picture.save(&png, "PNG") || !png.commit()) {
    if (Error) *Error = picturePath + ": " + png.errorString().toStdString();
    return false;
  }
  return true;
}
