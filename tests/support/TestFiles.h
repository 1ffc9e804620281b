#pragma once

// Files as the tests make and read them: temporary directories, whole files,
// the index a scan writes. Free of the windows, for every test folder.

#include <QByteArray>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Station {

namespace fs = std::filesystem;

// A new empty directory under the system's temporary directory.
fs::path MakeTempDirectory(const std::string& Prefix);
// Removes its directories, with everything in them, when it goes.
struct TRemoveAtEnd {
  std::vector<fs::path> Paths;
  ~TRemoveAtEnd();
};
// The whole file; empty when it cannot be read.
std::string ReadFile(const fs::path& Path);
void WriteFile(const fs::path& Path, const std::string& Bytes);
// The file's SHA-256; empty when it cannot be read.
QByteArray Sha256Of(const fs::path& Path);
// The photo names that an index file lists (its lines after the rule), or
// none when the file is absent or not an index file.
std::optional<std::vector<std::string>> ReadIndex(const fs::path& Path);
// Regular files directly in Directory, by name.
std::vector<std::string> FilesIn(const fs::path& Directory);
// Whether a test that sweeps many rendered scans takes a few of them only. The
// sanitizer builds do: a fault in memory shows on a few scans as on all, at many
// times the cost; the release build runs every scan and judges every figure.
bool SampledSweeps();
}  // namespace Station
