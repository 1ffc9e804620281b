#include "pattern/Code_man.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(IndexToCode, WritesFourteenBinaryDigitsMostSignificantFirst) {
  EXPECT_EQ(CodeMan::IndexToCode(1), "00000000000001");
  EXPECT_EQ(CodeMan::IndexToCode(2), "00000000000010");
  EXPECT_EQ(CodeMan::IndexToCode(100), "00000001100100");
  EXPECT_EQ(CodeMan::IndexToCode(8192), "10000000000000");
  EXPECT_EQ(CodeMan::IndexToCode(9600), "10010110000000");
  EXPECT_EQ(CodeMan::IndexToCode(16383), "11111111111111");
  for (int value = 0; value < 16384; ++value) {
    const std::string code = CodeMan::IndexToCode(value);
    ASSERT_EQ(code.size(), 14u);
    ASSERT_EQ(std::stoi(code, nullptr, 2), value) << code;
  }
}

TEST(IndexToCode, ValuesOutsideFourteenBitsGiveAllZero) {
  for (int value : {0, -1, -16383, 16384, 16385, 32768, INT32_MIN, INT32_MAX})
    EXPECT_EQ(CodeMan::IndexToCode(value), "00000000000000") << value;
}

TEST(PointCode, KeepsAtMostFourteenCharacters) {
  PointCode code;
  EXPECT_EQ(code, "");
  code.Assign("1010101010101011111");
  EXPECT_EQ(code, "10101010101010");
  EXPECT_EQ(code.At(1), '1');
  EXPECT_EQ(code.At(14), '0');
  EXPECT_EQ(code.At(0), '\0');
  EXPECT_EQ(code.At(15), '\0');
  code.Assign("01");
  EXPECT_EQ(code, "01");
  EXPECT_EQ(code.At(3), '\0');
}

TEST(CodeMan, NumbersRowMajorWithCodes) {
  const auto table = CodeMan::Create(2, 3);
  EXPECT_EQ(table->RowCount, 2);
  EXPECT_EQ(table->ColumnCount, 3);
  ASSERT_EQ(table->Points.size(), 2u);
  const char* codes[] = {"00000000000001", "00000000000010", "00000000000011",
                         "00000000000100", "00000000000101", "00000000000110"};
  for (int r = 0; r < 2; ++r) {
    ASSERT_EQ(table->Points[r].size(), 3u);
    for (int c = 0; c < 3; ++c) {
      const PointRecord& point = table->Points[r][c];
      EXPECT_EQ(point.Index, r * 3 + c + 1);
      EXPECT_EQ(point.Code, codes[r * 3 + c]);
      EXPECT_EQ(point.Y, 0);
      EXPECT_EQ(point.X, 0);
    }
  }
}

TEST(CodeMan, StartUpRasterEndsAt9600) {
  const CodeMan table(80, 120);
  const PointRecord& last = table.Points[79][119];
  EXPECT_EQ(last.Index, 9600);
  EXPECT_EQ(last.Code, "10010110000000");
}

TEST(CodeMan, FromIndex16384OnTheCodeHasNoOne) {
  const CodeMan table(130, 128);
  int withoutOne = 0;
  for (const auto& row : table.Points)
    for (const PointRecord& point : row) {
      const bool hasOne = point.Code.View().find('1') != std::string_view::npos;
      EXPECT_EQ(hasOne, point.Index < 16384) << point.Index;
      withoutOne += hasOne ? 0 : 1;
    }
  EXPECT_EQ(withoutOne, 130 * 128 - 16383);
}

TEST(CodeMan, EmptyTables) {
  for (auto [rows, columns] : {std::pair{0, 0}, {0, 5}, {0, -5}, {0, INT32_MIN}, {3, 0}}) {
    const CodeMan table(rows, columns);
    EXPECT_EQ(table.RowCount, rows);
    EXPECT_EQ(table.ColumnCount, columns);
    EXPECT_EQ(table.Points.size(), std::size_t(rows));
    for (const auto& row : table.Points) EXPECT_TRUE(row.empty());
  }
}

TEST(CodeMan, NegativeOrOversizedCountsThrowAndLeaveNoTable) {
  for (auto [rows, columns] : {std::pair{-1, 0},
                               {-1, 5},
                               {INT32_MIN, 1},
                               {1, -1},
                               {4, INT32_MIN},
                               {100000, 100000},
                               {INT32_MAX, 1},
                               {1, INT32_MAX}}) {
    std::unique_ptr<CodeMan> table;
    EXPECT_THROW(table = CodeMan::Create(rows, columns), std::range_error)
        << rows << " x " << columns;
    EXPECT_EQ(table, nullptr);
  }
}
