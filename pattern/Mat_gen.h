#pragma once

#include <cstdint>
#include <memory>

#include "pattern/Code_man.h"
#include "pattern/TBMPpix.h"
#include "platform/Image.h"

// The raster of square light points and the painter of every scan pattern into
// the projection bitmap. It only writes pixels; repainting is the caller's job.
// It is the one holder of the raster in force: the settings dialog, the
// remembered choices and the scan check read it here.
//
// Every field is read through a getter of its name; only SetGeometry changes the
// raster, so RowCount and ColumnCount never exceed the present code table and,
// with no code table, no point is drawn.
class TMatGen {
 public:
  // Makes Image's picture a 24-bit bitmap of Image's size, painted black.
  explicit TMatGen(TImageData& Image);
  static std::unique_ptr<TMatGen> Create(TImageData& Image);

  TMatGen(const TMatGen&) = delete;
  TMatGen& operator=(const TMatGen&) = delete;

  // Stores a new geometry, corrected to fit the bitmap, and rebuilds the code
  // table; draws nothing. Colours are 0x00RRGGBB. Counts are worked out in 64 bits,
  // so a request whose product would overflow 32 bits shrinks to the bitmap.
  // Throws std::range_error for a Spacing below 1 and, like std::bad_alloc, when
  // the table cannot be built (a negative count); the raster in force then stays
  // as it was, table and all, and goes on being drawn.
  void SetGeometry(std::int32_t OffsetX, std::int32_t OffsetY, std::int32_t Rows,
                   std::int32_t Columns, std::int32_t Size, std::int32_t Spacing,
                   std::uint32_t Background, std::uint32_t PointColour);

  // 1: every pixel in PointColour; 0 and any other value: BackgroundColour.
  void FillField(std::uint8_t Which);
  void DrawAllPoints();
  // Bit-plane K (1..14): the points whose code has '1' at K. Any other K draws nothing.
  void DrawPlane(std::int32_t K);
  void ResetPlanes() { FPlaneCounter = 0; }
  // Draws the plane after the last one; false, drawing nothing, once past plane 14.
  bool NextPlane();
  // One point's square, PointSize pixels wide; what lies outside the bitmap is skipped.
  void DrawSquare(std::int32_t Y, std::int32_t X, std::uint32_t Colour);
  // Writes Y and X of every point.
  void PlacePoints();

  std::int32_t OffsetX() const { return FOffsetX; }
  std::int32_t OffsetY() const { return FOffsetY; }
  std::int32_t RowCount() const { return FRowCount; }
  std::int32_t ColumnCount() const { return FColumnCount; }
  std::uint8_t PointSize() const { return FPointSize; }
  std::int32_t Spacing() const { return FSpacing; }
  ColourTriple BackgroundColour() const { return FBackgroundColour; }
  ColourTriple PointColour() const { return FPointColour; }
  std::int32_t BitmapWidth() const { return FBitmapWidth; }
  std::int32_t BitmapHeight() const { return FBitmapHeight; }
  TBitmapPixMan& PixelWriter() const { return *FPixelWriter; }
  // Null until the first successful SetGeometry.
  const CodeMan* CodeTable() const { return FCodeTable.get(); }
  std::uint8_t PlaneCounter() const { return FPlaneCounter; }

 private:
  // Squares of the points that Lit picks, row by row, over what the bitmap shows.
  template <class TLit>
  void DrawLitPoints(TLit Lit);
  std::int32_t FOffsetX = 0;
  std::int32_t FOffsetY = 0;
  std::int32_t FRowCount = 0;
  std::int32_t FColumnCount = 0;
  std::uint8_t FPointSize = 0;
  std::int32_t FSpacing = 0;
  ColourTriple FBackgroundColour;
  ColourTriple FPointColour;
  std::int32_t FBitmapWidth = 0;
  std::int32_t FBitmapHeight = 0;
  std::unique_ptr<TBitmapPixMan> FPixelWriter;
  std::unique_ptr<CodeMan> FCodeTable;
  std::uint8_t FPlaneCounter = 0;
};

// The one raster generator, set by the projection window; null before and after its life.
extern TMatGen* MatGen;
