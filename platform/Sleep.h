#pragma once

#include <cstdint>
#include <functional>

// Blocks the calling thread for Milliseconds. Goes through one replaceable
// function so that tests can record the waits asked for instead of waiting.
void Sleep(std::uint32_t Milliseconds);

using TSleepFunction = std::function<void(std::uint32_t)>;
// Installs Function (an empty one restores the real wait); returns the previous one.
TSleepFunction SetSleepFunction(TSleepFunction Function);
