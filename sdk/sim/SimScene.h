#pragma once

// The simulated camera's photo under the rig's harder conditions (TSimOptics),
// on the scene it looks at (TSimStage).

#include <QImage>
#include <QPointF>
#include <atomic>
#include <cstdint>

#include "sdk/sim/SimConfig.h"
#include "sdk/sim/SimGeometry.h"

// The photo of shot Shot (1 = the first) of projector frame Frame: the default
// rendering (sdk/sim/SimRender.h) seen through Optics. Null when *Cancel turns true.
QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot, const TSimStage& Stage,
                     const std::atomic<bool>* Cancel = nullptr);
// The same on the wall.
QImage SimPhotograph(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                     const TSimOptics& Optics, unsigned Shot,
                     const std::atomic<bool>* Cancel = nullptr);

// The rig's geometry for Width x Height photos of FrameWidth x FrameHeight frames.
TSimGeometry SimGeometryOf(int FrameWidth, int FrameHeight, int Width, int Height,
                           const TSimOptics& Optics, const TSimStage& Stage = {});

// Where projector point (X, Y) of a FrameWidth x FrameHeight frame lands in the
// photo of a shot before any nudge, on the first surface its light meets, seen or
// not; NaN where it meets none. Here pixel (c, r) covers [c, c+1) x [r, r+1) in the
// frame and in the photo.
QPointF SimPhotoPoint(int FrameWidth, int FrameHeight, int Width, int Height,
                      const TSimOptics& Optics, double X, double Y, const TSimStage& Stage = {});
