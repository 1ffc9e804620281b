#include "platform/LocalTime.h"

#include <ctime>

namespace {

std::string FormatNow(const char* Format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[128];
  const std::size_t length = std::strftime(text, sizeof text, Format, &local);
  return std::string(text, length);
}

}  // namespace

std::string LongTimeString() { return FormatNow("%X"); }

std::string ShortDateString() { return FormatNow("%x"); }
