#pragma once

#include <QByteArray>
#include <QImage>
#include <atomic>
#include <cstdint>

// What the simulated camera sees of projector frame Frame (a null frame: the
// projector throws no light), as a Width x Height RGB888 picture: the frame
// through the rig's mapping (sdk/sim/SimMapping.h), optical blur, ambient light
// and sensor noise drawn from Seed. The same Frame and Seed give the same
// picture. Gives a null image when *Cancel turns true midway.
QImage SimRenderScene(const QImage& Frame, int Width, int Height, std::uint32_t Seed,
                      const std::atomic<bool>* Cancel = nullptr);

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

// Light levels of the scene, 0..255, before noise: what the dark target reflects of
// the room at the top and bottom rows, and the level a fully lit white pixel adds.
constexpr int SimAmbientTop = 14;
constexpr int SimAmbientBottom = 24;
constexpr int SimLitGain = 200;
