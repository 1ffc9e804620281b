#include "check/ScanCheck.h"

#include <QImage>
#include <algorithm>

#include "check/CheckGeometry.h"

using namespace scan_check;

namespace {

// The brightness that a JPEG stores of a colour (0.299 red, 0.587 green, 0.114 blue).
std::uint8_t LumaOf(QRgb Colour) {
  return std::uint8_t((77 * qRed(Colour) + 150 * qGreen(Colour) + 29 * qBlue(Colour) + 128) >> 8);
}

// The sum of Values over (2 Radius + 1)^2 pixels around each pixel, the edge
// repeated: running sums across each row, then down each column.
template <typename T>
std::vector<float> LocalSum(const std::vector<T>& Values, int Width, int Height, int Radius) {
  const std::size_t pixels = std::size_t(Width) * Height;
  std::vector<float> across(pixels);
  for (int y = 0; y < Height; ++y) {
    const T* in = &Values[std::size_t(y) * Width];
    float* out = &across[std::size_t(y) * Width];
    double sum = 0;
    for (int k = -Radius; k <= Radius; ++k) sum += in[std::clamp(k, 0, Width - 1)];
    for (int x = 0; x < Width; ++x) {
      out[x] = float(sum);
      sum += double(in[std::min(x + Radius + 1, Width - 1)]) - in[std::max(x - Radius, 0)];
    }
  }
  std::vector<float> total(pixels);
  std::vector<double> column(std::size_t(Width), 0.0);
  auto row = [&](int Y) { return &across[std::size_t(std::clamp(Y, 0, Height - 1)) * Width]; };
  for (int k = -Radius; k <= Radius; ++k) {
    const float* in = row(k);
    for (int x = 0; x < Width; ++x) column[std::size_t(x)] += in[x];
  }
  for (int y = 0; y < Height; ++y) {
    float* out = &total[std::size_t(y) * Width];
    const float* enter = row(y + Radius + 1);
    const float* leave = row(y - Radius);
    for (int x = 0; x < Width; ++x) {
      out[x] = float(column[std::size_t(x)]);
      column[std::size_t(x)] += double(enter[x]) - leave[x];
    }
  }
  return total;
}

}  // namespace

bool TScanDecoder::Extract(const QImage& Photo, std::vector<std::uint8_t>& Out, std::string* Error,
                           std::vector<std::uint8_t>* Measure) const {
  if (Photo.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (Photo.width() != FWidth || Photo.height() != FHeight) {
    if (Error)
      *Error = "the photo is " + SizeText(Photo.width(), Photo.height()) +
               ", the dark field's photo " + SizeText(FWidth, FHeight);
    return false;
  }
  Out.resize(std::size_t(FWidth) * FHeight);
  const bool measure = Measure && MeasureChannel != Channel;
  if (Measure) Measure->clear();
  if (Photo.format() == QImage::Format_Grayscale8) {
    for (int y = 0; y < FHeight; ++y)
      std::copy_n(Photo.constScanLine(y), FWidth, &Out[std::size_t(y) * FWidth]);
    if (measure) *Measure = Out;
    return true;
  }
  if (measure) Measure->resize(Out.size());
  const QImage rgb =
      Photo.format() == QImage::Format_RGB32 || Photo.format() == QImage::Format_ARGB32
          ? Photo
          : Photo.convertToFormat(QImage::Format_RGB32);
  const int shift = 16 - 8 * Channel;
  for (int y = 0; y < FHeight; ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    std::uint8_t* out = &Out[std::size_t(y) * FWidth];
    for (int x = 0; x < FWidth; ++x) out[x] = std::uint8_t(in[x] >> shift);
    if (measure) {
      std::uint8_t* luma = &(*Measure)[std::size_t(y) * FWidth];
      for (int x = 0; x < FWidth; ++x) luma[x] = LumaOf(in[x]);
    }
  }
  return true;
}

bool TScanDecoder::SetDark(const QImage& DarkPhoto, const QImage& Bright,
                           std::vector<std::uint8_t>& BrightOut,
                           std::vector<std::uint8_t>* BrightMeasure, std::string* Error) {
  if (DarkPhoto.isNull() || Bright.isNull()) {
    if (Error) *Error = "the photo is empty";
    return false;
  }
  if (DarkPhoto.width() > MaxSide || DarkPhoto.height() > MaxSide) {
    if (Error)
      *Error = "the photo is " + SizeText(DarkPhoto.width(), DarkPhoto.height()) +
               ", more than 8192 pixels a side";
    return false;
  }
  FWidth = DarkPhoto.width();
  FHeight = DarkPhoto.height();
  if (Bright.size() != DarkPhoto.size()) {
    if (Error)
      *Error = "the photo is " + SizeText(Bright.width(), Bright.height()) +
               ", the dark field's photo " + SizeText(FWidth, FHeight);
    return false;
  }
  // The channel in which the bright photo stands out most from the dark one.
  const QImage dark = DarkPhoto.convertToFormat(QImage::Format_RGB32);
  const QImage bright = Bright.convertToFormat(QImage::Format_RGB32);
  std::array<double, 3> gain{};
  double luma = 0;
  for (int y = 0; y < FHeight; y += 7)
    for (int x = 0; x < FWidth; x += 7) {
      const QRgb d = dark.pixel(x, y), l = bright.pixel(x, y);
      gain[0] += qRed(l) - qRed(d);
      gain[1] += qGreen(l) - qGreen(d);
      gain[2] += qBlue(l) - qBlue(d);
      luma += LumaOf(l) - LumaOf(d);
    }
  Channel = int(std::max_element(gain.begin(), gain.end()) - gain.begin());
  // A camera's JPEG keeps the light's brightness (its luma) pixel for pixel and its
  // colour at half the resolution or less, in blocks of pixels: a coloured point's own
  // channel carries that coarser colour, which moves its centre by where it falls on
  // the blocks and by the print under it. So centres are measured in the luma wherever
  // it shows at least half the best channel's contrast (white or green light, not red
  // or blue); the channel, with more contrast over the noise, still reads the points.
  // Grey photos have no colour to lose.
  const bool grey = DarkPhoto.format() == QImage::Format_Grayscale8 &&
                    Bright.format() == QImage::Format_Grayscale8;
  MeasureChannel =
      BrightMeasure && !grey && luma >= 0.5 * gain[std::size_t(Channel)] ? Luma : Channel;
  Extract(dark, Dark, nullptr, &MeasureDark);
  Extract(bright, BrightOut, nullptr, BrightMeasure);
  return true;
}

bool TScanDecoder::SetReferences(const QImage& DarkPhoto, const QImage& Lit, std::string* Error) {
  std::vector<std::uint8_t> lit, litMeasure;
  if (!SetDark(DarkPhoto, Lit, lit, &litMeasure, Error)) return false;
  SetContrast(lit, litMeasure);
  return true;
}

bool TScanDecoder::SetDarkAndPoints(const QImage& DarkPhoto, const QImage& Points,
                                    std::string* Error) {
  std::vector<std::uint8_t> points;
  if (!SetDark(DarkPhoto, Points, points, nullptr, Error)) return false;
  // The brightest light within a few pixels, across and then down: over a point's
  // pixels its own peak, between the points the nearest one's, far from them the noise.
  constexpr int reach = 4;
  std::vector<std::uint8_t> across(points.size()), field(points.size());
  for (int y = 0; y < FHeight; ++y) {
    const std::uint8_t* in = &points[std::size_t(y) * FWidth];
    std::uint8_t* out = &across[std::size_t(y) * FWidth];
    std::copy_n(in, FWidth, out);
    for (int k = 1; k <= reach && k < FWidth; ++k)
      for (int x = 0; x + k < FWidth; ++x) {
        out[x] = std::max(out[x], in[x + k]);
        out[x + k] = std::max(out[x + k], in[x]);
      }
  }
  for (int y = 0; y < FHeight; ++y) {
    std::uint8_t* out = &field[std::size_t(y) * FWidth];
    std::copy_n(&across[std::size_t(y) * FWidth], FWidth, out);
    for (int k = std::max(0, y - reach); k <= std::min(FHeight - 1, y + reach); ++k) {
      const std::uint8_t* in = &across[std::size_t(k) * FWidth];
      for (int x = 0; x < FWidth; ++x) out[x] = std::max(out[x], in[x]);
    }
  }
  SetContrast(field, {});
  return SetAllPoints(Points, Error);
}

void TScanDecoder::SetContrast(const std::vector<std::uint8_t>& Lit,
                               const std::vector<std::uint8_t>& LitMeasure) {
  const std::vector<std::uint8_t>& l = Lit;
  const std::size_t pixels = Dark.size();
  Contrast.resize(pixels);
  double sumDark = 0, sumLit = 0;
  std::size_t valid = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    const int contrast = std::max(0, int(l[i]) - int(Dark[i]));
    Contrast[i] = std::uint8_t(contrast);
    sumDark += Dark[i];
    sumLit += l[i];
    valid += contrast >= MinContrast;
  }
  // Without the lit field in the centres' light (aiming, grey photos), centres are
  // measured in the channel.
  if (LitMeasure.empty() || MeasureDark.empty() || MeasureChannel == Channel) {
    MeasureChannel = Channel;
    MeasureDark.clear();
    MeasureContrast.clear();
  } else {
    MeasureContrast.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i)
      MeasureContrast[i] = std::uint8_t(std::max(0, int(LitMeasure[i]) - int(MeasureDark[i])));
  }
  // In that light, the room's light under every point, as the mean over 7 x 7 pixels
  // that takes most of the noise every photo's difference from the dark field would
  // otherwise share. Where the projector lights them, the mean is of the dark field's
  // share of the field's contrast, times the contrast there: the surface sends back the
  // room's light as it does the projector's, so the share is smooth across a print's
  // edges where the room's light is not (a plain mean leaves a step of the print's
  // light beside each edge, which pulls the points there). Elsewhere, the plain mean.
  const std::vector<std::uint8_t>& dark = MeasureOf(Dark, MeasureDark);
  const std::vector<std::uint8_t>& contrast = MeasureOf(Contrast, MeasureContrast);
  std::vector<std::uint8_t> lit(pixels);
  for (std::size_t i = 0; i < pixels; ++i) lit[i] = contrast[i] >= MinContrast;
  const std::vector<float> litSum = LocalSum(lit, FWidth, FHeight, 3);
  {
    std::vector<float> share(pixels, 0.0f);
    for (std::size_t i = 0; i < pixels; ++i)
      if (lit[i]) share[i] = float(dark[i]) / contrast[i];
    DarkMeanLevel = LocalSum(share, FWidth, FHeight, 3);
  }
  const std::vector<float> darkSum = LocalSum(dark, FWidth, FHeight, 3);
  for (std::size_t i = 0; i < pixels; ++i)
    DarkMeanLevel[i] = lit[i] ? DarkMeanLevel[i] / litSum[i] * contrast[i] : darkSum[i] / 49;
  DarkMean = sumDark / double(pixels);
  LitMean = sumLit / double(pixels);
  ValidShare = double(valid) / double(pixels);
  // The sensor's noise from neighbouring pixels' differences in the dark field (for
  // normal noise their mean magnitude is 2 / sqrt(pi) deviations); edges are left out.
  double steps = 0;
  std::size_t count = 0;
  for (int y = 0; y < FHeight; y += 5)
    for (int x = 1; x < FWidth; x += 3) {
      const std::size_t i = std::size_t(y) * FWidth + x;
      const int step = std::abs(int(Dark[i]) - int(Dark[i - 1]));
      if (step > 24) continue;
      steps += step;
      ++count;
    }
  Noise = std::max(0.5, count ? steps / double(count) * std::sqrt(M_PI) / 2 : 0.0);
}

void TScanDecoder::RefineAll(const std::vector<std::uint8_t>& Points) {
  // Where a surface turns away, its points crowd together in the photo; a window as wide
  // as the point would reach into its neighbour's light, and a neighbour at least half
  // as bright pulls. Blobs (by index + 1) by cells of Cell pixels, specks of noise left
  // out; the widest window, 12 pixels, is capped by neighbours up to 48 pixels away:
  // three cells.
  constexpr int Cell = 16, Cells = 3;
  TPointGrid grid(FWidth, FHeight, Cell);
  auto placed = [](const TBlob& Blob) { return std::isfinite(Blob.X) && std::isfinite(Blob.Y); };
  for (std::size_t b = 0; b < Blobs.size(); ++b)
    if (placed(Blobs[b]) && KindOf(Blobs[b], 0) != TBlobKind::Speck)
      grid.Add(int(b) + 1, QPointF(Blobs[b].X, Blobs[b].Y));
  // Every blob's nearest neighbour first, from the centres before any is refined.
  std::vector<double> nearest(Blobs.size(), Cells * Cell);
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    const TBlob& blob = Blobs[b];
    if (blob.TouchesEdge || !placed(blob)) continue;
    grid.Nearest(QPointF(blob.X, blob.Y), Cells, true, nearest[b], [&](int Other) {
      return Other != int(b) + 1 && Blobs[std::size_t(Other - 1)].Peak >= 0.5 * blob.Peak;
    });
  }
  for (std::size_t b = 0; b < Blobs.size(); ++b)
    if (!Blobs[b].TouchesEdge && placed(Blobs[b])) Refine(Blobs[b], Points, nearest[b] / 4);
}
