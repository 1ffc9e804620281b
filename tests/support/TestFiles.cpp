#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <fstream>

namespace Station {

fs::path MakeTempDirectory(const std::string& Prefix) {
  std::string pattern = (fs::temp_directory_path() / (Prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
  return pattern;
}

TRemoveAtEnd::~TRemoveAtEnd() {
  std::error_code ignored;
  for (const fs::path& path : Paths) fs::remove_all(path, ignored);
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string bytes(std::size_t(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), std::streamsize(bytes.size()));
  return bytes;
}

void WriteFile(const fs::path& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary) << Bytes;
}

QByteArray Sha256Of(const fs::path& Path) {
  QFile file(QString::fromStdString(Path.string()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

std::optional<std::vector<std::string>> ReadIndex(const fs::path& Path) {
  std::error_code error;
  if (!fs::is_regular_file(Path, error)) return std::nullopt;
  const std::string text = ReadFile(Path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  // Every line ends in CR LF, the last one too.
  if (start != text.size() || lines.size() < 2) return std::nullopt;
  if (lines[0].rfind("SBF File : 0, 1, points, 14x code pics, ", 0) != 0) return std::nullopt;
  if (lines[1] != std::string(80, '-')) return std::nullopt;
  return std::vector<std::string>(lines.begin() + 2, lines.end());
}

std::vector<std::string> FilesIn(const fs::path& Directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Directory, error))
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool SampledSweeps() {
#ifdef CORVALET_SAMPLED_SWEEPS
  return true;
#else
  return false;
#endif
}

}  // namespace Station
