#pragma once

// The simulated rig's configuration, written as one line of comma-separated
// items, e.g. "cameras=1,legacy=0,camera=150,bandwidth=25,size=2048x1536,seed=7,
// fail=EdsOpenSession:1:0x81,fail=EdsDownload:always:0x24,swallow=3,
// mode=automatic,shutter=1/60,aperture=5.6,iso=200,turn=5:shutter:1/125,
// scene=board,board=9x6:25,pose=3,truth=/tmp/truth".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/EDSDKType.h"
#include "sdk/sim/SimGeometry.h"
#include "sdk/sim/SimSettings.h"

// Harder conditions than the default rig's: the optics, the light and the tripod.
struct TSimOptics {
  double Blur = 0;      // extra optical blur, standard deviation in camera pixels
  double Noise = 0;     // extra sensor noise, standard deviation in grey levels
  int Ambient = 0;      // extra room light on the target, grey levels
  double Exposure = 1;  // scale of every light level before the sensor clips at 255
  // Direct light on part of the target: left, top, right, bottom as shares of the
  // photo; it saturates the sensor there. Empty when Right <= Left.
  double Glare[4] = {0, 0, 0, 0};
  // Above 1 the camera sees only the middle 1/Zoom of what the default rig sees.
  double Zoom = 1;
  // From shot NudgeFrom on (1 = the first), the picture moves by NudgeX, NudgeY pixels.
  int NudgeX = 0, NudgeY = 0;
  unsigned NudgeFrom = 0;

  bool Default() const;
};

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
  // The camera's own time from the shutter command to the transfer event, in
  // milliseconds ("camera", or by its older name "latency"); a photo that takes
  // longer to render comes when it is ready.
  int LatencyMs = 150;
  // The link's speed for downloads in MB/s (10^6 bytes); 0: as fast as the disk takes them.
  double BandwidthMBps = 0;
  // Above 0: each photo is padded to this many bytes, still a valid JPEG of the same picture.
  std::int64_t PhotoBytes = 0;
  int Width = 2048;  // photo size in pixels
  int Height = 1536;
  std::uint32_t Seed = 1;  // sensor noise
  std::vector<TSimFailure> Failures;
  // Shots (1 = the first after the SDK starts) that are accepted but never delivered.
  std::vector<unsigned> Swallowed;
  TSimOptics Optics;
  // The camera's capture settings at each SDK start, and later turns of its dials.
  TSimSettings Settings;
  std::vector<TSimTurn> Turns;
  // What the camera looks at; for the board, the pose of the first scan after each start.
  TSimStage Stage;
  // Where the rig writes its truth (sdk/sim/SimTruthFiles.h); empty: nowhere.
  std::string TruthDir;

  // The failure injected into this call of Function, 0 when none.
  EdsError FailureFor(std::string_view Function, unsigned Call) const;
  bool IsSwallowed(unsigned Shot) const;
};

// Reads Text. A malformed or unknown item makes the whole text invalid: the
// result is empty and Error names the item and what is wrong with it.
std::optional<TSimConfig> ParseSimConfig(std::string_view Text, std::string* Error);

// The names of the SDK functions, as failures name them.
const std::vector<std::string_view>& SimFunctionNames();
