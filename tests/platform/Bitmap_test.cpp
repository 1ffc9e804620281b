#include "platform/Bitmap.h"

#include <gtest/gtest.h>

#include "platform/Image.h"

TEST(Bitmap, RowsArePaddedToFourBytesAndZeroed) {
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::pf24bit);
  bitmap.SetWidth(5);
  bitmap.SetHeight(3);
  EXPECT_EQ(bitmap.BytesPerLine(), 16);  // 15 bytes of pixels, padded
  EXPECT_EQ(bitmap.ScanLine(2) - bitmap.ScanLine(0), 32);
  for (int r = 0; r < 3; ++r)
    for (int i = 0; i < 16; ++i) EXPECT_EQ(bitmap.ScanLine(r)[i], 0);
}

TEST(Bitmap, FormatsAndEmptiness) {
  TBitmap bitmap;
  EXPECT_TRUE(bitmap.Empty());
  bitmap.SetWidth(4);
  EXPECT_TRUE(bitmap.Empty());  // height still 0
  bitmap.SetHeight(-7);
  EXPECT_EQ(bitmap.Height(), 0);
  bitmap.SetHeight(2);
  bitmap.SetPixelFormat(TPixelFormat::pf8bit);
  EXPECT_FALSE(bitmap.Empty());
  EXPECT_EQ(bitmap.BytesPerLine(), 4);
  bitmap.SetPixelFormat(TPixelFormat::pf32bit);
  EXPECT_EQ(bitmap.BytesPerLine(), 16);
}

TEST(Picture, HoldsABitmapOnFirstUseAndTakesAnother) {
  TImageData image(1016, 734);
  EXPECT_EQ(image.Width(), 1016);
  EXPECT_EQ(image.Height(), 734);
  TBitmap& first = image.Picture().Bitmap();
  EXPECT_TRUE(first.Empty());
  EXPECT_EQ(&image.Picture().Bitmap(), &first);
  auto replacement = std::make_unique<TBitmap>();
  TBitmap* raw = replacement.get();
  image.Picture().SetBitmap(std::move(replacement));
  EXPECT_EQ(&image.Picture().Bitmap(), raw);
}
