#include <gtest/gtest.h>

#include <QTest>
#include <climits>
#include <cstring>
#include <optional>
#include <random>

#include "dialogs/Pdef.h"
#include "platform/Application.h"
#include "tests/support/DialogWorld.h"

using namespace Station;

namespace {

constexpr int Iterations = 2000;
constexpr std::uint64_t Seed = 0x5EED2024;

// A field text and the number it stands for; none when it must be refused.
struct TEntry {
  std::string Text;
  std::optional<std::int32_t> Value;
};

class TEntryMaker {
 public:
  explicit TEntryMaker(std::uint64_t Seed) : FRandom(Seed) {}

  // Field 1..12. Mostly numbers that the field's role makes interesting.
  TEntry Make(int Field) {
    if (Chance(0.04)) return Refused();
    return Written(Number(Field));
  }

 private:
  bool Chance(double P) { return std::bernoulli_distribution(P)(FRandom); }
  int Uniform(int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(FRandom); }
  template <class T>
  const T& Pick(const std::vector<T>& Items) {
    return Items[std::size_t(Uniform(0, int(Items.size()) - 1))];
  }

  std::int32_t Number(int Field) {
    if (Chance(0.08)) {
      static const std::vector<std::int32_t> limits{
          INT_MIN, INT_MIN + 1, INT_MAX - 1, INT_MAX, -1, 0, 1, 255, 256, 16384, 16385, 65536};
      return Chance(0.3) ? std::int32_t(std::uniform_int_distribution<std::uint32_t>()(FRandom))
                         : Pick(limits);
    }
    switch (Field) {
      case 1:
        return Uniform(-5, 1100);
      case 2:
        return Uniform(-5, 800);
      case 3:
      case 4:
        return Chance(0.2) ? Pick(std::vector<std::int32_t>{128, 129, 163, 200, 16384, 50000})
                           : Uniform(-3, 300);
      case 5:
        // A negative size wraps to a point of up to 255 pixels; rare, as painting those is slow.
        return Chance(0.02) ? Uniform(-3, -1) : Uniform(0, 12);
      case 6:
        return Uniform(-2, 40);
      default:
        return Uniform(-300, 600);
    }
  }

  std::string Blanks() {
    std::string blanks;
    for (int i = Uniform(0, 2); i > 0; --i) blanks += Chance(0.5) ? ' ' : '\t';
    return blanks;
  }

  TEntry Written(std::int32_t Value) {
    std::string digits =
        std::to_string(std::int64_t(Value) < 0 ? -std::int64_t(Value) : std::int64_t(Value));
    if (Chance(0.1)) digits.insert(0, std::size_t(Uniform(1, 3)), '0');
    const std::string sign = Value < 0 ? "-" : (Chance(0.2) ? "+" : "");
    return {Blanks() + sign + digits + Blanks(), Value};
  }

  TEntry Refused() {
    const std::int64_t beyond = Chance(0.5) ? std::int64_t(INT_MAX) + Uniform(1, 1000000)
                                            : std::int64_t(INT_MIN) - Uniform(1, 1000000);
    std::string huge = std::to_string(Uniform(1, 9));
    for (int i = Uniform(10, 40); i > 0; --i) huge += char('0' + Uniform(0, 9));
    std::string bytes;
    for (int i = Uniform(1, 6); i > 0; --i) bytes += char(Uniform(0x80, 0xFF));
    const std::string number = std::to_string(Uniform(0, 999));
    static const std::vector<std::string> words{
        "",     " ",     "\t",    "+",    "-",   "abc", "x",   "LHX", "1.5",
        "-0.0", "1,000", "1 000", "0x1F", "1e3", "+-5", "-+5", "--1", "++1",
        "- 7",  "12abc", "č",     "１２", "٣",   "∞",   "NaN"};
    switch (Uniform(0, 6)) {
      case 0:
        return {std::to_string(beyond), std::nullopt};
      case 1:
        return {(Chance(0.5) ? "-" : "") + huge, std::nullopt};
      case 2:
        return {bytes, std::nullopt};
      case 3:
        return {number.substr(0, 1) + bytes + number, std::nullopt};
      case 4:
        return {number + Pick(std::vector<std::string>{"a", "č", ".", ",", "x", "\n"}),
                std::nullopt};
      default:
        return {Pick(words), std::nullopt};
    }
  }

  std::mt19937_64 FRandom;
};

// What MatGen promises for any input: no count beyond its table, no table no points.
void ExpectWithinTable(const TMatGen& Generator) {
  const CodeMan* table = Generator.CodeTable();
  if (table == nullptr) return;
  ASSERT_LE(Generator.RowCount(), std::int32_t(table->Points.size()));
  if (Generator.RowCount() > 0) {
    ASSERT_LE(Generator.ColumnCount(), std::int32_t(table->Points[0].size()));
  }
}

TEST(PointDefFuzz, RandomFieldTextsThroughTheRealApplyButton) {
  TDialogWorld world;
  auto* apply = world.Dialog->findChild<TButton*>("SpeedButton3");
  ASSERT_NE(apply, nullptr);
  // A second generator, given the same values directly, says what the dialog should leave.
  TImageData referenceImage(TForm2::ClientWidth, TForm2::ClientHeight);
  const std::unique_ptr<TMatGen> reference = TMatGen::Create(referenceImage);
  reference->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);

  TEntryMaker maker(Seed);
  int refused = 0, applied = 0, failedInGenerator = 0;
  for (int iteration = 0; iteration < Iterations; ++iteration) {
    SCOPED_TRACE("iteration " + std::to_string(iteration));
    std::vector<TEntry> entries;
    bool valid = true;
    for (int field = 1; field <= 12; ++field) {
      entries.push_back(maker.Make(field));
      TLabeledEdit& edit = world.Field("LabeledEdit" + std::to_string(field));
      edit.setText(QString::fromStdString(entries.back().Text));
      if (entries.back().Value) {
        ASSERT_EQ(edit.Text(), entries.back().Text);
      } else {
        valid = false;
      }
    }
    const TRasterState before = TRasterState::Of(*MatGen);
    const std::uint64_t bitmap = valid ? 0 : world.BitmapChecksum();
    world.Memo->Lines().Clear();

    QTest::mouseClick(apply, Qt::LeftButton);
    ExpectWithinTable(*MatGen);
    // A refusal logs it alone; an applied raster logs what is projected.
    const std::vector<std::string> log = world.LogMessages();
    const bool logged = log == std::vector<std::string>{TPointDef::InvalidValuesText};
    ASSERT_TRUE(logged || (log.size() == 1 && log[0].starts_with("Promítaný rastr: ")));

    if (!valid) {
      ++refused;
      ASSERT_TRUE(logged);
      ASSERT_EQ(TRasterState::Of(*MatGen), before);
      ASSERT_EQ(world.BitmapChecksum(), bitmap);
      continue;
    }
    const auto value = [&](int Field) { return *entries[std::size_t(Field - 1)].Value; };
    const auto colour = [](std::int32_t Red, std::int32_t Green, std::int32_t Blue) {
      return std::uint32_t(Red & 0xFF) << 16 | std::uint32_t(Green & 0xFF) << 8 |
             std::uint32_t(Blue & 0xFF);
    };
    std::int32_t rows = value(3);
    if (std::int64_t(rows) * value(4) > 16384) rows = std::int32_t(16384 / value(4));
    bool threw = false;
    try {
      reference->SetGeometry(value(1), value(2), rows, value(4), value(5), value(6),
                             colour(value(10), value(12), value(11)),
                             colour(value(7), value(9), value(8)));
    } catch (const std::exception&) {
      threw = true;
    }
    ASSERT_EQ(logged, threw);
    ASSERT_EQ(TRasterState::Of(*MatGen), TRasterState::Of(*reference));
    if (threw) {
      // Refused by the generator: the raster in force stays, and so does the picture.
      ++failedInGenerator;
      ASSERT_EQ(TRasterState::Of(*MatGen), before);
      continue;
    }
    // Painting both is the costly part; every eighth raster is enough.
    if (applied++ % 8 == 0) {
      reference->DrawAllPoints();
      const TBitmap& expected = referenceImage.Picture().Bitmap();
      ASSERT_EQ(std::memcmp(world.Bitmap().Bits(), expected.Bits(),
                            std::size_t(expected.BytesPerLine()) * std::size_t(expected.Height())),
                0);
    }
  }
  // The mix reaches every outcome.
  EXPECT_GT(refused, Iterations / 10);
  EXPECT_GT(applied, Iterations / 10);
  EXPECT_GT(failedInGenerator, 10);
}

}  // namespace
