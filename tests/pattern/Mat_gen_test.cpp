#include "pattern/Mat_gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::uint32_t Black = 0x000000;
constexpr std::uint32_t Green = 0x00FF00;

using Picture = std::vector<std::uint32_t>;

Picture Uniform(const TMatGen& Gen, ColourTriple Colour) {
  return Picture(std::size_t(Gen.BitmapWidth()) * std::size_t(Gen.BitmapHeight()), Colour.Value());
}

// A generator over an image, with the bitmap read back as 0x00RRGGBB values.
// Buffers are reused: fresh 3 MB pictures per check would dominate the run time.
struct Rig {
  explicit Rig(int Width = 1016, int Height = 734) : Image(Width, Height) {}

  TBitmap& Bitmap() { return Image.Picture().Bitmap(); }
  std::uint32_t Pixel(int Row, int Column) {
    const std::uint8_t* p = Bitmap().ScanLine(Row) + 3 * Column;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
  Picture Snapshot() {
    Picture picture(std::size_t(Bitmap().Width()) * std::size_t(Bitmap().Height()));
    std::size_t i = 0;
    for (int y = 0; y < Bitmap().Height(); ++y) {
      const std::uint8_t* p = Bitmap().ScanLine(y);
      for (const std::uint8_t* end = p + 3 * Bitmap().Width(); p != end; p += 3)
        picture[i++] = std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    }
    return picture;
  }
  testing::AssertionResult Shows(const Picture& Wanted) {
    const int width = Bitmap().Width(), height = Bitmap().Height();
    if (Wanted.size() != std::size_t(width) * std::size_t(height))
      return testing::AssertionFailure() << "picture of " << Wanted.size() << " pixels";
    std::size_t wrong = 0, first = 0, i = 0;
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* p = Bitmap().ScanLine(y);
      for (const std::uint8_t* end = p + 3 * width; p != end; p += 3, ++i)
        if ((std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0]) != Wanted[i] &&
            wrong++ == 0)
          first = i;
    }
    if (wrong == 0) return testing::AssertionSuccess();
    const int row = int(first / width), column = int(first % width);
    return testing::AssertionFailure()
           << wrong << " pixels differ, first at row " << row << " column " << column << ": "
           << std::hex << Pixel(row, column) << " instead of " << Wanted[first];
  }

  // The picture a pattern should give, worked out from the raster's fields alone.
  // Plane 0 stands for all points.
  const Picture& Expected(int Plane) {
    const TMatGen& gen = *Gen;
    const std::int64_t width = gen.BitmapWidth(), height = gen.BitmapHeight();
    Wanted.assign(std::size_t(width * height), gen.BackgroundColour().Value());
    if (!gen.CodeTable()) return Wanted;
    for (std::int64_t r = 0; r < gen.RowCount(); ++r)
      for (std::int64_t c = 0; c < gen.ColumnCount(); ++c) {
        const std::int64_t index = r * gen.ColumnCount() + c + 1;
        if (Plane != 0 && (index >= 16384 || ((index >> (14 - Plane)) & 1) == 0)) continue;
        const std::int64_t top = gen.OffsetY() + r * gen.Spacing();
        const std::int64_t left = gen.OffsetX() + c * gen.Spacing();
        for (std::int64_t y = std::max<std::int64_t>(top, 0);
             y < std::min(top + gen.PointSize(), height); ++y)
          for (std::int64_t x = std::max<std::int64_t>(left, 0);
               x < std::min(left + gen.PointSize(), width); ++x)
            Wanted[std::size_t(y * width + x)] = gen.PointColour().Value();
      }
    return Wanted;
  }

  void StartUp() { Gen->SetGeometry(10, 10, 80, 120, 3, 8, Black, Green); }

  TImageData Image;
  std::unique_ptr<TMatGen> Gen = TMatGen::Create(Image);
  Picture Wanted;
};

// What SetGeometry may change, field by field.
std::vector<std::int64_t> RasterOf(const TMatGen& Gen) {
  return {Gen.OffsetX(),
          Gen.OffsetY(),
          Gen.RowCount(),
          Gen.ColumnCount(),
          Gen.PointSize(),
          Gen.Spacing(),
          Gen.BackgroundColour().Value(),
          Gen.PointColour().Value(),
          std::int64_t(reinterpret_cast<std::uintptr_t>(Gen.CodeTable()))};
}

// What must hold after any SetGeometry, successful or not.
void ExpectSoundRaster(const TMatGen& Gen) {
  const CodeMan* table = Gen.CodeTable();
  if (!table) return;
  EXPECT_GE(Gen.Spacing(), 1);
  EXPECT_EQ(table->RowCount, Gen.RowCount());
  EXPECT_EQ(table->ColumnCount, Gen.ColumnCount());
  if (Gen.RowCount() <= 0 || Gen.ColumnCount() <= 0) return;
  ASSERT_GE(std::int64_t(table->Points.size()), Gen.RowCount());
  for (std::int32_t r = 0; r < Gen.RowCount(); ++r) {
    ASSERT_GE(std::int64_t(table->Points[r].size()), Gen.ColumnCount());
    for (std::int32_t c = 0; c < Gen.ColumnCount(); ++c) {
      const PointRecord& point = table->Points[r][c];
      ASSERT_EQ(point.Y, Gen.OffsetY() + std::int64_t(r) * Gen.Spacing());
      ASSERT_EQ(point.X, Gen.OffsetX() + std::int64_t(c) * Gen.Spacing());
      // Fitted counts keep every point's corner on the bitmap.
      ASSERT_TRUE(point.Y >= 0 && point.Y < Gen.BitmapHeight()) << point.Y;
      ASSERT_TRUE(point.X >= 0 && point.X < Gen.BitmapWidth()) << point.X;
    }
  }
}

}  // namespace

TEST(TMatGen, CreateMakesABlack24BitBitmapOfTheImageSize) {
  TImageData image(1016, 734);
  TBitmap& held = image.Picture().Bitmap();
  held.SetPixelFormat(TPixelFormat::pf8bit);
  held.SetWidth(3);
  held.SetHeight(3);
  held.Bits()[0] = 0xFF;
  auto gen = TMatGen::Create(image);
  EXPECT_EQ(&image.Picture().Bitmap(), &held);  // a bitmap that holds pixels is kept
  EXPECT_EQ(held.PixelFormat(), TPixelFormat::pf24bit);
  EXPECT_EQ(held.Width(), 1016);
  EXPECT_EQ(held.Height(), 734);
  EXPECT_EQ(gen->BitmapWidth(), 1016);
  EXPECT_EQ(gen->BitmapHeight(), 734);
  EXPECT_EQ(gen->PixelWriter().Bitmap(), &held);
  EXPECT_EQ(gen->CodeTable(), nullptr);
  EXPECT_EQ(gen->PlaneCounter(), 0);
  const std::uint8_t* bits = held.Bits();
  EXPECT_TRUE(std::all_of(bits, bits + 734 * held.BytesPerLine(), [](auto b) { return b == 0; }));
  // Before any geometry the point patterns show the background only.
  gen->DrawAllPoints();
  EXPECT_TRUE(std::all_of(bits, bits + 734 * held.BytesPerLine(), [](auto b) { return b == 0; }));
}

TEST(TMatGen, AnImageWithoutPixelsHasRoomForNoPoint) {
  for (auto [width, height] : {std::pair{0, 0}, {1016, 0}, {0, 734}, {-5, 3}}) {
    TImageData image(width, height);
    auto gen = TMatGen::Create(image);
    try {
      gen->SetGeometry(10, 10, 80, 120, 3, 8, Black, Green);
    } catch (const std::range_error&) {
      EXPECT_EQ(gen->CodeTable(), nullptr);
    }
    ExpectSoundRaster(*gen);
    EXPECT_TRUE(gen->RowCount() <= 0 || gen->ColumnCount() <= 0) << width << " x " << height;
    // Any stray write here is caught by the sanitizer build.
    gen->FillField(1);
    gen->DrawAllPoints();
    gen->DrawPlane(14);
    EXPECT_TRUE(image.Picture().Bitmap().Empty());
  }
}

TEST(TMatGen, StartUpRaster) {
  Rig rig;
  rig.StartUp();
  const TMatGen& gen = *rig.Gen;
  EXPECT_EQ(gen.OffsetX(), 10);
  EXPECT_EQ(gen.OffsetY(), 10);
  EXPECT_EQ(gen.RowCount(), 80);
  EXPECT_EQ(gen.ColumnCount(), 120);
  EXPECT_EQ(gen.PointSize(), 3);
  EXPECT_EQ(gen.Spacing(), 8);
  EXPECT_EQ(gen.BackgroundColour(), ColourTriple::FromValue(Black));
  EXPECT_EQ(gen.PointColour(), (ColourTriple{0x00, 0xFF, 0x00}));
  ASSERT_NE(gen.CodeTable(), nullptr);
  ExpectSoundRaster(gen);
  const PointRecord& last = gen.CodeTable()->Points[79][119];
  EXPECT_EQ(last.Index, 9600);
  EXPECT_EQ(last.Code, "10010110000000");
  EXPECT_EQ(last.Y, 642);
  EXPECT_EQ(last.X, 962);

  rig.Gen->DrawAllPoints();
  for (int y = 8; y <= 14; ++y)
    for (int x = 8; x <= 14; ++x) {
      const bool inFirstSquare = y >= 10 && y <= 12 && x >= 10 && x <= 12;
      EXPECT_EQ(rig.Pixel(y, x), inFirstSquare ? Green : Black) << y << "," << x;
    }
  EXPECT_TRUE(rig.Shows(rig.Expected(0)));
}

TEST(TMatGen, CountsShrinkToTheBitmap) {
  Rig rig;
  auto columnsFor = [&](int Columns) {
    rig.Gen->SetGeometry(10, 10, 80, Columns, 3, 8, Black, Green);
    ExpectSoundRaster(*rig.Gen);
    return rig.Gen->ColumnCount();
  };
  EXPECT_EQ(columnsFor(126), 126);
  EXPECT_EQ(columnsFor(127), 125);
  EXPECT_EQ(columnsFor(200), 125);
  EXPECT_EQ(columnsFor(INT32_MAX), 125);  // the product needs more than 32 bits

  rig.Gen->SetGeometry(10, 10, 100, 120, 3, 8, Black, Green);
  EXPECT_EQ(rig.Gen->RowCount(), 90);
  rig.Gen->SetGeometry(10, 10, INT32_MAX, INT32_MAX, 3, INT32_MAX, Black, Green);
  EXPECT_EQ(rig.Gen->RowCount(), 0);  // (734 - 10) / INT32_MAX
  EXPECT_EQ(rig.Gen->ColumnCount(), 0);
  rig.Gen->SetGeometry(10, 10, 1, 1, 3, INT32_MAX, Black, Green);
  EXPECT_EQ(rig.Gen->RowCount(), 1);  // a single point needs no spacing
  EXPECT_EQ(rig.Gen->ColumnCount(), 1);
  ExpectSoundRaster(*rig.Gen);
}

TEST(TMatGen, OffsetsOffTheBitmapFallBackToTen) {
  Rig rig;
  auto offsetsFor = [&](int OffsetX, int OffsetY) {
    rig.Gen->SetGeometry(OffsetX, OffsetY, 80, 120, 3, 8, Black, Green);
    return std::pair{rig.Gen->OffsetX(), rig.Gen->OffsetY()};
  };
  EXPECT_EQ(offsetsFor(0, 50), std::pair(10, 10));
  EXPECT_EQ(offsetsFor(50, 0), std::pair(10, 10));
  EXPECT_EQ(offsetsFor(1016, 50), std::pair(10, 10));
  EXPECT_EQ(offsetsFor(50, 734), std::pair(10, 10));
  EXPECT_EQ(offsetsFor(-5, INT32_MIN), std::pair(10, 10));
  EXPECT_EQ(offsetsFor(20, 30), std::pair(20, 30));
  EXPECT_EQ(offsetsFor(1015, 733), std::pair(1015, 733));
  EXPECT_EQ(rig.Gen->RowCount(), 0);  // 1 / 8, truncated
  EXPECT_EQ(rig.Gen->ColumnCount(), 0);
}

TEST(TMatGen, PointSizeStaysBelowTheSpacing) {
  Rig rig;
  auto sizeFor = [&](int Size, int Spacing) {
    rig.Gen->SetGeometry(10, 10, 80, 120, Size, Spacing, Black, Green);
    return int(rig.Gen->PointSize());
  };
  EXPECT_EQ(sizeFor(7, 8), 7);
  EXPECT_EQ(sizeFor(8, 8), 7);
  EXPECT_EQ(sizeFor(100, 8), 7);
  EXPECT_EQ(sizeFor(300, 400), 44);  // the low 8 bits
  EXPECT_EQ(sizeFor(3, 1), 0);
  rig.Gen->DrawAllPoints();
  EXPECT_TRUE(rig.Shows(Uniform(*rig.Gen, rig.Gen->BackgroundColour())));
}

TEST(TMatGen, FillFieldPaintsOneColourEverywhere) {
  Rig rig;
  rig.Gen->SetGeometry(10, 10, 80, 120, 3, 8, 0xFF102030, 0x00A0B0C0);
  EXPECT_EQ(rig.Gen->BackgroundColour(), (ColourTriple{0x30, 0x20, 0x10}));
  const Picture background = Uniform(*rig.Gen, ColourTriple::FromValue(0x102030));
  const Picture lit = Uniform(*rig.Gen, ColourTriple::FromValue(0xA0B0C0));
  rig.Gen->FillField(1);
  EXPECT_TRUE(rig.Shows(lit));
  rig.Gen->FillField(0);
  EXPECT_TRUE(rig.Shows(background));
  rig.Gen->FillField(1);
  rig.Gen->FillField(2);
  EXPECT_TRUE(rig.Shows(background));
  rig.Gen->FillField(1);
  rig.Gen->FillField(255);
  EXPECT_TRUE(rig.Shows(background));
}

TEST(TMatGen, PlanesOutsideOneToFourteenLeaveTheBitmapAlone) {
  Rig rig;
  rig.StartUp();
  rig.Gen->FillField(1);
  const Picture lit = rig.Snapshot();
  for (int k : {0, 15, -1, 255, INT32_MIN, INT32_MAX}) {
    rig.Gen->DrawPlane(k);
    EXPECT_TRUE(rig.Shows(lit)) << k;
  }
  EXPECT_EQ(rig.Gen->PlaneCounter(), 0);
}

TEST(TMatGen, StartUpPlanesOneAndFourteen) {
  Rig rig;
  rig.StartUp();
  const CodeMan& table = *rig.Gen->CodeTable();
  rig.Gen->DrawPlane(1);
  EXPECT_TRUE(rig.Shows(rig.Expected(1)));
  for (const auto& row : table.Points)
    for (const PointRecord& point : row)
      ASSERT_EQ(rig.Pixel(point.Y, point.X), point.Index >= 8192 ? Green : Black) << point.Index;
  EXPECT_EQ(table.Points[68][31].Index, 8192);

  rig.Gen->DrawPlane(14);
  EXPECT_TRUE(rig.Shows(rig.Expected(14)));
  for (const auto& row : table.Points)
    for (const PointRecord& point : row)
      ASSERT_EQ(rig.Pixel(point.Y + 2, point.X + 2), point.Index % 2 ? Green : Black)
          << point.Index;
  EXPECT_EQ(rig.Gen->PlaneCounter(), 0);
}

TEST(TMatGen, NextPlaneWalksFourteenPlanesThenStops) {
  Rig rig;
  rig.StartUp();
  rig.Gen->NextPlane();
  rig.Gen->ResetPlanes();
  EXPECT_EQ(rig.Gen->PlaneCounter(), 0);
  for (int k = 1; k <= 14; ++k) {
    ASSERT_TRUE(rig.Gen->NextPlane()) << k;
    EXPECT_EQ(rig.Gen->PlaneCounter(), k);
    if (k == 1 || k == 7 || k == 14) {
      EXPECT_TRUE(rig.Shows(rig.Expected(k)));
    }
  }
  const Picture plane14 = rig.Snapshot();
  EXPECT_FALSE(rig.Gen->NextPlane());
  EXPECT_EQ(rig.Gen->PlaneCounter(), 15);
  EXPECT_FALSE(rig.Gen->NextPlane());
  EXPECT_EQ(rig.Gen->PlaneCounter(), 16);
  EXPECT_TRUE(rig.Shows(plane14));
}

namespace {

// Paints planes 1 to 14 and reads every point's number back from its squares.
void ExpectRoundTrip(Rig& R, int Rows, int Columns) {
  const TMatGen& gen = *R.Gen;
  ASSERT_EQ(gen.RowCount(), Rows);
  ASSERT_EQ(gen.ColumnCount(), Columns);
  const CodeMan& table = *gen.CodeTable();
  const std::uint32_t lit = gen.PointColour().Value();
  std::vector<int> read(std::size_t(Rows * Columns), 0);
  R.Gen->ResetPlanes();
  for (int k = 1; k <= 14; ++k) {
    ASSERT_TRUE(R.Gen->NextPlane());
    for (int r = 0; r < Rows; ++r)
      for (int c = 0; c < Columns; ++c) {
        const PointRecord& point = table.Points[r][c];
        if (R.Pixel(point.Y + gen.PointSize() / 2, point.X + gen.PointSize() / 2) == lit)
          read[std::size_t(r * Columns + c)] |= 1 << (14 - k);
      }
  }
  for (int i = 0; i < Rows * Columns; ++i) ASSERT_EQ(read[std::size_t(i)], (i + 1) % 16384) << i;
}

}  // namespace

TEST(TMatGen, BitPlanesSpellEveryStartUpPoint) {
  Rig rig;
  rig.StartUp();
  ExpectRoundTrip(rig, 80, 120);
}

TEST(TMatGen, BitPlanesSpellA16384PointRaster) {
  Rig rig;
  rig.Gen->SetGeometry(20, 20, 128, 128, 3, 5, 0x202020, 0xFFFFFF);
  ExpectRoundTrip(rig, 128, 128);
  // The last point has no '1' in its code: it lights in no plane, but in all points.
  const PointRecord& last = rig.Gen->CodeTable()->Points[127][127];
  EXPECT_EQ(last.Index, 16384);
  rig.Gen->DrawAllPoints();
  EXPECT_EQ(rig.Pixel(last.Y, last.X), 0xFFFFFFu);
  EXPECT_TRUE(rig.Shows(rig.Expected(0)));
}

TEST(TMatGen, SquaresAreClippedOnlyAtTheBitmapEdges) {
  Rig rig;
  rig.Gen->SetGeometry(1012, 730, 1, 1, 7, 8, Black, Green);
  ASSERT_EQ(rig.Gen->RowCount(), 1);
  ASSERT_EQ(rig.Gen->ColumnCount(), 1);
  rig.Gen->DrawAllPoints();
  Picture wanted = Uniform(*rig.Gen, ColourTriple::FromValue(Black));
  for (int y = 730; y < 734; ++y)
    for (int x = 1012; x < 1016; ++x) wanted[std::size_t(y * 1016 + x)] = Green;
  EXPECT_TRUE(rig.Shows(wanted));

  rig.Gen->FillField(0);
  rig.Gen->DrawSquare(-3, -5, Green);
  for (auto [y, x] : {std::pair{INT32_MAX, INT32_MAX},
                      {INT32_MIN, INT32_MIN},
                      {INT32_MAX - 3, 0},
                      {0, INT32_MAX - 1},
                      {-7, 1016}})
    rig.Gen->DrawSquare(y, x, Green);
  wanted = Uniform(*rig.Gen, ColourTriple::FromValue(Black));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 2; ++x) wanted[std::size_t(y * 1016 + x)] = Green;
  EXPECT_TRUE(rig.Shows(wanted));
}

TEST(TMatGen, ARefusedGeometryLeavesTheRasterInForce) {
  Rig rig;
  rig.StartUp();
  const std::vector<std::int64_t> startUp = RasterOf(*rig.Gen);
  const std::int32_t refused[][6] = {{20, 30, 5, -3, 4, 9},    {20, 30, -1, 5, 4, 9},
                                     {20, 30, 5, 5, 4, 0},     {10, 10, 80, 120, 3, -1},
                                     {10, 10, 80, 120, 3, -8}, {10, 10, 80, 120, 3, INT32_MIN}};
  for (const auto& input : refused) {
    SCOPED_TRACE(testing::Message()
                 << "rows " << input[2] << ", columns " << input[3] << ", spacing " << input[5]);
    EXPECT_THROW(rig.Gen->SetGeometry(input[0], input[1], input[2], input[3], input[4], input[5],
                                      0x0000FF, 0xFF0000),
                 std::range_error);
    EXPECT_EQ(RasterOf(*rig.Gen), startUp);
    // Every pattern of a scan still shows the start-up raster.
    rig.Gen->DrawAllPoints();
    EXPECT_TRUE(rig.Shows(rig.Expected(0)));
    rig.Gen->ResetPlanes();
    EXPECT_TRUE(rig.Gen->NextPlane());
    EXPECT_TRUE(rig.Shows(rig.Expected(1)));
  }
  EXPECT_EQ(rig.Gen->CodeTable()->Points[79][119].Index, 9600);
}

TEST(TMatGen, ZeroCountsDrawOnlyTheBackground) {
  Rig rig;
  rig.Gen->SetGeometry(10, 10, 0, -7, 3, 8, Black, Green);  // no rows: any column count
  ASSERT_NE(rig.Gen->CodeTable(), nullptr);
  ExpectSoundRaster(*rig.Gen);
  rig.Gen->DrawAllPoints();
  EXPECT_TRUE(rig.Shows(Uniform(*rig.Gen, ColourTriple{})));
  rig.Gen->SetGeometry(10, 10, 80, 0, 3, 8, Black, Green);
  rig.Gen->DrawPlane(14);
  EXPECT_TRUE(rig.Shows(Uniform(*rig.Gen, ColourTriple{})));
}

namespace {

// Around every boundary the rules test, and the ends of the range.
const std::int32_t Extremes[] = {INT32_MIN, -2147483647, -1000000,   -256,     -255, -2,  -1,  0,
                                 1,         2,           3,          7,        8,    9,   10,  47,
                                 48,        63,          64,         255,      256,  733, 734, 1015,
                                 1016,      65536,       2147483646, INT32_MAX};
// The ones that matter on the 1016 x 734 bitmap.
const std::int32_t ProjectionExtremes[] = {INT32_MIN, -1, 0, 1, 733, 734, 1015, 1016, INT32_MAX};

// Squares drawn by a point pattern; large ones are costly under the sanitizers.
std::int64_t SquarePixels(const TMatGen& Gen) {
  if (!Gen.CodeTable() || Gen.RowCount() <= 0 || Gen.ColumnCount() <= 0) return 0;
  return std::int64_t(Gen.RowCount()) * Gen.ColumnCount() * Gen.PointSize() * Gen.PointSize();
}

// SetGeometry with any input, then all points and bit-plane Plane (none for 0);
// reports whether points were drawn, and in Refused whether the input was refused.
bool ExpectSoundPatterns(Rig& R, const std::int32_t (&Input)[6], std::uint32_t Background,
                         std::uint32_t Point, int Plane, bool* Refused = nullptr) {
  const std::vector<std::int64_t> before = RasterOf(*R.Gen);
  bool refused = false;
  try {
    R.Gen->SetGeometry(Input[0], Input[1], Input[2], Input[3], Input[4], Input[5], Background,
                       Point);
  } catch (const std::range_error&) {
    refused = true;
    EXPECT_EQ(RasterOf(*R.Gen), before);
  }
  if (Refused != nullptr) *Refused = refused;
  const TMatGen& gen = *R.Gen;
  ExpectSoundRaster(gen);
  if (SquarePixels(gen) > 400000) return false;
  R.Gen->DrawAllPoints();
  EXPECT_TRUE(R.Shows(R.Expected(0)));
  if (Plane != 0) {
    R.Gen->DrawPlane(Plane);
    EXPECT_TRUE(R.Shows(R.Expected(Plane)));
  }
  return SquarePixels(gen) > 0;
}

}  // namespace

TEST(TMatGen, AnyGeometryKeepsTheRasterSound) {
  Rig rig(64, 48);
  std::mt19937 random(20240611);
  auto pick = [&]() -> std::int32_t {
    switch (random() % 4) {
      case 0:
        return Extremes[random() % std::size(Extremes)];
      case 1:
        return std::int32_t(random());
      default:
        return std::int32_t(random() % 101) - 20;
    }
  };
  int drawn = 0, refused = 0;
  for (int i = 0; i < 2000 && !HasFailure(); ++i) {
    const std::int32_t input[6] = {pick(), pick(), pick(), pick(), pick(), pick()};
    const int plane = 1 + int(random() % 14);
    SCOPED_TRACE(testing::Message() << input[0] << " " << input[1] << " " << input[2] << " "
                                    << input[3] << " " << input[4] << " " << input[5]);
    bool wasRefused = false;
    drawn += ExpectSoundPatterns(rig, input, random(), random(), plane, &wasRefused);
    refused += wasRefused;
  }
  // The inputs reach both outcomes often enough to mean something.
  EXPECT_GT(drawn, 100);
  EXPECT_GT(refused, 200);
}

TEST(TMatGen, ExtremeValuesOnTheProjectionBitmap) {
  Rig rig;
  const std::int32_t startUp[6] = {10, 10, 80, 120, 3, 8};
  for (int field = 0; field < 6; ++field)
    for (std::int32_t value : ProjectionExtremes) {
      std::int32_t input[6];
      std::copy(std::begin(startUp), std::end(startUp), input);
      input[field] = value;
      SCOPED_TRACE(testing::Message() << "field " << field << " = " << value);
      ExpectSoundPatterns(rig, input, 0x000000, 0x00FF00, 0);  // planes: on the small bitmap
      if (HasFailure()) return;
    }
}
