#include "pattern/TBMPpix.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/Image.h"

namespace {

void Shape(TBitmap& Bitmap, TPixelFormat Format, int Width, int Height) {
  Bitmap.SetPixelFormat(Format);
  Bitmap.SetWidth(Width);
  Bitmap.SetHeight(Height);
}

std::vector<std::uint8_t> Memory(const TBitmap& Bitmap) {
  return {Bitmap.Bits(), Bitmap.Bits() + std::size_t(Bitmap.Height()) * Bitmap.BytesPerLine()};
}

std::vector<std::uint8_t> PixelBytes(const TBitmap& Bitmap, int Row, int Column) {
  const std::uint8_t* pixel = Bitmap.ScanLine(Row) + 3 * Column;
  return {pixel[0], pixel[1], pixel[2]};
}

using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST(ColourTriple, IsTheLowThreeBytesBlueFirst) {
  const ColourTriple triple = ColourTriple::FromValue(0xAB123456);
  EXPECT_EQ(triple.Blue, 0x56);
  EXPECT_EQ(triple.Green, 0x34);
  EXPECT_EQ(triple.Red, 0x12);
  EXPECT_EQ(triple.Value(), 0x123456u);
}

TEST(TBitmapPixMan, WritesBlueGreenRedAtTheRowAndColumn) {
  TBitmap bitmap;
  Shape(bitmap, TPixelFormat::pf24bit, 7, 5);  // stride 24: rows are padded
  TBitmapPixMan writer(bitmap);
  ASSERT_EQ(writer.RowStarts().size(), 5u);
  EXPECT_EQ(writer.RowStarts()[4], bitmap.ScanLine(4));

  EXPECT_TRUE(writer.PutPixel(2, 3, 0x00FF00));
  EXPECT_EQ(PixelBytes(bitmap, 2, 3), (Bytes{0x00, 0xFF, 0x00}));
  EXPECT_TRUE(writer.PutPixel(4, 6, 0x123456));
  EXPECT_EQ(PixelBytes(bitmap, 4, 6), (Bytes{0x56, 0x34, 0x12}));

  // Exactly the three bytes of the pixel change.
  Bytes expected = Memory(bitmap);
  EXPECT_TRUE(writer.PutPixel(1, 1, 0xFF123456));  // the high byte is ignored
  expected[1 * 24 + 3] = 0x56;
  expected[1 * 24 + 4] = 0x34;
  expected[1 * 24 + 5] = 0x12;
  EXPECT_EQ(Memory(bitmap), expected);
}

TEST(TBitmapPixMan, CornersAreWrittenAndOnePastEachEdgeIsRefused) {
  const int width = 9, height = 4;
  TBitmap bitmap;
  Shape(bitmap, TPixelFormat::pf24bit, width, height);
  auto writer = TBitmapPixMan::Create(bitmap);
  for (auto [row, column] :
       {std::pair{0, 0}, {0, width - 1}, {height - 1, 0}, {height - 1, width - 1}})
    EXPECT_TRUE(writer->PutPixel(row, column, 0xFFFFFF)) << row << "," << column;
  EXPECT_EQ(PixelBytes(bitmap, height - 1, width - 1), (Bytes{0xFF, 0xFF, 0xFF}));

  const Bytes before = Memory(bitmap);
  for (auto [row, column] : {std::pair{height, 0},
                             {0, width},
                             {-1, 0},
                             {0, -1},
                             {INT32_MIN, 0},
                             {0, INT32_MAX},
                             {INT32_MAX, INT32_MIN}})
    EXPECT_FALSE(writer->PutPixel(row, column, 0xABCDEF)) << row << "," << column;
  EXPECT_EQ(Memory(bitmap), before);

  EXPECT_TRUE(writer->RowInRange(height - 1));
  EXPECT_FALSE(writer->RowInRange(height));
  EXPECT_TRUE(writer->ColumnInRange(0));
  EXPECT_FALSE(writer->ColumnInRange(width));
  EXPECT_TRUE(TBitmapPixMan::InRange(5, 5));
  EXPECT_FALSE(TBitmapPixMan::InRange(-1, 5));
  EXPECT_FALSE(TBitmapPixMan::InRange(0, -1));
}

TEST(TBitmapPixMan, OtherFormatsAreNeverWritten) {
  for (TPixelFormat format :
       {TPixelFormat::pf8bit, TPixelFormat::pf32bit, TPixelFormat::pfDevice}) {
    TBitmap bitmap;
    Shape(bitmap, format, 6, 3);
    TBitmapPixMan writer(bitmap);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 6; ++c) EXPECT_FALSE(writer.PutPixel(r, c, 0xFFFFFF));
    EXPECT_EQ(Memory(bitmap), Bytes(std::size_t(3 * bitmap.BytesPerLine()), 0));
  }
}

TEST(TBitmapPixMan, HeightZeroHasNoRowsAndRefusesEverything) {
  TBitmap bitmap;
  Shape(bitmap, TPixelFormat::pf24bit, 10, 0);
  TBitmapPixMan writer(bitmap);
  EXPECT_TRUE(writer.RowStarts().empty());
  EXPECT_FALSE(writer.PutPixel(0, 0, 0xFFFFFF));
  EXPECT_FALSE(writer.PutPixel(-1, 0, 0xFFFFFF));
}

TEST(TBitmapPixMan, AttachMovesToAnotherBitmap) {
  TBitmap small, large;
  Shape(small, TPixelFormat::pf24bit, 2, 2);
  Shape(large, TPixelFormat::pf24bit, 40, 30);
  TBitmapPixMan writer(small);
  EXPECT_FALSE(writer.PutPixel(29, 39, 0x0000FF));
  writer.Attach(large);
  EXPECT_EQ(writer.Bitmap(), &large);
  EXPECT_EQ(writer.RowStarts().size(), 30u);
  EXPECT_TRUE(writer.PutPixel(29, 39, 0x0000FF));
  EXPECT_EQ(PixelBytes(large, 29, 39), (Bytes{0xFF, 0x00, 0x00}));
  EXPECT_EQ(Memory(small), Bytes(std::size_t(2 * small.BytesPerLine()), 0));
}

TEST(TBitmapPixMan, FollowsTheBitmapThroughReshapesAndRefusesOnceItIsGone) {
  TPicture picture;
  TBitmap& first = picture.Bitmap();
  Shape(first, TPixelFormat::pf24bit, 3, 2);
  TBitmapPixMan writer(first);

  // Each reshape moves the memory: the writes land in the new one.
  first.SetWidth(40);
  first.SetHeight(30);
  ASSERT_EQ(writer.RowStarts().size(), 30u);
  EXPECT_EQ(writer.RowStarts()[29], first.ScanLine(29));
  EXPECT_TRUE(writer.PutPixel(29, 39, 0x0000FF));
  EXPECT_EQ(PixelBytes(first, 29, 39), (Bytes{0xFF, 0x00, 0x00}));
  first.SetPixelFormat(TPixelFormat::pf32bit);
  EXPECT_FALSE(writer.PutPixel(0, 0, 0xFFFFFF));
  EXPECT_EQ(Memory(first), Bytes(std::size_t(30 * first.BytesPerLine()), 0));
  first.SetPixelFormat(TPixelFormat::pf24bit);
  EXPECT_TRUE(writer.PutPixel(1, 2, 0x00FF00));
  EXPECT_EQ(PixelBytes(first, 1, 2), (Bytes{0x00, 0xFF, 0x00}));

  // A replaced bitmap is freed; its successor is not the writer's to paint.
  auto second = std::make_unique<TBitmap>();
  Shape(*second, TPixelFormat::pf24bit, 40, 30);
  const TBitmap& successor = *second;
  picture.SetBitmap(std::move(second));
  EXPECT_EQ(writer.Bitmap(), nullptr);
  EXPECT_FALSE(writer.PutPixel(1, 2, 0xFFFFFF));
  EXPECT_EQ(Memory(successor), Bytes(std::size_t(30 * successor.BytesPerLine()), 0));
  writer.Attach(picture.Bitmap());
  EXPECT_TRUE(writer.PutPixel(1, 2, 0xFFFFFF));
}
