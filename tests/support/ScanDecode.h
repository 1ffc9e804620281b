#pragma once

#include <QImage>
#include <QSize>
#include <string>
#include <vector>

// The raster a scan projected, in projector pixels, as the raster generator
// placed it: point (r, c) covers Size x Size pixels from
// (OffsetX + c * Spacing, OffsetY + r * Spacing); its number is r * Columns + c + 1.
struct TScanRaster {
  int OffsetX = 10;
  int OffsetY = 10;
  int Rows = 0;
  int Columns = 0;
  int Size = 3;
  int Spacing = 8;
};

struct TScanDecoding {
  int Points = 0;    // points looked for
  int NotFound = 0;  // not lit in the all-points photo
  int Wrong = 0;     // read as another number
  // "point N read as M" for the first wrong point; empty when none.
  std::string FirstWrong;
  int Decoded() const { return Points - NotFound - Wrong; }
};

// Reads every point's number back from the 17 photographs of a scan, in
// capture order (dark field, lit field, all points, bit-planes 1 to 14), taken
// by the simulated camera of a projector frame ProjectorWidth x ProjectorHeight.
TScanDecoding DecodeScan(const std::vector<QImage>& Photos, const TScanRaster& Raster,
                         int ProjectorWidth, int ProjectorHeight);

// The same for the start-up raster (80 x 120 points) on the projection window.
TScanDecoding DecodeScan(const std::vector<QImage>& Photos);

// The checks every whole scan of the start-up raster passes, as GoogleTest
// failures: the index in Dir lists 17 photos, each decodes as a JPEG (of
// PhotoSize when one is given), and together they spell out every point's number. Returns the
// names the index lists, in its order; none when the index is unreadable.
std::vector<std::string> ExpectWholeScan(const std::string& Dir, QSize PhotoSize = {});
