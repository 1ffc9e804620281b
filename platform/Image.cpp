#include "platform/Image.h"

TBitmap& TPicture::Bitmap() {
  if (!FBitmap) FBitmap = std::make_unique<TBitmap>();
  return *FBitmap;
}

void TPicture::SetBitmap(std::unique_ptr<TBitmap> Bitmap) { FBitmap = std::move(Bitmap); }
