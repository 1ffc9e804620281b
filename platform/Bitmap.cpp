#include "platform/Bitmap.h"

#include <limits>
#include <new>

int BytesPerPixel(TPixelFormat Format) {
  switch (Format) {
    case TPixelFormat::pf8bit:
      return 1;
    case TPixelFormat::pf24bit:
      return 3;
    case TPixelFormat::pfDevice:
    case TPixelFormat::pf32bit:
      return 4;
  }
  return 4;
}

void TBitmap::SetWidth(int Width) {
  FWidth = Width < 0 ? 0 : Width;
  Reallocate();
}

void TBitmap::SetHeight(int Height) {
  FHeight = Height < 0 ? 0 : Height;
  Reallocate();
}

void TBitmap::SetPixelFormat(TPixelFormat Format) {
  FFormat = Format;
  Reallocate();
}

void TBitmap::Reallocate() {
  const std::int64_t rowBytes = std::int64_t(FWidth) * BytesPerPixel(FFormat);
  const std::int64_t stride = (rowBytes + 3) / 4 * 4;
  if (stride > std::numeric_limits<int>::max()) throw std::bad_alloc();
  FStride = int(stride);
  std::vector<std::uint8_t> fresh(std::size_t(stride) * std::size_t(FHeight), 0);
  Pixels.swap(fresh);
}
