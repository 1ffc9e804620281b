#pragma once

// A whole scan photographed by the simulated rig without the GUI: the 17
// patterns drawn by the raster generator, rendered as the rig's camera sees
// them and written into a folder with its index, as the station leaves it.

#include <string>
#include <vector>

#include "sdk/sim/SimScene.h"
#include "sdk/sim/SimTruth.h"

struct TSimScanSetup {
  // Passed to SetGeometry as the settings dialog passes them.
  int OffsetX = 10, OffsetY = 10, Rows = 80, Columns = 120, Size = 3, Spacing = 8;
  int Width = 2048, Height = 1536;
  std::uint32_t Seed = 1;
  TSimOptics Optics;
  TSimStage Stage;
  // Where the rig's truth files go (sdk/sim/SimTruthFiles.h); empty: nowhere.
  std::string TruthDir;
  // Only what aiming shoots: the dark field and all points, without an index.
  bool AimOnly = false;
};

struct TSimScan {
  // The raster as the generator corrected it.
  int OffsetX = 0, OffsetY = 0, Rows = 0, Columns = 0, Size = 0, Spacing = 0;
  std::vector<std::string> Names;     // photo file names in capture order
  std::vector<TSimPointTruth> Truth;  // per point, Index - 1
  int Readable() const;
  int Inside() const;  // wholly in view
  int Edge() const;    // cut by the photo's edge
};

// Writes the scan into Dir (which must exist) on two threads.
TSimScan WriteSimScan(const std::string& Dir, const TSimScanSetup& Setup);
