#include <algorithm>
#include <array>
#include <cmath>

#include "check/ScanCheck.h"

namespace {

// The field's contrasts, 0 to 255, to the power 3/4 (see WindowSums).
const std::array<double, 256> ContrastWeight = [] {
  std::array<double, 256> weights{};
  for (int c = 0; c < 256; ++c) weights[std::size_t(c)] = std::pow(double(c), 0.75);
  return weights;
}();

}  // namespace

// The centroid of Photo's light above the dark field under a Gaussian window of
// Sigma around (X, Y): sums of weight times x, times y, and of weight. Each pixel's
// light counts over the field's contrast there to the power 3/4. The print under a point
// (a board's grey and white squares, as the lit field shows them) pulls its centre
// towards the lighter colour; dividing by the whole contrast pulls it back too far, as
// the print dims the light before the camera's blur spreads it over both colours.
// Measured against the simulated rig, the power 3/4 leaves no pull (0.003 px on
// average for points across a grey/white edge, against 0.16 px undivided).
std::array<double, 3> TScanDecoder::WindowSums(const std::vector<std::uint8_t>& Photo, double X,
                                               double Y, double Sigma) const {
  const int half = int(std::ceil(2.5 * Sigma));
  const int x0 = int(std::floor(X - 0.5)), y0 = int(std::floor(Y - 0.5));
  const int left = std::max(0, x0 - half), right = std::min(FWidth - 1, x0 + half + 1);
  std::array<double, 64> across{};
  for (int x = left; x <= right && x - left < 64; ++x) {
    const double d = x + 0.5 - X;
    across[std::size_t(x - left)] = std::exp(-0.5 * d * d / (Sigma * Sigma));
  }
  const std::vector<std::uint8_t>& contrast = MeasureOf(Contrast, MeasureContrast);
  std::array<double, 3> sums{};
  for (int y = std::max(0, y0 - half); y <= std::min(FHeight - 1, y0 + half + 1); ++y) {
    const double dy = y + 0.5 - Y;
    const double down = std::exp(-0.5 * dy * dy / (Sigma * Sigma));
    const std::size_t row = std::size_t(y) * FWidth;
    for (int x = left; x <= right && x - left < 64; ++x) {
      const double w = down * across[std::size_t(x - left)] *
                       (Photo[row + x] - DarkMeanLevel[row + x]) /
                       ContrastWeight[std::max<int>(contrast[row + x], MinContrast)];
      sums[0] += w * (x + 0.5);
      sums[1] += w * (y + 0.5);
      sums[2] += w;
    }
  }
  return sums;
}

// The centre to a fraction of a pixel: the centroid of the light above the dark
// field under a Gaussian window the size of the point, moved onto its own result
// until it settles. For a point whose light is symmetric about its middle the
// window stays centred there, and the noise of its faint rim weighs little.
void TScanDecoder::Refine(TBlob& Blob, const std::vector<std::uint8_t>& Points,
                          double MaxSigma) const {
  const double radius = std::sqrt(Blob.Area / M_PI);
  Blob.Sigma = std::clamp(std::min(1.1 * radius, MaxSigma), 1.0, 12.0);
  double cx = Blob.X, cy = Blob.Y;
  for (int pass = 0; pass < 6; ++pass) {
    const auto sums = WindowSums(Points, cx, cy, Blob.Sigma);
    if (sums[2] <= 0) return;
    const double nx = sums[0] / sums[2], ny = sums[1] / sums[2];
    // A window that wanders off the point found another light: keep the plain centre.
    if (std::hypot(nx - Blob.X, ny - Blob.Y) > radius + 1) return;
    const bool settled = std::hypot(nx - cx, ny - cy) < 0.001;
    cx = nx, cy = ny;
    if (settled) break;
  }
  Blob.X = cx;
  Blob.Y = cy;
  Blob.Refined = true;
  const auto sums = WindowSums(Points, cx, cy, Blob.Sigma);
  Blob.Sums[0] = sums[0] - cx * sums[2];
  Blob.Sums[1] = sums[1] - cy * sums[2];
  Blob.Sums[2] = sums[2];
}
