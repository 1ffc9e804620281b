#include "pattern/TBMPpix.h"

TBitmapPixMan::~TBitmapPixMan() {
  if (FBitmap) FBitmap->RemoveWatcher(this);
}

void TBitmapPixMan::Attach(TBitmap& Bitmap) {
  if (FBitmap) FBitmap->RemoveWatcher(this);
  FBitmap = &Bitmap;
  Bitmap.AddWatcher(this);
  Refresh();
}

void TBitmapPixMan::BitmapReshaped(TBitmap&) { Refresh(); }

void TBitmapPixMan::BitmapDestroyed(TBitmap&) {
  FBitmap = nullptr;
  Refresh();
}

void TBitmapPixMan::Refresh() {
  FWidth = FBitmap ? FBitmap->Width() : 0;
  FHeight = FBitmap ? FBitmap->Height() : 0;
  FWritable = FBitmap && FBitmap->PixelFormat() == TPixelFormat::pf24bit;
  FRowStarts.resize(std::size_t(FHeight));
  for (int r = 0; r < FHeight; ++r) FRowStarts[std::size_t(r)] = FBitmap->ScanLine(r);
}
