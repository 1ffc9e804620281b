#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <vector>

#include "sdk/gphoto2/Gphoto2State.h"

using namespace Gphoto2Detail;

namespace {

// Progress of one download, fed by libgphoto2 where the transport reports it.
struct TProgress {
  EdsProgressCallback Callback = nullptr;
  void* Context = nullptr;
  float Target = 0;
  EdsUInt32 Told = 0;
  EdsBool Cancel = false;

  void Tell(EdsUInt32 Percent) {
    if (Callback) Callback(Percent, Context, &Cancel);
    Told = Percent;
  }
};

constexpr EdsUInt32 ProgressStep = 10;  // percent between progress calls

unsigned ProgressStart(GPContext*, float Target, const char*, void* Data) {
  static_cast<TProgress*>(Data)->Target = Target;
  return 1;
}

void ProgressUpdate(GPContext*, unsigned, float Current, void* Data) {
  auto& progress = *static_cast<TProgress*>(Data);
  if (progress.Target <= 0) return;
  const auto percent = EdsUInt32(std::min(99.0f, Current * 100 / progress.Target));
  if (percent >= progress.Told + ProgressStep) progress.Tell(percent);
}

void ProgressStop(GPContext*, unsigned, void*) {}

GPContextFeedback CancelAsked(GPContext*, void* Data) {
  return static_cast<TProgress*>(Data)->Cancel ? GP_CONTEXT_FEEDBACK_CANCEL
                                               : GP_CONTEXT_FEEDBACK_OK;
}


EdsError WriteError() {
  return errno == ENOSPC ? EdsResult_DiskFull : EdsResult_FileWriteError;
}

// The next Size bytes of Item into Stream. The camera's refusal (busy, no
// partial reads) writes nothing and leaves the session; a short answer ends it.
EdsError DownloadPiece(TBackend& Backend, TCamera& Camera, TItem& Item, TStream& Stream,
                       EdsUInt32 Size) {
  std::vector<char> buffer(Size);
  std::uint64_t got = Size;
  const int result = gp_camera_file_read(Camera.Handle, Item.Folder.c_str(), Item.Name.c_str(),
                                         GP_FILE_TYPE_NORMAL, Item.Read, buffer.data(), &got,
                                         Backend.Context);
  if (result < GP_OK) return Backend.Failure(Camera, "downloading " + Item.Name, result);
  if (got != Size) {
    std::cerr << "camera: " << Item.Name << " gave " << got << " of " << Size << " bytes at "
              << Item.Read << "\n";
    Camera.SessionOver = true;
    return EdsResult_CommunicationError;
  }
  for (std::size_t done = 0; done < got;) {
    const ssize_t count = write(Stream.Fd, buffer.data() + done, got - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return WriteError();
    done += std::size_t(count);
  }
  Item.Read += Size;
  Item.Downloaded = Item.Read == Item.Size;
  TProgress progress{Stream.Callback, Stream.Context};
  progress.Tell(EdsUInt32(std::uint64_t(Item.Read) * 100 / Item.Size));
  return EdsResult_Ok;
}

}  // namespace

namespace Gphoto2Sdk {

// The progress callback runs with the backend's lock held: it must not call the SDK.
EdsError EdsDownload(EdsDirectoryItemRef Ref, EdsUInt32 Size, EdsStreamRef StreamRef) {
  return Locked([&](TBackend& backend) {
    auto item = backend.Objects.Find<TItem>(Ref);
    auto stream = backend.Objects.Find<TStream>(StreamRef);
    if (!item || !stream) return EdsResult_InvalidHandle;
    std::shared_ptr<TCamera> camera;
    if (EdsError error = backend.Usable(item->Camera, camera)) return error;
    if (camera->Session != item->Session) return EdsResult_SessionNotOpen;
    if (Size == 0) return EdsResult_InvalidParameter;
    // A piece (GetPartialObject) when less than the whole photo is asked for, or
    // the rest after an earlier piece; the whole photo asked for starts over.
    if (item->Size != 0 && Size < item->Size) {
      if (item->Size == 0 || Size > item->Size - item->Read) return EdsResult_InvalidParameter;
      return DownloadPiece(backend, *camera, *item, *stream, Size);
    }
    if (item->Size != 0 && Size != item->Size) return EdsResult_InvalidParameter;
    item->Read = 0;

    // libgphoto2 closes the descriptor it is given.
    const int fd = fcntl(stream->Fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return EdsResult_FileIoError;
    CameraFile* file = nullptr;
    if (gp_file_new_from_fd(&file, fd) < GP_OK) {
      close(fd);
      return EdsResult_FileIoError;
    }
    TProgress progress{stream->Callback, stream->Context};
    progress.Tell(0);
    if (progress.Cancel) {
      gp_file_free(file);
      return EdsResult_OperationCancelled;
    }
    gp_context_set_progress_funcs(backend.Context, ProgressStart, ProgressUpdate, ProgressStop,
                                  &progress);
    gp_context_set_cancel_func(backend.Context, CancelAsked, &progress);
    const int result = gp_camera_file_get(camera->Handle, item->Folder.c_str(), item->Name.c_str(),
                                          GP_FILE_TYPE_NORMAL, file, backend.Context);
    gp_context_set_progress_funcs(backend.Context, nullptr, nullptr, nullptr, nullptr);
    gp_context_set_cancel_func(backend.Context, nullptr, nullptr);
    gp_file_free(file);

    struct stat written {};
    const bool sized = fstat(stream->Fd, &written) == 0;
    if (result < GP_OK) {
      struct statvfs disk {};
      const bool full = fstatvfs(stream->Fd, &disk) == 0 && disk.f_bavail == 0;
      const EdsError error = backend.Failure(*camera, "downloading " + item->Name, result);
      return full ? EdsResult_DiskFull : error;
    }
    if (!sized || EdsUInt32(written.st_size) != Size) {
      std::cerr << "camera: " << item->Name << " arrived with " << written.st_size << " of " << Size
                << " bytes\n";
      camera->SessionOver = true;
      return EdsResult_CommunicationError;
    }
    item->Downloaded = true;
    progress.Tell(100);
    return EdsResult_Ok;
  });
}

EdsError EdsDownloadComplete(EdsDirectoryItemRef Ref) {
  return Locked([&](TBackend& backend) {
    auto item = backend.Objects.Find<TItem>(Ref);
    if (!item) return EdsResult_InvalidHandle;
    // The camera's copy may be the only one: it goes only after a complete download.
    if (!item->Downloaded) return EdsResult_InvalidParameter;
    if (item->Deleted) return EdsResult_Ok;
    // The photo is safe on the host; the controller keeps the file and says the
    // camera may still hold its copy.
    std::shared_ptr<TCamera> camera;
    if (backend.Usable(item->Camera, camera) != EdsResult_Ok || camera->Session != item->Session) {
      std::cerr << "camera: " << item->Name << " stays on the camera: the session is over\n";
      return EdsResult_CommunicationError;
    }
    const int result = gp_camera_file_delete(camera->Handle, item->Folder.c_str(), item->Name.c_str(),
                                             backend.Context);
    if (result < GP_OK) return backend.Failure(*camera, item->Name + " stays on the camera", result);
    item->Deleted = true;
    return EdsResult_Ok;
  });
}

}  // namespace Gphoto2Sdk
