#include "sdk/ptpip/PtpIpCamera.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sdk/ptpip/PtpIpState.h"

using namespace PtpIpDetail;

QString TPtpIpCameraOptions::Check() const {
  if (LifetimeSeconds < 1 || LifetimeSeconds > 7 * 24 * 3600)
    return QStringLiteral("lifetime must be 1 to 604800 seconds, not %1").arg(LifetimeSeconds);
  if (Width < 16 || Width > 16384 || Height < 16 || Height > 16384)
    return QStringLiteral("photo size must be 16 to 16384 pixels each way, not %1x%2").arg(Width).arg(Height);
  if (PhotoBytes != 0 && (PhotoBytes < 4096 || PhotoBytes > 1024ll * 1024 * 1024))
    return QStringLiteral("photo bytes must be 4096 to 1073741824, not %1").arg(PhotoBytes);
  if (HugePhotoBytes < 1 || HugePhotoBytes > 1024ll * 1024 * 1024)
    return QStringLiteral("huge photo bytes must be 1 to 1073741824, not %1").arg(HugePhotoBytes);
  if (LatencyMs < 0 || LatencyMs > 600000)
    return QStringLiteral("latency must be 0 to 600000 ms, not %1").arg(LatencyMs);
  if (CameraTimeMs < 0 || CameraTimeMs > 600000)
    return QStringLiteral("camera time must be 0 to 600000 ms, not %1").arg(CameraTimeMs);
  if (!(BandwidthMBps >= 0 && BandwidthMBps <= 100000))
    return QStringLiteral("bandwidth must be 0 to 100000 MB/s, not %1").arg(BandwidthMBps);
  if (SlowMs < 0 || SlowMs > 600000) return QStringLiteral("slow reply must be 0 to 600000 ms, not %1").arg(SlowMs);
  for (int n : {BusyOnCapture, SwallowCapture, DropAtCapture, DropAfterTransfer, SlowNth, HugePhotoAt})
    if (n < 0) return QStringLiteral("a fault count must not be negative, not %1").arg(n);
  if ((SlowOperation == 0) != (SlowNth == 0))
    return QStringLiteral("a slow reply needs both the operation and its number");
  return {};
}

TPtpIpCamera::TPtpIpCamera(TPtpIpCameraOptions O) : Options(std::move(O)), State(std::make_unique<TState>(Options)) {}

TPtpIpCamera::~TPtpIpCamera() { Stop(); }

std::uint16_t TPtpIpCamera::Start() {
  TState& s = *State;
  auto fail = [&](const QString& Why) -> std::uint16_t {
    std::lock_guard guard(s.Lock);
    s.Error = Why;
    return 0;
  };
  if (Server.joinable() || Renderer.joinable()) return fail(QStringLiteral("the camera was started before"));
  if (QString bad = Options.Check(); !bad.isEmpty()) return fail(bad);
  s.Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s.Listener < 0) return fail(QStringLiteral("socket: %1").arg(std::strerror(errno)));
  const int on = 1;
  ::setsockopt(s.Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Options.Port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      ::listen(s.Listener, 8) < 0) {
    const QString why = QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(Options.Port).arg(std::strerror(errno));
    CloseFd(s.Listener);
    return fail(why);
  }
  socklen_t length = sizeof address;
  ::getsockname(s.Listener, reinterpret_cast<sockaddr*>(&address), &length);
  if (::pipe2(s.Wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    CloseFd(s.Listener);
    return fail(QStringLiteral("pipe: %1").arg(std::strerror(errno)));
  }
  const std::uint16_t port = ntohs(address.sin_port);
  s.Deadline = TClock::now() + std::chrono::seconds(Options.LifetimeSeconds);
  Serving = true;
  s.Say(QStringLiteral("listening on 127.0.0.1:%1").arg(port));
  Renderer = std::thread([&s] { s.Render(); });
  Server = std::thread([this, &s] {
    s.Serve();
    {
      // Under the lock, so that the renderer cannot miss the wake-up.
      std::lock_guard guard(s.JobLock);
      s.Stopping = true;
    }
    s.JobReady.notify_all();
    Serving = false;
  });
  return port;
}

void TPtpIpCamera::Stop() {
  TState& s = *State;
  s.Stopping = true;
  s.Poke();
  {
    std::lock_guard guard(s.JobLock);
  }
  s.JobReady.notify_all();
  if (Server.joinable()) Server.join();
  if (Renderer.joinable()) Renderer.join();
  Serving = false;
  CloseFd(s.Listener);
  CloseFd(s.Wake[0]);
  CloseFd(s.Wake[1]);
}

QString TPtpIpCamera::Error() const {
  std::lock_guard guard(State->Lock);
  return State->Error;
}

TPtpIpCameraStats TPtpIpCamera::Stats() const {
  std::lock_guard guard(State->Lock);
  return State->Stats;
}

std::vector<TPtpIpServedPhoto> TPtpIpCamera::Served() const {
  std::lock_guard guard(State->Lock);
  return State->Served;
}

TSimSettings TPtpIpCamera::Settings() const {
  std::lock_guard guard(State->Lock);
  return State->Settings;
}

QByteArray TPtpIpCamera::LastServedPhoto() const {
  std::lock_guard guard(State->Lock);
  return State->LastServed;
}
