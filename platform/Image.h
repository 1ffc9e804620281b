#pragma once

#include <memory>

#include "platform/Bitmap.h"

// What an image control shows: it holds one bitmap, created on first use.
class TPicture {
 public:
  TBitmap& Bitmap();
  // Puts Bitmap in place of the one held; the old one is released.
  void SetBitmap(std::unique_ptr<TBitmap> Bitmap);

 private:
  std::unique_ptr<TBitmap> FBitmap;
};

// The data side of an image control: its size in pixels and its picture.
// The widget that paints it lives with the windows; the pattern code sees only this.
class TImageData {
 public:
  TImageData(int Width, int Height) : FWidth(Width), FHeight(Height) {}

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  void SetSize(int Width, int Height) {
    FWidth = Width;
    FHeight = Height;
  }
  TPicture& Picture() { return FPicture; }

 private:
  int FWidth;
  int FHeight;
  TPicture FPicture;
};
