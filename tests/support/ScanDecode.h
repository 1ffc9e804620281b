#pragma once

// Reads every point's number back from the photos of a whole scan of the
// default raster (80 x 120 points), taken through the simulated rig's lens
// model (the rig itself or the PTP/IP camera emulator).

#include <QImage>
#include <string>
#include <vector>

struct TScanDecode {
  int Points = 0;    // points looked for
  int NotFound = 0;  // not lit in the all-points photo
  int Wrong = 0;     // read as another number
  std::string FirstWrong;
  int Decoded() const { return Points - NotFound - Wrong; }
};

// Photos in capture order: dark field, lit field, all points, 14 bit-planes.
TScanDecode DecodeScan(const std::vector<QImage>& Photos);
