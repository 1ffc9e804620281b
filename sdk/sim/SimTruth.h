#pragma once

// What the simulated rig knows of every projected point: where it lands on the
// scene and in the photo, whether the camera sees it whole, and whether the
// light there lets it be read.

#include <QImage>
#include <QPointF>
#include <optional>
#include <vector>

#include "sdk/sim/SimConfig.h"
#include "sdk/sim/SimGeometry.h"

// One projected square as the rig sees it in the photo.
struct TSimPointTruth {
  // Inside: the square lies on one surface, lit and seen whole, and it and the
  // blur around it lie in the photo. Edge: the photo's edge cuts it. Outside: its
  // middle lies outside the photo. Shadow: an object's rim cuts its light, part
  // of which goes on past the rim to a surface behind. Hidden: the camera does not
  // see all of it (a nearer surface stands before it, or it faces away).
  enum class TView { Inside, Edge, Outside, Shadow, Hidden };
  TView View = TView::Outside;
  // Inside, and by the light the rig renders: the square's own light at its middle
  // (lit minus what the lit squares around it and the room leave there) is at least
  // five noise deviations, and the level halfway to each next square in the photo
  // lies below its own by three deviations and a quarter of its light above the
  // dark field.
  bool Readable = false;
  // Inside: the level at its middle above the room's light, every square lit (its own
  // light and what blur carries over from its neighbours), in grey levels.
  double Light = 0;
  // Where the square's middle lands in the photo; pixel (c, r) covers
  // [c, c+1) x [r, r+1). NaN where its light meets no surface.
  QPointF Centre;
  // The same point on the surface, camera frame, mm.
  TSimVec Surface{0, 0, 0};
  // Roughly where each part of its light that the camera sees lies in the photo, one
  // part per surface; one part at Centre for a square seen whole.
  std::vector<QPointF> Parts;
  // The square's light falls on both grey and white print.
  bool AcrossPrint = false;
};
// "inside", "edge", "outside", "shadow", "hidden".
const char* SimViewName(TSimPointTruth::TView View);

// The truth for squares of side Size whose top-left projector pixels are TopLefts,
// on a raster of Spacing projector pixels, in Width x Height photos of
// FrameWidth x FrameHeight frames.
std::vector<TSimPointTruth> SimPointTruth(int FrameWidth, int FrameHeight, int Width, int Height,
                                          const TSimOptics& Optics,
                                          const std::vector<QPointF>& TopLefts, int Size,
                                          int Spacing, const TSimStage& Stage = {});

// A raster of squares as the projector throws it: point (r, c) covers Size x Size
// pixels from (OffsetX + c * Spacing, OffsetY + r * Spacing); its number is
// r * Columns + c + 1.
struct TSimRaster {
  int OffsetX = 0, OffsetY = 0, Rows = 0, Columns = 0, Size = 0, Spacing = 0;
  std::vector<QPointF> TopLefts() const;
};
// The raster that Frame shows when it lights every point of one; none when its
// lit pixels are not such a raster.
std::optional<TSimRaster> SimRasterOf(const QImage& Frame);
