#pragma once

// Numbers as the station writes them for the operator: with the decimal comma.

#include <cstdio>
#include <string>

// "612,3" for Value with Digits decimals.
inline std::string DecimalText(double Value, int Digits = 1) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", Digits, Value);
  std::string decimal = text;
  for (char& c : decimal)
    if (c == '.') c = ',';
  return decimal;
}
