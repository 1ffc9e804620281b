#include "sdk/sim/SimJpegPadding.h"

#include <algorithm>

QByteArray SimPadJpeg(const QByteArray& Jpeg, std::int64_t Target, const QByteArray& Tag) {
  if (Jpeg.size() < 4) return Jpeg;
  QByteArray segments;
  segments.reserve(qsizetype(std::max<std::int64_t>(Target - Jpeg.size(), 0) + Tag.size() + 8));
  auto add = [&](qsizetype Payload, const QByteArray* Text) {
    segments.append("\xFF\xFE", 2);
    const std::uint16_t length = std::uint16_t(Payload + 2);
    segments.append(char(length >> 8));
    segments.append(char(length & 0xFF));
    if (Text)
      segments.append(*Text);
    else
      segments.append(Payload, '\0');
  };
  if (!Tag.isEmpty()) add(Tag.size(), &Tag);
  std::int64_t room = Target - Jpeg.size() - segments.size();
  while (room >= 4) {
    std::int64_t payload = std::min<std::int64_t>(65533, room - 4);
    const std::int64_t rest = room - 4 - payload;
    // A remainder of 1 to 3 bytes could not hold a segment: leave room for one more.
    if (rest > 0 && rest < 4) payload -= 4;
    add(qsizetype(payload), nullptr);
    room -= payload + 4;
  }
  return Jpeg.left(2) + segments + Jpeg.mid(2);
}
