#include "geometry/CameraModel.h"

#include <charconv>
#include <cstdio>
#include <regex>

std::vector<cv::Point3f> TBoard::Points() const {
  std::vector<cv::Point3f> points;
  points.reserve(std::size_t(Corners()));
  for (int r = 0; r < Rows; ++r)
    for (int c = 0; c < Columns; ++c)
      points.emplace_back(float(c * SquareMm), float(r * SquareMm), 0.f);
  return points;
}

std::string TBoard::Text() const {
  char text[64];
  std::snprintf(text, sizeof text, "%dx%d:%g", Columns, Rows, SquareMm);
  return text;
}

std::optional<TBoard> TBoard::Parse(const std::string& Text) {
  static const std::regex form(R"(\s*(\d{1,3})\s*[xX]\s*(\d{1,3})\s*:\s*(\d+(?:[.,]\d+)?)\s*)");
  std::smatch match;
  if (!std::regex_match(Text, match, form)) return std::nullopt;
  TBoard board;
  board.Columns = std::stoi(match[1]);
  board.Rows = std::stoi(match[2]);
  std::string square = match[3];
  for (char& c : square)
    if (c == ',') c = '.';
  // Not strtod: the station runs in the operator's locale, where the decimal point may be a comma.
  std::from_chars(square.data(), square.data() + square.size(), board.SquareMm);
  // A board of 2 x 2 inner corners or fewer has no order OpenCV can tell.
  if (std::min(board.Columns, board.Rows) < 2 || std::max(board.Columns, board.Rows) < 3)
    return std::nullopt;
  if (!(board.SquareMm >= 1 && board.SquareMm <= 1000)) return std::nullopt;
  return board;
}
