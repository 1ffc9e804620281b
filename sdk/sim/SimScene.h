#pragma once

// The simulated camera's photo under the rig's harder conditions (TSimOptics),
// and what the rig knows of every point in it: where it lands and whether the
// light there lets it be read.

#include <QImage>
#include <QPointF>
#include <atomic>
#include <cstdint>
#include <vector>

#include "sdk/sim/SimConfig.h"

// The photo of shot Shot (1 = the first) of projector frame Frame: the default
// rendering (sdk/sim/SimRender.h) seen through Optics. Null when *Cancel turns true.
QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot,
                     const std::atomic<bool>* Cancel = nullptr);

// Where projector point (X, Y) of a FrameWidth x FrameHeight frame lands in the
// photo of a shot before any nudge.
QPointF SimPhotoPoint(int FrameWidth, int FrameHeight, int Width, int Height,
                      const TSimOptics& Optics, double X, double Y);

// One projected square as the rig sees it in the photo.
struct TSimPointTruth {
  enum class TView { Inside, Edge, Outside };
  // Inside: the square and the blur around it lie wholly in the photo; Outside:
  // its middle lies outside; Edge: the photo's edge cuts it.
  TView View = TView::Outside;
  // Inside, and by the light the rig renders: the square's own light at its middle
  // (lit minus what its lit neighbours and the room leave there) is at least five
  // noise deviations, and the level halfway to its next neighbour lies below its
  // own by three deviations and a quarter of its light above the dark field.
  bool Readable = false;
  QPointF Centre;
};

// The truth for squares of side Size whose top-left projector pixels are TopLefts,
// on a raster of Spacing projector pixels.
std::vector<TSimPointTruth> SimPointTruth(int FrameWidth, int FrameHeight, int Width, int Height,
                                          const TSimOptics& Optics,
                                          const std::vector<QPointF>& TopLefts, int Size,
                                          int Spacing);
