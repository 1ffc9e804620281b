#include "pattern/TBMPpix.h"

void TBitmapPixMan::Attach(TBitmap& Bitmap) {
  FBitmap = &Bitmap;
  FRowStarts.resize(std::size_t(Bitmap.Height()));
  for (int r = 0; r < Bitmap.Height(); ++r) FRowStarts[std::size_t(r)] = Bitmap.ScanLine(r);
}
