#include "check/ScanCheck.h"

#include "check/CheckGeometry.h"

using namespace scan_check;

bool TScanDecoder::AddPlane(int K, const QImage& Plane, std::string* Error) {
  if (K < 1 || K > PlaneCount) {
    if (Error) *Error = "no bit-plane " + std::to_string(K);
    return false;
  }
  if (Near.empty()) {
    if (Error) *Error = "the all-points photo is missing";
    return false;
  }
  std::vector<std::uint8_t> plane, measure;
  if (!Extract(Plane, plane, Error, &measure)) return false;
  TPlaneStats& stats = Planes[std::size_t(K)];
  stats.Share.assign(Blobs.size(), 0.0f);
  stats.Centre.assign(Blobs.size(), {0.0f, 0.0f, 0.0f});
  for (std::size_t b = 0; b < Blobs.size(); ++b) {
    const TBlob& blob = Blobs[b];
    double light = 0;
    const float* weight = &Weights[std::size_t(blob.FirstPixel)];
    for (int k = 0; k < blob.RunCount; ++k) {
      const TRun& run = Runs[std::size_t(blob.FirstRun + k)];
      for (int x = run.X0; x <= run.X1; ++x) {
        const std::size_t i = std::size_t(run.Y) * FWidth + x;
        light += *weight++ * (double(plane[i]) - Dark[i]);
      }
    }
    stats.Share[b] = blob.Light > 0 ? float(light / blob.Light) : 0.0f;
    // Where the point lights this plane it shows its place once more, with noise of its own.
    if (blob.Refined && stats.Share[b] > 0.5f) {
      const auto sums = WindowSums(MeasureOf(plane, measure), blob.X, blob.Y, blob.Sigma);
      stats.Centre[b] = {float(sums[0] - blob.X * sums[2]), float(sums[1] - blob.Y * sums[2]),
                         float(sums[2])};
    }
  }
  // Light where the all-points photo has none: the picture moved. A plane lights some
  // of the points only, so nowhere more than the all-points photo, not even between
  // points that blur merged. Every other pixel of every other row is enough for a share.
  std::size_t lit = 0, stray = 0;
  const std::size_t w = std::size_t(FWidth);
  for (int y = 1; y + 1 < FHeight; y += 2) {
    const double* tiles = &TileThreshold[std::size_t(y / Tile) * TileColumns];
    for (int x = 1; x + 1 < FWidth; x += 2) {
      const std::size_t i = std::size_t(y) * w + std::size_t(x);
      if (Contrast[i] < MinContrast) continue;
      int box = 0;
      for (const std::size_t row : {i - w, i, i + w})
        for (std::size_t j = row - 1; j <= row + 1; ++j) box += int(plane[j]) - int(Dark[j]);
      const bool on = box > tiles[x / Tile] * 9.0 * Contrast[i];
      lit += on;
      stray += on && !Near[i];
    }
  }
  stats.Stray = lit ? double(stray) / double(lit) : 0.0;
  stats.Done = true;
  return true;
}
