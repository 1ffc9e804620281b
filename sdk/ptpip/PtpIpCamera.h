#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sdk/sim/SimSettings.h"

// How the emulated camera behaves. Fault counts are 1-based and counted over the
// camera's whole lifetime (across hosts); 0 means never.
struct TPtpIpCameraOptions {
  // TCP port on 127.0.0.1 for both connections; 0 picks a free one.
  std::uint16_t Port = 0;
  // The camera stops by itself this long after Start().
  int LifetimeSeconds = 300;
  // Photo size in pixels when rendering.
  int Width = 2048, Height = 1536;
  // Seed of the sensor noise; each shot draws its own from it.
  std::uint32_t Seed = 1;
  // Above 0: every photo is a valid JPEG padded to this many bytes, not rendered.
  std::int64_t PhotoBytes = 0;
  // Extra delay from the end of rendering to the ObjectAdded event, in ms.
  int LatencyMs = 0;
  // The N-th InitiateCapture answers Device Busy.
  int BusyOnCapture = 0;
  // The N-th InitiateCapture answers OK but no photo and no event ever comes.
  int SwallowCapture = 0;
  // The N-th InitiateCapture closes both connections instead of answering.
  int DropAtCapture = 0;
  // Both connections close right after the N-th photo was completely sent.
  int DropAfterTransfer = 0;
  // The SlowNth request of operation SlowOperation is answered SlowMs late.
  std::uint16_t SlowOperation = 0;
  int SlowNth = 0;
  int SlowMs = 4000;
  // The photo of the N-th capture is padded to HugePhotoBytes.
  int HugePhotoAt = 0;
  std::int64_t HugePhotoBytes = 21 * 1024 * 1024;
  // Capture settings at the start, and turns of the camera's own dials after
  // a given capture (each told to the host with DevicePropChanged).
  TSimSettings Settings;
  std::vector<TSimTurn> Turns;
  // What is in front of the lens at the shutter; unset: the projector feed of this process.
  std::function<QImage()> Scene;
  // Where log lines go (any thread); unset: nowhere. Verbose adds one line per operation.
  std::function<void(const QString&)> Log;
  bool Verbose = false;

  // Empty when the options are usable, otherwise what is wrong.
  QString Check() const;
};

// A photo the camera sent to a host in full.
struct TPtpIpServedPhoto {
  QString Name;
  std::int64_t Size = 0;
  QByteArray Sha256;
};

struct TPtpIpOperationTiming {
  int Count = 0;
  // Request received to response sent, in microseconds.
  std::int64_t TotalUs = 0, MaxUs = 0;
};

struct TPtpIpCameraStats {
  int Hosts = 0, HostsRefused = 0, Captures = 0, Photos = 0, Deletes = 0, Drops = 0;
  // Device property values a host set, refused values included.
  int PropertySets = 0, PropertySetsRefused = 0;
  // Objects on the card now.
  int ObjectsOnCard = 0;
  std::map<std::uint16_t, TPtpIpOperationTiming> Operations;
};

// A PTP/IP camera on 127.0.0.1 for one host at a time: the initiator handshake
// on a command and an event connection, the generic PTP operations a host needs
// to open a session, take a picture, list, download and delete photos, and the
// ObjectAdded and CaptureComplete events, and the standard device properties of
// the capture settings (exposure program, time, f-number, exposure index, focus
// mode, white balance) with DevicePropChanged. Runs on its own threads.
class TPtpIpCamera {
 public:
  explicit TPtpIpCamera(TPtpIpCameraOptions Options);
  ~TPtpIpCamera();
  TPtpIpCamera(const TPtpIpCamera&) = delete;
  TPtpIpCamera& operator=(const TPtpIpCamera&) = delete;

  // Binds and starts serving; the bound port, or 0 with Error() saying why.
  std::uint16_t Start();
  // Closes every connection and joins the threads; also done by the destructor.
  void Stop();
  // False once stopped, or once the lifetime ran out.
  bool Running() const { return Serving.load(); }
  QString Error() const;

  TPtpIpCameraStats Stats() const;
  std::vector<TPtpIpServedPhoto> Served() const;
  // The bytes of the last photo sent in full; empty before the first.
  QByteArray LastServedPhoto() const;
  // The capture settings now.
  TSimSettings Settings() const;

  struct TState;

 private:
  TPtpIpCameraOptions Options;
  std::unique_ptr<TState> State;
  std::thread Server, Renderer;
  std::atomic<bool> Serving{false};
};

// Standard PTP operation, response and event codes the camera uses.
namespace PtpCode {
constexpr std::uint16_t GetDeviceInfo = 0x1001, OpenSession = 0x1002, CloseSession = 0x1003,
                        GetStorageIDs = 0x1004, GetStorageInfo = 0x1005,
                        GetObjectHandles = 0x1007, GetObjectInfo = 0x1008, GetObject = 0x1009,
                        DeleteObject = 0x100B, InitiateCapture = 0x100E,
                        GetDevicePropDesc = 0x1014, GetDevicePropValue = 0x1015,
                        SetDevicePropValue = 0x1016, GetPartialObject = 0x101B;
constexpr std::uint16_t Ok = 0x2001, GeneralError = 0x2002, SessionNotOpen = 0x2003,
                        OperationNotSupported = 0x2005, IncompleteTransfer = 0x2007,
                        InvalidStorageId = 0x2008, InvalidObjectHandle = 0x2009,
                        DevicePropNotSupported = 0x200A, DeviceBusy = 0x2019,
                        InvalidDevicePropFormat = 0x201B, InvalidDevicePropValue = 0x201C,
                        InvalidParentObject = 0x201A, InvalidParameter = 0x201D,
                        SessionAlreadyOpen = 0x201E;
constexpr std::uint16_t ObjectAdded = 0x4002, DevicePropChanged = 0x4006,
                        CaptureComplete = 0x400D;
constexpr std::uint16_t WhiteBalance = 0x5005, FNumber = 0x5007, FocusMode = 0x500A,
                        ExposureTime = 0x500D, ExposureProgramMode = 0x500E,
                        ExposureIndex = 0x500F;
}  // namespace PtpCode
