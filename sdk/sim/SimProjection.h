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
  // Per camera pixel, row by row: the byte offset of the top-left of its 2 x 2
  // bilinear neighbourhood in the frame (RGB888) padded with a one-pixel black
  // border, the weights of the right and lower neighbours in 1/256, the level that
  // the projector's full light adds there (0: none reaches it) and the room's level.
  std::vector<std::uint32_t> Offset;
  std::vector<std::uint8_t> WeightX, WeightY, Gain, Ambient;
};

// The projection of Width x Height photos of FrameWidth x FrameHeight frames; the
// last two asked for are kept.
std::shared_ptr<const TSimProjection> SimProjectionFor(int FrameWidth, int FrameHeight, int Width,
                                                       int Height, double Zoom,
                                                       const TSimStage& Stage);
