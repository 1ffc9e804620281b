#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Pixel formats a bitmap can take. Only pf24bit is what the projector shows.
enum class TPixelFormat { pfDevice, pf8bit, pf24bit, pf32bit };

// Bytes one pixel takes in the given format (pfDevice is stored as 32-bit).
int BytesPerPixel(TPixelFormat Format);

class TBitmap;

// Told when a bitmap's pixel memory moves and when the bitmap goes away, so that
// whoever keeps pointers into that memory takes them again or drops them.
class TBitmapWatcher {
 public:
  virtual void BitmapReshaped(TBitmap& Bitmap) = 0;
  virtual void BitmapDestroyed(TBitmap& Bitmap) = 0;

 protected:
  ~TBitmapWatcher() = default;
};

// A device-independent bitmap that owns its pixel memory. Rows are stored top
// down, each padded to a multiple of 4 bytes; a 24-bit pixel is blue, green, red.
// Changing the size or the format reallocates the memory, zero-filled, and tells
// the watchers.
class TBitmap {
 public:
  TBitmap() = default;
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  // Watcher is told of every reshape and of the end until it is removed.
  void AddWatcher(TBitmapWatcher* Watcher);
  void RemoveWatcher(TBitmapWatcher* Watcher);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  TPixelFormat PixelFormat() const { return FFormat; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // Negative sizes are taken as 0. Throws std::bad_alloc when the memory cannot be had;
  // the bitmap then keeps its shape and memory.
  void SetWidth(int Width);
  void SetHeight(int Height);
  void SetPixelFormat(TPixelFormat Format);

  int BytesPerLine() const { return FStride; }
  // Start of pixel row Row, row 0 at the top. Row must lie in 0..Height()-1.
  std::uint8_t* ScanLine(int Row) { return Pixels.data() + std::size_t(Row) * FStride; }
  const std::uint8_t* ScanLine(int Row) const {
    return Pixels.data() + std::size_t(Row) * FStride;
  }
  // The whole pixel memory, Height() * BytesPerLine() bytes.
  std::uint8_t* Bits() { return Pixels.data(); }
  const std::uint8_t* Bits() const { return Pixels.data(); }

 private:
  void Reshape(int Width, int Height, TPixelFormat Format);

  int FWidth = 0;
  int FHeight = 0;
  int FStride = 0;
  TPixelFormat FFormat = TPixelFormat::pfDevice;
  std::vector<std::uint8_t> Pixels;
  std::vector<TBitmapWatcher*> FWatchers;
};
