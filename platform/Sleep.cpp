#include "platform/Sleep.h"

#include <chrono>
#include <thread>

namespace {

TSleepFunction& Current() {
  static TSleepFunction function;
  return function;
}

}  // namespace

void Sleep(std::uint32_t Milliseconds) {
  if (Current()) {
    Current()(Milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

TSleepFunction SetSleepFunction(TSleepFunction Function) {
  TSleepFunction previous = std::move(Current());
  Current() = std::move(Function);
  return previous;
}
