#pragma once

// A scan's index in its folder, "corvalet.sbf", and the check files beside it
// ("corvalet-check.txt", "corvalet-check.png", "corvalet-points.csv"): how a
// new index takes the name, and how the earlier scan's files are kept under
// its scan time ("corvalet-2026-12-08_140512.sbf", ...). The steps go in an
// order that leaves, wherever a write stops, a whole index for every complete
// scan, and check files under the plain names only beside their own index.

#include <functional>
#include <string>
#include <vector>

// Called with a step's name before each file operation of PutScanIndex; tests
// stop the write there as a crash would.
using TIndexStep = std::function<void(const std::string& Step)>;

struct TPutIndex {
  // The name the earlier index is kept under; empty when there was none.
  std::string Kept;
  // Log lines about check files that could not be kept with their index.
  std::vector<std::string> Notes;
};

// Makes Text the index in Directory (ends in "/"): written whole and synced
// under a temporary name; then the earlier index gets a second name with its
// scan time (a hard link, else a copy), its check files move to that time's
// names, and the new index is renamed over the plain name. An earlier scan's
// files already kept under a time by a write that stopped are taken as they are.
// Throws std::runtime_error naming the path and the reason when the new index
// cannot be written or the earlier one cannot be kept; the earlier index is
// then still in place and no temporary file is left.
TPutIndex PutScanIndex(const std::string& Directory, const std::string& Text,
                       const TIndexStep& Step);
