#include "platform/Bitmap.h"

#include <algorithm>
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

TBitmap::~TBitmap() {
  // A copy: a watcher may remove itself when told.
  const std::vector<TBitmapWatcher*> watchers = FWatchers;
  for (TBitmapWatcher* watcher : watchers) watcher->BitmapDestroyed(*this);
}

void TBitmap::AddWatcher(TBitmapWatcher* Watcher) {
  if (std::find(FWatchers.begin(), FWatchers.end(), Watcher) == FWatchers.end())
    FWatchers.push_back(Watcher);
}

void TBitmap::RemoveWatcher(TBitmapWatcher* Watcher) {
  FWatchers.erase(std::remove(FWatchers.begin(), FWatchers.end(), Watcher), FWatchers.end());
}

void TBitmap::SetWidth(int Width) { Reshape(Width < 0 ? 0 : Width, FHeight, FFormat); }

void TBitmap::SetHeight(int Height) { Reshape(FWidth, Height < 0 ? 0 : Height, FFormat); }

void TBitmap::SetPixelFormat(TPixelFormat Format) { Reshape(FWidth, FHeight, Format); }

void TBitmap::Reshape(int Width, int Height, TPixelFormat Format) {
  const std::int64_t rowBytes = std::int64_t(Width) * BytesPerPixel(Format);
  const std::int64_t stride = (rowBytes + 3) / 4 * 4;
  if (stride > std::numeric_limits<int>::max()) throw std::bad_alloc();
  std::vector<std::uint8_t> fresh(std::size_t(stride) * std::size_t(Height), 0);
  Pixels.swap(fresh);
  FWidth = Width;
  FHeight = Height;
  FFormat = Format;
  FStride = int(stride);
  const std::vector<TBitmapWatcher*> watchers = FWatchers;
  for (TBitmapWatcher* watcher : watchers) watcher->BitmapReshaped(*this);
}
