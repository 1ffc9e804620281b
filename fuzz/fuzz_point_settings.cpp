// Types the input into the twelve fields of the raster settings dialog and
// presses "Použít", on the offscreen platform, then checks what the raster
// generator holds against the dialog's documented conversion.
//
// Input: text lines separated by '\n' fill LabeledEdit1 to LabeledEdit12 in
// order; missing lines leave their field empty. A non-empty thirteenth line
// selects the full projection bitmap instead of a small one.

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/Pdef.h"
#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Widgets.h"
#include "session/Koordinator.h"

namespace {

constexpr int FieldCount = 12;
// Small enough to paint every input, large enough for the fallback offsets of 10.
constexpr int SmallWidth = 67;
constexpr int SmallHeight = 45;

[[noreturn]] void Fail(const std::string& What, const std::vector<std::string>& Texts) {
  std::fprintf(stderr, "fuzz_point_settings: %s\n", What.c_str());
  for (std::size_t i = 0; i < Texts.size(); ++i)
    std::fprintf(stderr, "  LabeledEdit%zu = \"%s\"\n", i + 1, Texts[i].c_str());
  std::abort();
}

// The notation the dialog documents: blanks (space, tab) around an optional sign
// and at least one decimal digit, within the signed 32-bit range.
std::optional<std::int32_t> ParseField(const std::string& Text) {
  std::size_t begin = 0;
  std::size_t end = Text.size();
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (begin < end && blank(Text[begin])) ++begin;
  while (end > begin && blank(Text[end - 1])) --end;
  bool negative = false;
  if (begin < end && (Text[begin] == '+' || Text[begin] == '-')) negative = Text[begin++] == '-';
  if (begin == end) return std::nullopt;
  std::int64_t magnitude = 0;
  for (; begin < end; ++begin) {
    if (Text[begin] < '0' || Text[begin] > '9') return std::nullopt;
    magnitude = magnitude * 10 + (Text[begin] - '0');
    if (magnitude > std::int64_t(INT32_MAX) + 1) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return std::nullopt;
  return std::int32_t(value);
}

std::uint32_t Colour(std::int32_t Red, std::int32_t Green, std::int32_t Blue) {
  return (std::uint32_t(Red) & 0xFF) << 16 | (std::uint32_t(Green) & 0xFF) << 8 |
         (std::uint32_t(Blue) & 0xFF);
}

struct TRaster {
  std::int32_t OffsetX, OffsetY, RowCount, ColumnCount;
  std::uint8_t PointSize;
  std::int32_t Spacing;
  std::uint32_t Background, PointColour;
  bool HasTable;

  static TRaster Of(const TMatGen& Generator) {
    return {Generator.OffsetX(),
            Generator.OffsetY(),
            Generator.RowCount(),
            Generator.ColumnCount(),
            Generator.PointSize(),
            Generator.Spacing(),
            Generator.BackgroundColour().Value(),
            Generator.PointColour().Value(),
            Generator.CodeTable() != nullptr};
  }
  friend bool operator==(const TRaster&, const TRaster&) = default;
};

std::vector<std::uint8_t> Pixels(TImageData& Image) {
  const TBitmap& bitmap = Image.Picture().Bitmap();
  const std::uint8_t* bits = bitmap.Bits();
  return {bits, bits + std::size_t(bitmap.BytesPerLine()) * std::size_t(bitmap.Height())};
}

bool OnlyBackground(TImageData& Image, const TMatGen& Generator) {
  const TBitmap& bitmap = Image.Picture().Bitmap();
  const ColourTriple background = Generator.BackgroundColour();
  for (int y = 0; y < bitmap.Height(); ++y) {
    const std::uint8_t* pixel = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x, pixel += 3)
      if (pixel[0] != background.Blue || pixel[1] != background.Green || pixel[2] != background.Red)
        return false;
  }
  return true;
}

// A generator as the dialog sees it, and a twin given the same values directly.
struct TRasterPair {
  TImageData* Image = nullptr;
  std::unique_ptr<TMatGen> Generator;
  std::unique_ptr<TImageData> TwinImage;
  std::unique_ptr<TMatGen> Twin;

  explicit TRasterPair(TImageData& Target)
      : Image(&Target),
        Generator(TMatGen::Create(Target)),
        TwinImage(std::make_unique<TImageData>(Target.Width(), Target.Height())),
        Twin(TMatGen::Create(*TwinImage)) {
    Generator->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
    Twin->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
  }
};

struct TWorld {
  std::unique_ptr<TForm2> Projection;
  std::unique_ptr<TImageData> SmallImage;
  std::unique_ptr<TRasterPair> Full;
  std::unique_ptr<TRasterPair> Small;
  std::unique_ptr<TForm> LogWindow;
  TMemo* Memo = nullptr;
  std::unique_ptr<TKoordinator> Coordinator;
  std::unique_ptr<TPointDef> Dialog;
  std::vector<TLabeledEdit*> Fields;
};

TWorld* World = nullptr;

// The activity log's messages, without their time stamps.
std::vector<std::string> LogMessages(TMemo& Memo) {
  std::vector<std::string> messages;
  for (int i = 0; i < Memo.Lines().Count(); ++i) {
    const std::string& line = Memo.Lines().Strings(i);
    const std::size_t separator = line.find(" : ");
    messages.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
  }
  return messages;
}

// What the generator promises whatever it was given.
void CheckInvariant(TRasterPair& Pair, const std::vector<std::string>& Texts) {
  TMatGen& generator = *Pair.Generator;
  const CodeMan* table = generator.CodeTable();
  if (table == nullptr) {
    generator.DrawAllPoints();
    if (!OnlyBackground(*Pair.Image, generator)) Fail("points drawn without a code table", Texts);
    return;
  }
  if (generator.RowCount() > std::int32_t(table->Points.size()))
    Fail("RowCount " + std::to_string(generator.RowCount()) + " exceeds the table's " +
             std::to_string(table->Points.size()) + " rows",
         Texts);
  for (std::int32_t r = 0; r < generator.RowCount(); ++r)
    if (generator.ColumnCount() > std::int32_t(table->Points[std::size_t(r)].size()))
      Fail("ColumnCount " + std::to_string(generator.ColumnCount()) + " exceeds row " +
               std::to_string(r) + " of the table",
           Texts);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Qt keeps a reference to the count; libFuzzer's own flags stay away from Qt.
  static int argc = 1;
  static char name[] = "fuzz_point_settings";
  static char* argv[] = {name, nullptr};
  new TApplication(argc, argv);

  World = new TWorld;
  World->Projection = std::make_unique<TForm2>();
  World->Full = std::make_unique<TRasterPair>(World->Projection->Image1->Data());
  World->SmallImage = std::make_unique<TImageData>(SmallWidth, SmallHeight);
  World->Small = std::make_unique<TRasterPair>(*World->SmallImage);
  Form2 = World->Projection.get();
  World->LogWindow = std::make_unique<TForm>();
  World->Memo = new TMemo(World->LogWindow.get(), "Memo1", QRect(0, 0, 385, 345));
  World->Coordinator = std::make_unique<TKoordinator>(World->Memo);
  Koordinator = World->Coordinator.get();
  World->Dialog = std::make_unique<TPointDef>();
  PointDef = World->Dialog.get();
  for (int i = 1; i <= FieldCount; ++i) {
    const QString name = QString("LabeledEdit%1").arg(i);
    auto* field = World->Dialog->findChild<TLabeledEdit*>(name);
    if (field == nullptr) {
      std::fprintf(stderr, "fuzz_point_settings: no field %s\n", qPrintable(name));
      std::abort();
    }
    World->Fields.push_back(field);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < Size; ++i) {
    if (Data[i] == '\n')
      lines.emplace_back();
    else
      lines.back() += char(Data[i]);
  }
  lines.resize(std::max<std::size_t>(lines.size(), FieldCount + 1));
  TRasterPair& pair = lines[FieldCount].empty() ? *World->Small : *World->Full;
  MatGen = pair.Generator.get();

  // Judged on what the fields hold, as Qt may have replaced bytes that are not UTF-8.
  std::vector<std::string> texts;
  for (int i = 0; i < FieldCount; ++i) {
    World->Fields[std::size_t(i)]->SetText(lines[std::size_t(i)]);
    texts.push_back(World->Fields[std::size_t(i)]->Text());
  }
  std::vector<std::optional<std::int32_t>> values;
  for (const std::string& text : texts) values.push_back(ParseField(text));
  const bool valid =
      std::all_of(values.begin(), values.end(), [](const auto& v) { return v.has_value(); });

  const TRaster before = TRaster::Of(*pair.Generator);
  const std::vector<std::uint8_t> pixelsBefore =
      valid ? std::vector<std::uint8_t>() : Pixels(*pair.Image);
  World->Memo->Lines().Clear();

  World->Dialog->SpeedButton3->click();

  const std::vector<std::string> log = LogMessages(*World->Memo);
  const bool complained = log.size() == 1 && log[0] == TPointDef::InvalidValuesText;
  // An applied raster logs what is projected.
  const bool applied = log.size() == 1 && log[0].rfind("Promítaný rastr: ", 0) == 0;
  if (!complained && !applied) Fail("unexpected log lines", texts);
  if (!valid) {
    if (!complained) Fail("an invalid field was not reported", texts);
    if (!(TRaster::Of(*pair.Generator) == before))
      Fail("an invalid field changed the raster", texts);
    if (Pixels(*pair.Image) != pixelsBefore) Fail("an invalid field changed the picture", texts);
    CheckInvariant(pair, texts);
    return 0;
  }

  const auto value = [&](int Field) { return *values[std::size_t(Field - 1)]; };
  std::int32_t rows = value(3);
  const std::int32_t columns = value(4);
  if (std::int64_t(rows) * columns > TPointDef::MaxRasterPoints)
    rows = std::int32_t(TPointDef::MaxRasterPoints / columns);
  bool twinThrew = false;
  try {
    pair.Twin->SetGeometry(value(1), value(2), rows, columns, value(5), value(6),
                           Colour(value(10), value(12), value(11)),
                           Colour(value(7), value(9), value(8)));
  } catch (const std::exception&) {
    twinThrew = true;
  }
  if (complained != twinThrew)
    Fail(complained ? "valid values were reported as invalid" : "a failed apply was not reported",
         texts);
  if (twinThrew && !(TRaster::Of(*pair.Generator) == before))
    Fail("a refused raster changed the raster in force", texts);
  if (!(TRaster::Of(*pair.Generator) == TRaster::Of(*pair.Twin)))
    Fail("the dialog passed other values than it was given", texts);
  CheckInvariant(pair, texts);
  if (!twinThrew && pair.Image == World->SmallImage.get()) {
    pair.Twin->DrawAllPoints();
    if (Pixels(*pair.Image) != Pixels(*pair.TwinImage)) Fail("the painted raster differs", texts);
  }
  return 0;
}
