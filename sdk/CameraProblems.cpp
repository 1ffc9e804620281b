#include "sdk/CameraProblems.h"

#include <mutex>
#include <utility>

namespace {

std::mutex Lock;
std::vector<std::string> Problems;

}  // namespace

void NoteCameraProblem(const std::string& Line) {
  std::lock_guard guard(Lock);
  Problems.push_back(Line);
}

std::vector<std::string> TakeCameraProblems() {
  std::lock_guard guard(Lock);
  return std::exchange(Problems, {});
}
