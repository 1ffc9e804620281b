#include <algorithm>

#include "sdk/ptpip/PtpIpState.h"

namespace PtpIpDetail {

void Put16(QByteArray& B, std::uint16_t V) {
  const char b[2] = {char(V & 0xFF), char(V >> 8)};
  B.append(b, 2);
}
void Put32(QByteArray& B, std::uint32_t V) {
  Put16(B, std::uint16_t(V & 0xFFFF));
  Put16(B, std::uint16_t(V >> 16));
}
void Put64(QByteArray& B, std::uint64_t V) {
  Put32(B, std::uint32_t(V & 0xFFFFFFFFu));
  Put32(B, std::uint32_t(V >> 32));
}
void PutString(QByteArray& B, const QString& S) {
  if (S.isEmpty()) {
    B.append('\0');
    return;
  }
  const QString s = S.left(254);
  B.append(char(s.size() + 1));
  for (QChar c : s) Put16(B, c.unicode());
  Put16(B, 0);
}
void PutArray16(QByteArray& B, const std::vector<std::uint16_t>& V) {
  Put32(B, std::uint32_t(V.size()));
  for (std::uint16_t v : V) Put16(B, v);
}
std::uint32_t Get32(const QByteArray& B, qsizetype At) {
  if (At + 4 > B.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(B.constData() + At);
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::uint16_t Get16(const QByteArray& B, qsizetype At) {
  if (At + 2 > B.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(B.constData() + At);
  return std::uint16_t(p[0] | p[1] << 8);
}

QString Hex(std::uint32_t V) { return QStringLiteral("0x%1").arg(V, 4, 16, QLatin1Char('0')); }

}  // namespace PtpIpDetail
