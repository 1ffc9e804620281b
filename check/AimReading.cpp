#include <QImageReader>
#include <algorithm>

#include "check/Aim.h"
#include "check/AimLattice.h"
#include "check/CheckGeometry.h"

using namespace scan_check;

TAimResult TScanDecoder::Aim() const {
  TAimResult result;
  result.Raster = Raster;
  result.PhotoWidth = FWidth;
  result.PhotoHeight = FHeight;
  result.Preview = Preview;
  result.PreviewScale = PreviewScale;
  // Aiming reads no codes: any raster the projector draws will do.
  const int n = Raster.Rows > 0 && Raster.Columns > 0 ? Raster.Count() : 0;
  const int columns = std::max(1, Raster.Columns);
  result.Expected = n;
  result.States.assign(std::size_t(n), TPointState::Unread);
  result.Positions.assign(std::size_t(n), QPointF(NaN, NaN));

  // The points that the check would read: whole, not specks, not merged.
  const double mergedArea = MergedArea();
  std::vector<QPointF> centre;
  std::vector<double> solidAreas, peaks;
  int merged = 0;
  for (const TBlob& blob : Blobs) {
    const TBlobKind kind = KindOf(blob, mergedArea);
    merged += kind == TBlobKind::Merged;
    if (kind != TBlobKind::Point) continue;
    centre.emplace_back(blob.X, blob.Y);
    solidAreas.push_back(blob.Area);
    peaks.push_back(blob.Peak);
  }
  const int solid = int(centre.size());
  result.PointSize = solid ? std::sqrt(Median(solidAreas)) : 0;
  const double pointLight = solid ? Median(peaks) : 0;
  if (n == 0) return result;
  if (solid == 0) {
    // Light from the points all over, yet no point stands apart: they merge.
    result.TooClose = LitPixels >= std::size_t(std::max(1, n));
    result.TooFaint = !result.TooClose;
    result.Missing = n;
    return result;
  }
  result.TooFaint = pointLight < 5 * Noise;
  result.TooClose = merged > std::max(1, solid / 20);

  const TLatticeMatch match = MatchLattice(centre, Raster, FWidth, FHeight);
  if (Known(match.StepX)) {
    result.Spacing = std::min(std::hypot(match.StepX.x(), match.StepX.y()),
                              std::hypot(match.StepY.x(), match.StepY.y()));
    result.TooSmall = result.PointSize < std::sqrt(3.0) || result.Spacing < 4;
  }
  if (!match.Placed) {
    result.Missing = n;
    result.Unmatched = match.Misfit;
    if (match.NoLattice) {
      if (Known(match.StepX))
        result.TooClose = result.TooClose || (LitPixels >= std::size_t(n) && merged > 0);
      // Fewer pixels lit well above the noise than the raster has points: the light is too
      // weak, whether or not the few points that stand out hint at a step.
      result.TooFaint = result.TooFaint || LitPixels < std::size_t(n);
    }
    return result;
  }
  result.ColumnsGuessed = match.ColumnsGuessed;
  result.RowsGuessed = match.RowsGuessed;
  result.Placed = true;

  // Found points where they lie, the others a step per row and column from the
  // nearest found one.
  std::vector<int> blobOf(std::size_t(n) + 1, -1);
  for (std::size_t b = 0; b < match.Nodes.size(); ++b) {
    const TLatticeNode& p = match.Nodes[b];
    const int column = p.Column - match.Column0, row = p.Row - match.Row0;
    if (!p.Assigned || column < 0 || row < 0 || column >= columns || row >= Raster.Rows) continue;
    const int i = row * columns + column + 1;
    blobOf[std::size_t(i)] = int(b);
    result.Positions[std::size_t(i - 1)] = centre[b];
    result.States[std::size_t(i - 1)] = TPointState::Read;
    ++result.InView;
  }
  std::vector<char> found(std::size_t(n) + 1, 0);
  for (int i = 1; i <= n; ++i) found[std::size_t(i)] = blobOf[std::size_t(i)] >= 0;
  const std::vector<int> source = NearestKnown(columns, found);
  const double edge = std::max(1.0, result.Spacing / 2);
  for (int i = 1; i <= n; ++i) {
    const int s = source[std::size_t(i)];
    if (!s || blobOf[std::size_t(i)] >= 0) continue;
    const TLatticeNode& from = match.Nodes[std::size_t(blobOf[std::size_t(s)])];
    const int dr = (i - 1) / columns - (s - 1) / columns,
              dc = (i - 1) % columns - (s - 1) % columns;
    const QPointF q =
        centre[std::size_t(blobOf[std::size_t(s)])] + from.StepX * dc + from.StepY * dr;
    result.Positions[std::size_t(i - 1)] = q;
    TPointState& state = result.States[std::size_t(i - 1)];
    if (q.x() < 0 || q.y() < 0 || q.x() >= FWidth || q.y() >= FHeight)
      state = TPointState::Outside, ++result.Outside;
    else if (q.x() < edge || q.y() < edge || q.x() >= FWidth - edge || q.y() >= FHeight - edge)
      state = TPointState::Cut, ++result.Cut;
    else
      ++result.Missing;
  }

  double left = 1e18, right = -1e18, top = 1e18, bottom = -1e18;
  for (const QPointF& q : result.Positions)
    if (Known(q))
      left = std::min(left, q.x()), right = std::max(right, q.x()), top = std::min(top, q.y()),
      bottom = std::max(bottom, q.y());
  result.MarginLeft = left;
  result.MarginRight = FWidth - right;
  result.MarginTop = top;
  result.MarginBottom = FHeight - bottom;

  // Neighbours whose light does not dip between them by three noise deviations
  // and a quarter of their light cannot be told apart.
  int pairs = 0, blurred = 0;
  for (int i = 1; i <= n; ++i) {
    const int b = blobOf[std::size_t(i)];
    if (b < 0) continue;
    const int row = (i - 1) / columns, column = (i - 1) % columns;
    for (const int j :
         {column + 1 < columns ? i + 1 : 0, row + 1 < Raster.Rows ? i + columns : 0}) {
      if (!j || blobOf[std::size_t(j)] < 0) continue;
      const QPointF a = centre[std::size_t(b)], c = centre[std::size_t(blobOf[std::size_t(j)])];
      const double peak = std::min(LightAt(a), LightAt(c)), between = LightAt((a + c) / 2);
      if (std::isnan(peak) || std::isnan(between)) continue;
      ++pairs;
      blurred += peak - between < std::max(3 * Noise, 0.25 * peak);
    }
  }
  result.TooClose = result.TooClose || blurred > std::max(1, pairs / 20);
  return result;
}

std::optional<TAimResult> AimAtRaster(const TCheckRaster& Raster, const QImage& Dark,
                                      const QImage& Points, std::string* Error,
                                      const std::atomic<bool>* Cancel) {
  auto cancelled = [&] {
    if (Cancel == nullptr || !*Cancel) return false;
    if (Error) *Error = "cancelled";
    return true;
  };
  TScanDecoder decoder(Raster);
  if (cancelled() || !decoder.SetDarkAndPoints(Dark, Points, Error) || cancelled())
    return std::nullopt;
  return decoder.Aim();
}

std::optional<TAimResult> AimAtRasterFiles(const TCheckRaster& Raster, const std::string& DarkPath,
                                           const std::string& PointsPath, std::string* Error,
                                           const std::atomic<bool>* Cancel) {
  QImageReader::setAllocationLimit(MaxPhotoMegabytes);
  QImage photos[2];
  const std::string paths[2] = {DarkPath, PointsPath};
  for (int k = 0; k < 2; ++k) {
    if (Cancel != nullptr && *Cancel) {
      if (Error) *Error = "cancelled";
      return std::nullopt;
    }
    QImageReader reader(QString::fromStdString(paths[k]));
    photos[k] = reader.read();
    if (photos[k].isNull()) {
      if (Error) *Error = paths[k] + ": cannot be read: " + reader.errorString().toStdString();
      return std::nullopt;
    }
  }
  std::string problem;
  auto result = AimAtRaster(Raster, photos[0], photos[1], &problem, Cancel);
  if (!result && Error) *Error = problem == "cancelled" ? problem : PointsPath + ": " + problem;
  return result;
}

std::string TAimResult::Summary() const {
  std::string text =
      "Zaměření: " + std::to_string(InView) + "/" + std::to_string(Expected) + " bodů v záběru";
  if (Outside) text += ", " + std::to_string(Outside) + " mimo snímek";
  if (Cut) text += ", " + std::to_string(Cut) + " na okraji snímku";
  if (Placed && Missing) text += ", v záběru nenalezeno: " + std::to_string(Missing);
  if (Placed) {
    auto margin = [](double Value) { return std::to_string(int(std::lround(Value))); };
    text += "; okraje vlevo " + margin(MarginLeft) + ", vpravo " + margin(MarginRight) +
            ", nahoře " + margin(MarginTop) + ", dole " + margin(MarginBottom) + " px";
    if (ColumnsGuessed || RowsGuessed) text += " (je vidět jen část rastru, poloha odhadnuta)";
    text += "; bod " + DecimalText(PointSize) + " px, rozteč " + DecimalText(Spacing) + " px";
  }
  std::vector<std::string> problems;
  if (TooSmall) problems.push_back("body příliš malé pro kontrolu");
  if (TooClose) problems.push_back("body příliš blízko pro kontrolu, jejich světlo splývá");
  if (TooFaint) problems.push_back("body příliš slabé proti šumu");
  if (problems.empty() && Placed) problems.push_back("velikost a rozteč bodů pro kontrolu stačí");
  if (problems.empty() && Unmatched)
    problems.push_back(
        "nalezené body nelze spolehlivě přiřadit řádkům a sloupcům rastru, obrys se nezobrazuje");
  if (problems.empty() && PointSize > 0) problems.push_back("nalezené body netvoří mřížku rastru");
  if (problems.empty()) problems.push_back("žádný bod nenalezen");
  text += ";";
  for (std::size_t k = 0; k < problems.size(); ++k) text += (k ? ", " : " ") + problems[k];
  if (Placed && Outside + Cut > 0) text += "; " + FramingAdvice();
  return text;
}

std::string TAimResult::FramingAdvice() const {
  double left = 1e18, right = -1e18, top = 1e18, bottom = -1e18;
  for (const QPointF& q : Positions)
    if (Known(q))
      left = std::min(left, q.x()), right = std::max(right, q.x()), top = std::min(top, q.y()),
      bottom = std::max(bottom, q.y());
  // The raster with half a step around its outer points, as a found point needs.
  if (right - left + Spacing > PhotoWidth || bottom - top + Spacing > PhotoHeight)
    return "rastr přesahuje snímek: oddalte kameru nebo zmenšete přiblížení, aby byl celý v záběru";
  const double edge = Spacing / 2;
  const struct {
    bool Past;
    const char *Side, *Way;
  } sides[4] = {{MarginLeft < edge, "vlevo", "doleva"},
                {MarginRight < edge, "vpravo", "doprava"},
                {MarginTop < edge, "nahoře", "nahoru"},
                {MarginBottom < edge, "dole", "dolů"}};
  std::string where, ways;
  for (const auto& side : sides)
    if (side.Past) {
      where += (where.empty() ? " " : " a ") + std::string(side.Side);
      ways += (ways.empty() ? " " : " a ") + std::string(side.Way);
    }
  return "rastr přesahuje snímek" + where + ": natočte nebo posuňte kameru" + ways;
}
