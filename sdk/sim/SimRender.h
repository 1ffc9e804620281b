#pragma once

#include <QByteArray>
#include <QImage>
#include <atomic>
#include <cstdint>

#include "sdk/sim/SimGeometry.h"

// What the simulated camera sees of projector frame Frame (a null frame: the
// projector throws no light) on Stage, as a Width x Height RGB888 picture: each
// camera pixel's ray meets the scene (sdk/sim/SimGeometry.h), lit by the
// projector pixel that sees that point (sampled between pixels: the projector's
// defocus) and by the room, shaded by the surface's angle and print; then
// optical blur and sensor noise drawn from Seed. Zoom scales the camera's focal
// lengths. The same Frame, Stage and Seed give the same picture. Gives a null
// image when *Cancel turns true midway.
QImage SimRenderScene(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                      const TSimStage& Stage = {}, double Zoom = 1,
                      const std::atomic<bool>* Cancel = nullptr);

// The projector's frame when it throws none: the projection window's size.
constexpr int SimFrameWidth = 1016;
constexpr int SimFrameHeight = 734;

// A 32-bit integer hash whose every output bit depends on every input bit: the
// noise of the simulated sensor, drawn afresh per seed.
inline std::uint32_t SimHash(std::uint32_t X) {
  X ^= X >> 16;
  X *= 0x7feb352dU;
  X ^= X >> 15;
  X *= 0x846ca68bU;
  X ^= X >> 16;
  return X;
}

// The picture as a camera's JPEG file (quality 90); empty when encoding fails.
QByteArray SimEncodeJpeg(const QImage& Picture);

// Light levels of the scene, 0..255, before noise: what a white surface reflects of
// the room at the top and bottom rows, and the level that the projector's full light
// adds on a white surface where it is brightest.
constexpr int SimAmbientTop = 14;
constexpr int SimAmbientBottom = 24;
constexpr int SimLitGain = 200;
