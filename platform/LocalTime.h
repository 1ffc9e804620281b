#pragma once

#include <string>

// The local time in the user's long time format (LC_TIME's "%X", with seconds).
std::string LongTimeString();
// The local date in the user's short date format (LC_TIME's "%x").
std::string ShortDateString();
