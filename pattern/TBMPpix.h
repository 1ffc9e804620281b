#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Bitmap.h"

// A colour value is 0x00RRGGBB in a std::uint32_t; bits 24-31 are ignored when
// written. ColourTriple is the same colour as stored in a structure and in a
// 24-bit pixel: blue, green, red.
struct ColourTriple {
  std::uint8_t Blue = 0;
  std::uint8_t Green = 0;
  std::uint8_t Red = 0;

  static constexpr ColourTriple FromValue(std::uint32_t Colour) {
    return {std::uint8_t(Colour), std::uint8_t(Colour >> 8), std::uint8_t(Colour >> 16)};
  }
  constexpr std::uint32_t Value() const {
    return std::uint32_t(Red) << 16 | std::uint32_t(Green) << 8 | Blue;
  }
  friend constexpr bool operator==(ColourTriple, ColourTriple) = default;
};
static_assert(sizeof(ColourTriple) == 3);

// Writes single pixels straight into a 24-bit bitmap's memory and silently
// refuses what does not fit, so callers may draw over the bitmap's edges.
// The bitmap tells the writer when it is reshaped (the row starts are taken
// again) and when it goes away (every write is refused from then on).
class TBitmapPixMan : private TBitmapWatcher {
 public:
  explicit TBitmapPixMan(TBitmap& Bitmap) { Attach(Bitmap); }
  static std::unique_ptr<TBitmapPixMan> Create(TBitmap& Bitmap) {
    return std::make_unique<TBitmapPixMan>(Bitmap);
  }
  ~TBitmapPixMan();

  TBitmapPixMan(const TBitmapPixMan&) = delete;
  TBitmapPixMan& operator=(const TBitmapPixMan&) = delete;

  // Binds the writer to Bitmap and takes the start of each of its rows.
  void Attach(TBitmap& Bitmap);

  // True when the pixel was written; a refused write changes nothing. Inline:
  // every pixel of every pattern comes through here.
  bool PutPixel(int Row, int Column, std::uint32_t Colour) {
    if (!RowInRange(Row)) return false;
    if (!ColumnInRange(Column)) return false;
    if (!FWritable) return false;
    std::uint8_t* const pixel = FRowStarts[std::size_t(Row)] + 3 * std::size_t(Column);
    pixel[0] = std::uint8_t(Colour);
    pixel[1] = std::uint8_t(Colour >> 8);
    pixel[2] = std::uint8_t(Colour >> 16);
    return true;
  }

  bool RowInRange(int Row) const { return InRange(Row, FHeight - 1); }
  bool ColumnInRange(int Column) const { return InRange(Column, FWidth - 1); }
  static bool InRange(int Value, int Last) { return Value >= 0 && Value <= Last; }

  // The bitmap written to, null once it is gone; not owned.
  TBitmap* Bitmap() const { return FBitmap; }
  // Start of each pixel row of the bitmap as it is now, row 0 at the top.
  const std::vector<std::uint8_t*>& RowStarts() const { return FRowStarts; }

 private:
  void BitmapReshaped(TBitmap& Bitmap) override;
  void BitmapDestroyed(TBitmap& Bitmap) override;
  // Takes the bitmap's shape and row starts; a writer without a bitmap has no rows.
  void Refresh();

  TBitmap* FBitmap = nullptr;
  // The bitmap's shape, kept here so that the per-pixel checks read one object.
  int FWidth = 0;
  int FHeight = 0;
  bool FWritable = false;
  std::vector<std::uint8_t*> FRowStarts;
};
