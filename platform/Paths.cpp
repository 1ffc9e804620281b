#include "platform/Paths.h"

#include <filesystem>
#include <system_error>

bool PathTaken(const std::string& Path) {
  std::error_code error;
  const auto type = std::filesystem::symlink_status(Path, error).type();
  return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}
