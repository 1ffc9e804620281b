#include "pattern/Mat_gen.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

TMatGen* MatGen = nullptr;

namespace {

constexpr std::int64_t IntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t IntMax = std::numeric_limits<std::int32_t>::max();

// The requested count while the last point's edge lies at Extent - 2 or further
// in, otherwise the whole spacings between Offset and the bitmap's edge. In 64
// bits, so a request whose product overflows 32 bits shrinks like any other.
std::int32_t FittedCount(std::int32_t Requested, std::int32_t Offset, std::int32_t Spacing,
                         std::int32_t Extent) {
  if ((std::int64_t(Requested) - 1) * Spacing + Offset < std::int64_t(Extent) - 1) return Requested;
  const double whole = std::trunc(double(std::int64_t(Extent) - Offset) / double(Spacing));
  // Only a negative extent reaches below the 32-bit range, where every count acts alike.
  return std::int32_t(std::max(whole, double(IntMin)));
}

}  // namespace

TMatGen::TMatGen(TImageData& Image) : FBitmapWidth(Image.Width()), FBitmapHeight(Image.Height()) {
  if (Image.Picture().Bitmap().Empty()) Image.Picture().SetBitmap(std::make_unique<TBitmap>());
  TBitmap& bitmap = Image.Picture().Bitmap();
  bitmap.SetPixelFormat(TPixelFormat::pf24bit);
  bitmap.SetWidth(FBitmapWidth);
  bitmap.SetHeight(FBitmapHeight);
  FPixelWriter = TBitmapPixMan::Create(bitmap);
  FillField(0);
}

std::unique_ptr<TMatGen> TMatGen::Create(TImageData& Image) {
  return std::make_unique<TMatGen>(Image);
}

void TMatGen::SetGeometry(std::int32_t OffsetX, std::int32_t OffsetY, std::int32_t Rows,
                          std::int32_t Columns, std::int32_t Size, std::int32_t Spacing,
                          std::uint32_t Background, std::uint32_t PointColour) {
  // A spacing below 1 has no raster: no size lies below it and the counts divide by it.
  if (Spacing < 1) throw std::range_error("Point spacing below 1");
  const bool offsetsFit =
      OffsetX > 0 && OffsetY > 0 && OffsetX < FBitmapWidth && OffsetY < FBitmapHeight;
  const std::int32_t offsetX = offsetsFit ? OffsetX : 10;
  const std::int32_t offsetY = offsetsFit ? OffsetY : 10;
  const std::int32_t columns = FittedCount(Columns, offsetX, Spacing, FBitmapWidth);
  const std::int32_t rows = FittedCount(Rows, offsetY, Spacing, FBitmapHeight);
  // Built before anything changes: a table that cannot be built leaves the raster in force.
  std::unique_ptr<CodeMan> table = CodeMan::Create(rows, columns);
  FOffsetX = offsetX;
  FOffsetY = offsetY;
  FSpacing = Spacing;
  const std::int64_t size = Spacing > Size ? Size : std::int64_t(Spacing) - 1;
  FPointSize = std::uint8_t(size);  // the low 8 bits
  FColumnCount = columns;
  FRowCount = rows;
  FBackgroundColour = ColourTriple::FromValue(Background);
  FPointColour = ColourTriple::FromValue(PointColour);
  FCodeTable = std::move(table);
  PlacePoints();
}

void TMatGen::PlacePoints() {
  if (!FCodeTable) return;
  // The fitted counts keep every position inside the bitmap, so no sum overflows.
  for (std::int32_t r = 0; r < FRowCount; ++r)
    for (std::int32_t c = 0; c < FColumnCount; ++c) {
      PointRecord& point = FCodeTable->Points[std::size_t(r)][std::size_t(c)];
      point.Y = r * FSpacing + FOffsetY;
      point.X = c * FSpacing + FOffsetX;
    }
}

void TMatGen::FillField(std::uint8_t Which) {
  const std::uint32_t colour = (Which == 1 ? FPointColour : FBackgroundColour).Value();
  TBitmapPixMan& writer = *FPixelWriter;
  const std::int32_t width = FBitmapWidth;
  const std::int32_t height = FBitmapHeight;
  // Row by row: the same pixels as column by column, but in memory order.
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x) writer.PutPixel(y, x, colour);
}

void TMatGen::DrawAllPoints() {
  FillField(0);
  DrawLitPoints([](const PointRecord&) { return true; });
}

void TMatGen::DrawPlane(std::int32_t K) {
  if (K < 1 || K > 14) return;
  FillField(0);
  DrawLitPoints([K](const PointRecord& Point) { return Point.Code.At(K) == '1'; });
}

template <class TLit>
void TMatGen::DrawLitPoints(TLit Lit) {
  if (!FCodeTable) return;
  const std::uint32_t colour = FPointColour.Value();
  const std::int32_t rows = FRowCount;
  const std::int32_t columns = FColumnCount;
  for (std::int32_t r = 0; r < rows; ++r)
    for (std::int32_t c = 0; c < columns; ++c) {
      const PointRecord& point = FCodeTable->Points[std::size_t(r)][std::size_t(c)];
      if (Lit(point)) DrawSquare(point.Y, point.X, colour);
    }
}

bool TMatGen::NextPlane() {
  FPlaneCounter = std::uint8_t(FPlaneCounter + 1);
  if (FPlaneCounter > 14) return false;
  DrawPlane(FPlaneCounter);
  return true;
}

void TMatGen::DrawSquare(std::int32_t Y, std::int32_t X, std::uint32_t Colour) {
  TBitmapPixMan& writer = *FPixelWriter;
  // Rows and columns past the largest int lie outside any bitmap.
  const std::int32_t rows = std::int32_t(std::min<std::int64_t>(FPointSize, IntMax - Y + 1));
  const std::int32_t columns = std::int32_t(std::min<std::int64_t>(FPointSize, IntMax - X + 1));
  for (std::int32_t i = 0; i < rows; ++i)
    for (std::int32_t j = 0; j < columns; ++j) writer.PutPixel(Y + i, X + j, Colour);
}
