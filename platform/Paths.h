#pragma once

#include <string>

// True when Path names anything: a file, a folder, a link (one that leads
// nowhere too). A name the look cannot judge counts as free; creating it
// then tells.
bool PathTaken(const std::string& Path);
