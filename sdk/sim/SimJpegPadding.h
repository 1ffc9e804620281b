#pragma once

#include <QByteArray>
#include <cstdint>

// Inserts comment segments after the start-of-image marker until the file has
// Target bytes (or a few less), the first one holding Tag: still a valid JPEG
// that decodes to the same picture. How the emulated cameras give their photos
// the size of a real camera's without rendering that many pixels.
QByteArray SimPadJpeg(const QByteArray& Jpeg, std::int64_t Target, const QByteArray& Tag);
