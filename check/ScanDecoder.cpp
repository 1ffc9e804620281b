#include "check/ScanCheck.h"

#include <QImage>
#include <algorithm>

#include "check/CheckGeometry.h"

using namespace scan_check;

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
