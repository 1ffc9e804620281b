#pragma once

// The simulated rig's configuration, written as one line of comma-separated
// items, e.g. "cameras=1,legacy=0,latency=150,size=2048x1536,seed=7,
// fail=EdsOpenSession:1:0x81,fail=EdsDownload:always:0x24,swallow=3".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/EDSDKType.h"

// One injected failure: a function returns Code on its Call-th call, or on every call.
struct TSimFailure {
  std::string Function;  // "EdsOpenSession"
  unsigned Call = 0;     // 1 = the first call; 0 = every call
  EdsError Code = 0;
};

struct TSimConfig {
  int Cameras = 1;
  // Every listed camera reports device subtype 0.
  bool Legacy = false;
  // From the shutter command to the transfer event, in milliseconds.
  int LatencyMs = 150;
  int Width = 2048;  // photo size in pixels
  int Height = 1536;
  std::uint32_t Seed = 1;  // sensor noise
  std::vector<TSimFailure> Failures;
  // Shots (1 = the first after the SDK starts) that are accepted but never delivered.
  std::vector<unsigned> Swallowed;

  // The failure injected into this call of Function, 0 when none.
  EdsError FailureFor(std::string_view Function, unsigned Call) const;
  bool IsSwallowed(unsigned Shot) const;
};

// Reads Text. A malformed or unknown item makes the whole text invalid: the
// result is empty and Error names the item and what is wrong with it.
std::optional<TSimConfig> ParseSimConfig(std::string_view Text, std::string* Error);

// The names of the SDK functions, as failures name them.
const std::vector<std::string_view>& SimFunctionNames();
