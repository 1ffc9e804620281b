#include "sdk/CameraBackend.h"

#include <atomic>

namespace {

std::atomic<const TCameraBackend*> InUse{nullptr};

}  // namespace

void UseCameraBackend(const TCameraBackend* Backend) {
  InUse.store(Backend);
}

const TCameraBackend* CameraBackendInUse() {
  return InUse.load();
}

extern "C" {

#define CORVALET_FORWARD(Result, Name, Params, Args, None)           \
  Result Name Params {                                               \
    const TCameraBackend* backend = InUse.load();                    \
    if (backend == nullptr || backend->Name == nullptr) return None; \
    return backend->Name Args;                                       \
  }
CORVALET_CAMERA_SDK_FUNCTIONS(CORVALET_FORWARD)
#undef CORVALET_FORWARD

}  // extern "C"
