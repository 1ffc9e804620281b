#pragma once

// What each pixel of the simulated camera sees, worked out once per scene and
// reused for every photo of it: where the projector's light on that point comes
// from, how much of it the surface sends back, and how much of the room's light.

#include <cstdint>
#include <memory>
#include <vector>

#include "sdk/sim/SimGeometry.h"

struct TSimProjection {
  int FrameWidth = 0, FrameHeight = 0, Width = 0, Height = 0;
  double Zoom = 1;
  TSimStage Stage;
  // Where in the frame (RGB888, padded with a one-pixel black border) the light at
  // each of a grid of places comes from: the byte offset of the top-left of its
  // 2 x 2 bilinear neighbourhood and the weights of the right and lower neighbours
  // in 1/256 (offset 0 with zero weights: the border, no light).
  struct TSpots {
    std::vector<std::uint32_t> Offset;
    std::vector<std::uint8_t> WeightX, WeightY;
  };
  // At each pixel's centre, row by row; and at the pixels' corners, (Width + 1) x
  // (Height + 1) of them from the top-left pixel's top-left corner. A pixel gathers
  // the light over its area, after the lens has spread it: half at its centre, an
  // eighth at each corner. So the light's place within a pixel shows in the photo
  // as a real sensor shows it, without the steps that sampling only at the centres
  // leaves (up to 0.03 px in a spot's centroid, whatever the blur after it).
  TSpots Centres, Corners;
  // Per pixel: the level that the projector's full light adds there (0: none
  // reaches it), the room's level, and 1 where the pixel's corners are lit on its
  // centre's surface, so that it gathers their light; a pixel that an object's rim
  // or a shadow's edge crosses takes its centre's light alone.
  std::vector<std::uint8_t> Gain, Ambient, Gathers;
  // Per corner while the projection is made: the surface it lies on when lit, else 0.
  std::vector<std::uint8_t> CornerSurface;
};

// The projection of Width x Height photos of FrameWidth x FrameHeight frames; the
// last two asked for are kept.
std::shared_ptr<const TSimProjection> SimProjectionFor(int FrameWidth, int FrameHeight, int Width,
                                                       int Height, double Zoom,
                                                       const TSimStage& Stage);
