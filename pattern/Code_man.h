#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A point's 14-digit base-2 code: fixed capacity, single-byte characters,
// stored with its length. Empty until the point is numbered.
struct PointCode {
  static constexpr int Capacity = 14;

  std::uint8_t Length = 0;
  std::array<char, Capacity> Chars{};

  // Copies at most Capacity characters of Text.
  void Assign(std::string_view Text);
  std::string_view View() const { return {Chars.data(), Length}; }
  // Character K, counted from 1 as the bit-planes count them; '\0' beyond Length.
  char At(int K) const {
    return K >= 1 && K <= Capacity && K <= Length ? Chars[std::size_t(K - 1)] : '\0';
  }

  friend bool operator==(const PointCode& Code, std::string_view Text) {
    return Code.View() == Text;
  }
};

// One point of the raster. Plain data: a fresh record is all zero.
struct PointRecord {
  // Running number, row-major from 1.
  std::int32_t Index = 0;
  // IndexToCode(Index).
  PointCode Code;
  // Pixel row and column of the top-left pixel of the point's square.
  std::int32_t Y = 0;
  std::int32_t X = 0;
};

// Points[r][c]: RowCount rows of ColumnCount records each.
using TPoleBodu = std::vector<std::vector<PointRecord>>;

// The identity of every raster point: its running number and code. The raster
// generator reads and writes the records directly and fills in Y and X.
class CodeMan {
 public:
  // Builds, numbers and codes the table. Throws std::range_error for a negative
  // RowCount, for a negative ColumnCount with RowCount above 0 and for a table whose
  // size in bytes does not fit 32 bits; std::bad_alloc when memory runs out.
  CodeMan(std::int32_t RowCount, std::int32_t ColumnCount);
  static std::unique_ptr<CodeMan> Create(std::int32_t RowCount, std::int32_t ColumnCount);

  CodeMan(const CodeMan&) = delete;
  CodeMan& operator=(const CodeMan&) = delete;

  // Sizes Points to RowCount x ColumnCount zeroed records.
  void AllocateTable();
  // Writes Index and Code of every record, row-major from 1.
  void NumberPoints();

  // Value as 14 base-2 digits, most significant first; fourteen '0' for a Value
  // below 0 or from 16384 on.
  static std::string IndexToCode(std::int32_t Value);

  TPoleBodu Points;
  std::int32_t RowCount = 0;
  std::int32_t ColumnCount = 0;
};
