#include "pattern/Code_man.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

void PointCode::Assign(std::string_view Text) {
  const std::size_t length = std::min<std::size_t>(Text.size(), Capacity);
  std::copy_n(Text.data(), length, Chars.begin());
  std::fill(Chars.begin() + std::ptrdiff_t(length), Chars.end(), '\0');
  Length = std::uint8_t(length);
}

CodeMan::CodeMan(std::int32_t RowCount, std::int32_t ColumnCount)
    : RowCount(RowCount), ColumnCount(ColumnCount) {
  AllocateTable();
  NumberPoints();
}

std::unique_ptr<CodeMan> CodeMan::Create(std::int32_t RowCount, std::int32_t ColumnCount) {
  return std::make_unique<CodeMan>(RowCount, ColumnCount);
}

void CodeMan::AllocateTable() {
  if (RowCount < 0) throw std::range_error("Point table: negative row count");
  if (RowCount == 0) {
    Points.clear();
    return;
  }
  if (ColumnCount < 0) throw std::range_error("Point table: negative column count");
  const std::uint64_t rowBytes =
      sizeof(TPoleBodu::value_type) + std::uint64_t(ColumnCount) * sizeof(PointRecord);
  if (std::uint64_t(RowCount) * rowBytes > std::numeric_limits<std::uint32_t>::max())
    throw std::range_error("Point table too large");
  TPoleBodu table(static_cast<std::size_t>(RowCount),
                  std::vector<PointRecord>(static_cast<std::size_t>(ColumnCount)));
  Points.swap(table);
}

void CodeMan::NumberPoints() {
  std::int32_t n = 0;
  for (std::int32_t r = 0; r < RowCount; ++r)
    for (std::int32_t c = 0; c < ColumnCount; ++c) {
      PointRecord& point = Points[std::size_t(r)][std::size_t(c)];
      point.Index = ++n;
      point.Code.Assign(IndexToCode(n));
    }
}

std::string CodeMan::IndexToCode(std::int32_t Value) {
  std::string code(PointCode::Capacity, '0');
  if (Value >= 16384 || Value < 0) return code;
  for (int n = 13; n >= 0; --n) {
    const double weight = std::ldexp(1.0, n);
    const double b = std::trunc(double(Value) / weight);
    if (b == 1.0) code[std::size_t(13 - n)] = '1';
    Value -= std::int32_t(b) * (std::int32_t(1) << n);
  }
  return code;
}
