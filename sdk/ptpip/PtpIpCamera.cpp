#include "sdk/ptpip/PtpIpCamera.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>

#include "platform/ProjectorFeed.h"
#include "sdk/sim/SimRender.h"

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// PTP/IP packet types.
enum : std::uint32_t {
  InitCommandRequest = 1,
  InitCommandAck = 2,
  InitEventRequest = 3,
  InitEventAck = 4,
  InitFail = 5,
  OperationRequest = 6,
  OperationResponse = 7,
  EventPacket = 8,
  StartDataPacket = 9,
  DataPacket = 10,
  EndDataPacket = 12,
};
// Init Fail reason: the camera already serves a host.
constexpr std::uint32_t InitFailBusy = 2;
constexpr std::uint32_t StorageId = 0x00010001;
constexpr std::uint16_t FormatJpeg = 0x3801;
constexpr std::uint64_t CardCapacity = 32ull * 1024 * 1024 * 1024;
// A host sends only small packets; anything longer is not PTP/IP.
constexpr std::uint32_t MaxHostPacket = 1024 * 1024;
constexpr std::int64_t DataChunk = 256 * 1024;
constexpr auto HandshakeLimit = 5s;
constexpr auto WriteLimit = 10s;

void Put16(QByteArray& B, std::uint16_t V) {
  const char b[2] = {char(V & 0xFF), char(V >> 8)};
  B.append(b, 2);
}
void Put32(QByteArray& B, std::uint32_t V) {
  Put16(B, std::uint16_t(V & 0xFFFF));
  Put16(B, std::uint16_t(V >> 16));
}
void Put64(QByteArray& B, std::uint64_t V) {
  Put32(B, std::uint32_t(V & 0xFFFFFFFFu));
  Put32(B, std::uint32_t(V >> 32));
}
// A PTP string: character count with the terminating zero, then UCS-2.
void PutString(QByteArray& B, const QString& S) {
  if (S.isEmpty()) {
    B.append('\0');
    return;
  }
  const QString s = S.left(254);
  B.append(char(s.size() + 1));
  for (QChar c : s) Put16(B, c.unicode());
  Put16(B, 0);
}
void PutArray16(QByteArray& B, const std::vector<std::uint16_t>& V) {
  Put32(B, std::uint32_t(V.size()));
  for (std::uint16_t v : V) Put16(B, v);
}
std::uint32_t Get32(const QByteArray& B, qsizetype At) {
  if (At + 4 > B.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(B.constData() + At);
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::uint16_t Get16(const QByteArray& B, qsizetype At) {
  if (At + 2 > B.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(B.constData() + At);
  return std::uint16_t(p[0] | p[1] << 8);
}

QString Hex(std::uint32_t V) { return QStringLiteral("0x%1").arg(V, 4, 16, QLatin1Char('0')); }

// Inserts comment segments after the start-of-image marker until the file has
// Target bytes (or a few less): still a valid JPEG that decodes to the same picture.
QByteArray PadJpeg(const QByteArray& Jpeg, std::int64_t Target, const QByteArray& Tag) {
  if (Jpeg.size() < 4) return Jpeg;
  QByteArray segments;
  segments.reserve(qsizetype(std::max<std::int64_t>(Target - Jpeg.size(), 0) + Tag.size() + 8));
  auto add = [&](qsizetype Payload, const QByteArray* Text) {
    segments.append("\xFF\xFE", 2);
    const std::uint16_t length = std::uint16_t(Payload + 2);
    segments.append(char(length >> 8));
    segments.append(char(length & 0xFF));
    if (Text)
      segments.append(*Text);
    else
      segments.append(Payload, '\0');
  };
  if (!Tag.isEmpty()) add(Tag.size(), &Tag);
  std::int64_t room = Target - Jpeg.size() - segments.size();
  while (room >= 4) {
    std::int64_t payload = std::min<std::int64_t>(65533, room - 4);
    const std::int64_t rest = room - 4 - payload;
    // A remainder of 1 to 3 bytes could not hold a segment: leave room for one more.
    if (rest > 0 && rest < 4) payload -= 4;
    add(qsizetype(payload), nullptr);
    room -= payload + 4;
  }
  return Jpeg.left(2) + segments + Jpeg.mid(2);
}

struct TObject {
  std::uint32_t Handle = 0;
  QString Name;
  QByteArray Data;
  int Width = 0, Height = 0;
  QDateTime Taken;
  // Bytes from the start that a host has been sent without a gap.
  std::int64_t Sent = 0;
};

struct TRenderJob {
  int Shot = 0;
  QImage Frame;
  QString Name;
  std::uint32_t Transaction = 0;
};

struct TRendered {
  QString Name;
  QByteArray Data;
  int Width = 0, Height = 0;
  std::uint32_t Transaction = 0;
};

struct TConnection {
  int Fd = -1;
  QByteArray In;
  TClock::time_point Deadline;
};

struct TReply {
  TReply(std::uint16_t C = PtpCode::Ok, std::vector<std::uint32_t> P = {}, bool S = false)
      : Code(C), Params(std::move(P)), Silent(S) {}
  std::uint16_t Code;
  std::vector<std::uint32_t> Params;
  // No response at all: the connection is gone.
  bool Silent;
};

void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

}  // namespace

struct TPtpIpCamera::TState {
  explicit TState(const TPtpIpCameraOptions& O) : Options(O) {}

  const TPtpIpCameraOptions& Options;

  // Shared with the public functions.
  mutable std::mutex Lock;
  QString Error;
  TPtpIpCameraStats Stats;
  std::vector<TPtpIpServedPhoto> Served;
  QByteArray LastServed;

  // Between the serving and the rendering thread.
  std::mutex JobLock;
  std::condition_variable JobReady;
  std::deque<TRenderJob> Jobs;
  std::deque<TRendered> Done;
  std::atomic<bool> Stopping{false};
  int Wake[2] = {-1, -1};

  // The serving thread's own.
  int Listener = -1;
  TClock::time_point Deadline;
  TConnection Cmd, Evt;
  std::vector<TConnection> Pending;
  std::uint32_t ConnectionId = 0;
  TClock::time_point EventDeadline;
  bool SessionOpen = false;
  int HostNumber = 0;
  std::vector<TObject> Card;
  std::uint32_t NextHandle = 1;
  int Shots = 0, PhotosMade = 0, Transfers = 0, NameCounter = 0;
  std::map<std::uint16_t, int> OperationCounts;
  bool DropAfterReply = false;

  void Say(const QString& Line) const {
    if (Options.Log) Options.Log(Line);
  }
  void Poke() {
    if (Wake[1] >= 0) {
      const char c = 'w';
      [[maybe_unused]] auto n = ::write(Wake[1], &c, 1);
    }
  }

  // ---- sockets

  // Sends every byte or gives up after WriteLimit; never raises SIGPIPE.
  bool SendAll(int Fd, const char* Head, std::size_t HeadSize, const char* Body,
               std::size_t BodySize) {
    const auto limit = TClock::now() + WriteLimit;
    std::size_t done = 0;
    const std::size_t total = HeadSize + BodySize;
    while (done < total) {
      iovec parts[2];
      int count = 0;
      if (done < HeadSize) parts[count++] = {const_cast<char*>(Head + done), HeadSize - done};
      const std::size_t bodyDone = done > HeadSize ? done - HeadSize : 0;
      if (BodySize > bodyDone) parts[count++] = {const_cast<char*>(Body + bodyDone), BodySize - bodyDone};
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = std::size_t(count);
      const ssize_t n = ::sendmsg(Fd, &message, MSG_NOSIGNAL);
      if (n > 0) {
        done += std::size_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (Stopping || TClock::now() > limit) return false;
        pollfd p{Fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    return true;
  }

  bool SendPacket(int Fd, std::uint32_t Type, const QByteArray& Body, const char* Payload = nullptr,
                  std::size_t PayloadSize = 0) {
    QByteArray head;
    Put32(head, std::uint32_t(8 + Body.size() + PayloadSize));
    Put32(head, Type);
    head += Body;
    return SendAll(Fd, head.constData(), std::size_t(head.size()), Payload, PayloadSize);
  }

  bool SendData(std::uint32_t Transaction, const char* Data, std::int64_t Size) {
    QByteArray start;
    Put32(start, Transaction);
    Put64(start, std::uint64_t(Size));
    if (!SendPacket(Cmd.Fd, StartDataPacket, start)) return false;
    QByteArray id;
    Put32(id, Transaction);
    std::int64_t at = 0;
    do {
      const std::int64_t chunk = std::min(DataChunk, Size - at);
      const bool last = at + chunk >= Size;
      if (!SendPacket(Cmd.Fd, last ? EndDataPacket : DataPacket, id, Data + at, std::size_t(chunk)))
        return false;
      at += chunk;
    } while (at < Size);
    return true;
  }

  bool SendEvent(std::uint16_t Code, std::uint32_t Transaction, std::vector<std::uint32_t> Params) {
    QByteArray body;
    Put16(body, Code);
    Put32(body, Transaction);
    for (std::uint32_t p : Params) Put32(body, p);
    return SendPacket(Evt.Fd, EventPacket, body);
  }

  // Reads what is there; false at the end of the stream or on an error.
  static bool Receive(TConnection& C) {
    char buffer[65536];
    for (int round = 0; round < 64; ++round) {
      const ssize_t n = ::recv(C.Fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        C.In.append(buffer, qsizetype(n));
        if (std::size_t(n) < sizeof buffer) return true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      return false;
    }
    return true;
  }

  // Takes one whole packet off In; Bad turns true for a packet that is not PTP/IP.
  static bool TakePacket(QByteArray& In, std::uint32_t& Type, QByteArray& Body, bool& Bad) {
    if (In.size() < 8) return false;
    const std::uint32_t length = Get32(In, 0);
    if (length < 8 || length > MaxHostPacket) {
      Bad = true;
      return false;
    }
    if (In.size() < qsizetype(length)) return false;
    Type = Get32(In, 4);
    Body = In.mid(8, qsizetype(length) - 8);
    In.remove(0, qsizetype(length));
    return true;
  }

  // ---- host lifecycle

  void EndHost(const QString& Why) {
    if (Cmd.Fd < 0 && Evt.Fd < 0) return;
    CloseFd(Cmd.Fd);
    CloseFd(Evt.Fd);
    Cmd.In.clear();
    Evt.In.clear();
    SessionOpen = false;
    Say(QStringLiteral("host %1 %2").arg(HostNumber).arg(Why));
  }

  void Drop(const QString& Why) {
    {
      std::lock_guard guard(Lock);
      ++Stats.Drops;
    }
    EndHost(QStringLiteral("dropped: %1 (fault)").arg(Why));
  }

  // True while the command connection is open at the other end.
  bool HostAlive() const {
    if (Cmd.Fd < 0) return false;
    pollfd p{Cmd.Fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return true;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    char c;
    return ::recv(Cmd.Fd, &c, 1, MSG_PEEK) != 0;
  }

  void AcceptOne() {
    const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    TConnection c;
    c.Fd = fd;
    c.Deadline = TClock::now() + HandshakeLimit;
    Pending.push_back(std::move(c));
  }

  void Refuse(TConnection& C, const QString& Why) {
    QByteArray reason;
    Put32(reason, InitFailBusy);
    SendPacket(C.Fd, InitFail, reason);
    CloseFd(C.Fd);
    std::lock_guard guard(Lock);
    ++Stats.HostsRefused;
    Say(QStringLiteral("refused a connection: %1").arg(Why));
  }

  // The first packet of a new connection says what it is.
  void Identify(TConnection& C) {
    if (!Receive(C)) {
      CloseFd(C.Fd);
      return;
    }
    std::uint32_t type = 0;
    QByteArray body;
    bool bad = false;
    if (!TakePacket(C.In, type, body, bad)) {
      if (bad) CloseFd(C.Fd);
      return;
    }
    if (type == InitCommandRequest) {
      if (Cmd.Fd >= 0 && HostAlive()) return Refuse(C, QStringLiteral("a host is connected"));
      EndHost(QStringLiteral("left"));
      Cmd = std::move(C);
      C.Fd = -1;
      ++HostNumber;
      ConnectionId = std::uint32_t(HostNumber);
      EventDeadline = TClock::now() + HandshakeLimit;
      QString name;
      for (qsizetype at = 16; at + 1 < body.size(); at += 2) {
        const std::uint16_t c = Get16(body, at);
        if (c == 0) break;
        name.append(QChar(c));
      }
      QByteArray ack;
      Put32(ack, ConnectionId);
      const char guid[16] = {'C', 'o', 'r', 'v', 'a', 'l', 'e', 't', 'P', 'T', 'P', 'I', 'P', 0, 0, 1};
      ack.append(guid, 16);
      for (QChar c : QStringLiteral("Corvalet emulated camera")) Put16(ack, c.unicode());
      Put16(ack, 0);
      Put32(ack, 0x00010000);
      if (!SendPacket(Cmd.Fd, InitCommandAck, ack)) return EndHost(QStringLiteral("lost at handshake"));
      Say(QStringLiteral("host %1 connected: \"%2\"").arg(HostNumber).arg(name));
      return;
    }
    if (type == InitEventRequest) {
      if (Cmd.Fd < 0 || Evt.Fd >= 0 || Get32(body, 0) != ConnectionId)
        return Refuse(C, QStringLiteral("an event connection for no waiting host"));
      Evt = std::move(C);
      C.Fd = -1;
      if (!SendPacket(Evt.Fd, InitEventAck, {})) return EndHost(QStringLiteral("lost at handshake"));
      std::lock_guard guard(Lock);
      ++Stats.Hosts;
      return;
    }
    Say(QStringLiteral("closed a connection that began with packet type %1").arg(type));
    CloseFd(C.Fd);
  }

  void ReadCommands() {
    if (!Receive(Cmd)) return EndHost(QStringLiteral("left"));
    std::uint32_t type = 0;
    QByteArray body;
    bool bad = false;
    while (Cmd.Fd >= 0 && TakePacket(Cmd.In, type, body, bad)) {
      if (type == OperationRequest) {
        std::vector<std::uint32_t> params;
        for (qsizetype at = 10; at + 4 <= body.size() && params.size() < 5; at += 4)
          params.push_back(Get32(body, at));
        Operate(Get16(body, 4), Get32(body, 6), params);
      } else if (type != StartDataPacket && type != DataPacket && type != EndDataPacket) {
        // Data for an operation already refused is skipped; anything else is noted.
        Say(QStringLiteral("ignored packet type %1 on the command connection").arg(type));
      }
    }
    if (bad) EndHost(QStringLiteral("sent a malformed packet: closed"));
  }

  void ReadEvents() {
    if (!Receive(Evt)) return EndHost(QStringLiteral("left"));
    Evt.In.clear();
  }

  // ---- operations

  void Operate(std::uint16_t Code, std::uint32_t Transaction, const std::vector<std::uint32_t>& P) {
    const auto started = TClock::now();
    const int nth = ++OperationCounts[Code];
    if (Options.SlowOperation == Code && Options.SlowNth == nth) {
      Say(QStringLiteral("operation %1 number %2 answered %3 ms late (fault)")
              .arg(Hex(Code)).arg(nth).arg(Options.SlowMs));
      WaitInterruptibly(std::chrono::milliseconds(Options.SlowMs));
      if (Stopping) return;
    }
    auto param = [&](std::size_t I) { return I < P.size() ? P[I] : 0u; };
    TReply reply = Dispatch(Code, Transaction, param(0), param(1), param(2));
    if (reply.Silent || Cmd.Fd < 0) return;
    QByteArray body;
    Put16(body, reply.Code);
    Put32(body, Transaction);
    for (std::uint32_t p : reply.Params) Put32(body, p);
    if (!SendPacket(Cmd.Fd, OperationResponse, body)) return EndHost(QStringLiteral("lost: reply not sent"));
    const std::int64_t us =
        std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - started).count();
    {
      std::lock_guard guard(Lock);
      TPtpIpOperationTiming& t = Stats.Operations[Code];
      ++t.Count;
      t.TotalUs += us;
      t.MaxUs = std::max(t.MaxUs, us);
    }
    if (Options.Verbose)
      Say(QStringLiteral("operation %1 (%2, %3, %4) -> %5 in %6 ms")
              .arg(Hex(Code)).arg(Hex(param(0))).arg(Hex(param(1))).arg(Hex(param(2)))
              .arg(Hex(reply.Code)).arg(double(us) / 1000.0, 0, 'f', 2));
    if (DropAfterReply) {
      DropAfterReply = false;
      Drop(QStringLiteral("after transfer %1").arg(Transfers));
    }
  }

  void WaitInterruptibly(std::chrono::milliseconds Limit) {
    const auto until = TClock::now() + Limit;
    while (!Stopping && TClock::now() < until) {
      pollfd p{Wake[0], POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now());
      ::poll(&p, 1, int(std::clamp<std::int64_t>(left.count(), 1, 200)));
    }
  }

  TObject* Find(std::uint32_t Handle) {
    for (TObject& o : Card)
      if (o.Handle == Handle) return &o;
    return nullptr;
  }

  TReply Dispatch(std::uint16_t Code, std::uint32_t Transaction, std::uint32_t P1, std::uint32_t P2,
                  std::uint32_t P3) {
    using namespace PtpCode;
    if (Code == GetDeviceInfo) return SendDataSet(Transaction, DeviceInfo());
    if (Code == OpenSession) {
      if (P1 == 0) return {InvalidParameter};
      if (SessionOpen) return {SessionAlreadyOpen, {P1}};
      SessionOpen = true;
      return {};
    }
    if (!SessionOpen) return {Code == CloseSession || IsSupported(Code) ? SessionNotOpen : OperationNotSupported};
    switch (Code) {
      case CloseSession:
        SessionOpen = false;
        return {};
      case GetStorageIDs: {
        QByteArray ids;
        Put32(ids, 1);
        Put32(ids, StorageId);
        return SendDataSet(Transaction, ids);
      }
      case GetStorageInfo:
        if (P1 != StorageId) return {InvalidStorageId};
        return SendDataSet(Transaction, StorageInfo());
      case GetObjectHandles: {
        if (P1 != 0xFFFFFFFFu && P1 != StorageId) return {InvalidStorageId};
        if (P3 != 0 && P3 != 0xFFFFFFFFu) return {InvalidParentObject};
        QByteArray handles;
        const bool any = P2 == 0 || P2 == FormatJpeg;
        Put32(handles, any ? std::uint32_t(Card.size()) : 0);
        if (any)
          for (const TObject& o : Card) Put32(handles, o.Handle);
        return SendDataSet(Transaction, handles);
      }
      case GetObjectInfo: {
        const TObject* o = Find(P1);
        if (!o) return {InvalidObjectHandle};
        return SendDataSet(Transaction, ObjectInfo(*o));
      }
      case GetObject: {
        TObject* o = Find(P1);
        if (!o) return {InvalidObjectHandle};
        return Transfer(Transaction, *o, 0, o->Data.size());
      }
      case GetPartialObject: {
        TObject* o = Find(P1);
        if (!o) return {InvalidObjectHandle};
        if (qsizetype(P2) > o->Data.size()) return {InvalidParameter};
        const std::int64_t size = std::min<std::int64_t>(P3, o->Data.size() - P2);
        TReply reply = Transfer(Transaction, *o, P2, size);
        if (reply.Code == Ok) reply.Params = {std::uint32_t(size)};
        return reply;
      }
      case DeleteObject: {
        if (P1 == 0xFFFFFFFFu) {
          Card.clear();
        } else {
          auto at = std::find_if(Card.begin(), Card.end(), [&](const TObject& o) { return o.Handle == P1; });
          if (at == Card.end()) return {InvalidObjectHandle};
          Card.erase(at);
        }
        std::lock_guard guard(Lock);
        ++Stats.Deletes;
        Stats.ObjectsOnCard = int(Card.size());
        return {};
      }
      case InitiateCapture:
        return Capture(Transaction);
      default:
        return {OperationNotSupported};
    }
  }

  static bool IsSupported(std::uint16_t Code) {
    for (std::uint16_t c : SupportedOperations())
      if (c == Code) return true;
    return false;
  }

  static const std::vector<std::uint16_t>& SupportedOperations() {
    using namespace PtpCode;
    static const std::vector<std::uint16_t> codes = {
        GetDeviceInfo, OpenSession,   CloseSession, GetStorageIDs,   GetStorageInfo,  GetObjectHandles,
        GetObjectInfo, GetObject,     DeleteObject, InitiateCapture, GetPartialObject};
    return codes;
  }

  TReply SendDataSet(std::uint32_t Transaction, const QByteArray& Data) {
    if (!SendData(Transaction, Data.constData(), Data.size())) {
      EndHost(QStringLiteral("lost during a data phase"));
      return {PtpCode::GeneralError, {}, true};
    }
    return {};
  }

  TReply Transfer(std::uint32_t Transaction, TObject& O, std::int64_t Offset, std::int64_t Size) {
    const QByteArray data = O.Data;  // shares the bytes, no copy
    const QString name = O.Name;
    if (!SendData(Transaction, data.constData() + Offset, Size)) {
      EndHost(QStringLiteral("lost while sending %1").arg(name));
      return {PtpCode::GeneralError, {}, true};
    }
    // Served in full: the piece that completes a gapless run from the first byte.
    const std::int64_t had = Offset == 0 ? 0 : O.Sent;
    O.Sent = Offset <= had ? std::max(had, Offset + Size) : had;
    if (O.Sent == data.size() && (had < data.size() || (data.isEmpty() && Offset == 0))) {
      ++Transfers;
      TPtpIpServedPhoto served{name, data.size(),
                               QCryptographicHash::hash(data, QCryptographicHash::Sha256)};
      {
        std::lock_guard guard(Lock);
        Served.push_back(std::move(served));
        LastServed = data;
      }
      if (Options.DropAfterTransfer == Transfers) DropAfterReply = true;
    }
    return {};
  }

  TReply Capture(std::uint32_t Transaction) {
    const int shot = ++Shots;
    {
      std::lock_guard guard(Lock);
      ++Stats.Captures;
    }
    if (Options.DropAtCapture == shot) {
      Drop(QStringLiteral("at capture %1").arg(shot));
      return {PtpCode::GeneralError, {}, true};
    }
    if (Options.BusyOnCapture == shot) {
      Say(QStringLiteral("capture %1: device busy (fault)").arg(shot));
      return {PtpCode::DeviceBusy};
    }
    if (Options.SwallowCapture == shot) {
      Say(QStringLiteral("capture %1 swallowed: no photo will come (fault)").arg(shot));
      return {};
    }
    TRenderJob job;
    job.Shot = shot;
    // The shutter sees what is in front of the lens at the moment of the command.
    if (Options.PhotoBytes <= 0) job.Frame = Options.Scene ? Options.Scene() : LatestProjectorFrame();
    job.Name = QStringLiteral("IMG_%1.JPG").arg(NameCounter % 9999 + 1, 4, 10, QLatin1Char('0'));
    ++NameCounter;
    job.Transaction = Transaction;
    {
      std::lock_guard guard(JobLock);
      Jobs.push_back(std::move(job));
    }
    JobReady.notify_one();
    return {};
  }

  QByteArray DeviceInfo() const {
    QByteArray d;
    Put16(d, 100);
    Put32(d, 0);  // no vendor extension: hosts take the generic PTP path
    Put16(d, 0);
    PutString(d, {});
    Put16(d, 0);
    PutArray16(d, SupportedOperations());
    PutArray16(d, {PtpCode::ObjectAdded, PtpCode::CaptureComplete});
    PutArray16(d, {});
    PutArray16(d, {FormatJpeg});
    PutArray16(d, {FormatJpeg});
    PutString(d, QStringLiteral("CorvaletScan"));
    PutString(d, QStringLiteral("PTP/IP camera emulator"));
    PutString(d, QStringLiteral("1.0"));
    PutString(d, QStringLiteral("0001"));
    return d;
  }

  QByteArray StorageInfo() const {
    std::uint64_t used = 0;
    for (const TObject& o : Card) used += std::uint64_t(o.Data.size());
    const std::uint64_t free = CardCapacity - std::min(used, CardCapacity);
    QByteArray d;
    Put16(d, 0x0004);  // removable RAM
    Put16(d, 0x0002);  // generic hierarchical
    Put16(d, 0x0000);  // read-write
    Put64(d, CardCapacity);
    Put64(d, free);
    Put32(d, std::uint32_t(free / (4 * 1024 * 1024)));
    PutString(d, QStringLiteral("Emulated card"));
    PutString(d, QStringLiteral("CORVALET"));
    return d;
  }

  static QByteArray ObjectInfo(const TObject& O) {
    QByteArray d;
    Put32(d, StorageId);
    Put16(d, FormatJpeg);
    Put16(d, 0);
    Put32(d, std::uint32_t(O.Data.size()));
    Put16(d, 0);
    Put32(d, 0);
    Put32(d, 0);
    Put32(d, 0);
    Put32(d, std::uint32_t(O.Width));
    Put32(d, std::uint32_t(O.Height));
    Put32(d, 24);
    Put32(d, 0);  // in the card's root
    Put16(d, 0);
    Put32(d, 0);
    Put32(d, 0);
    PutString(d, O.Name);
    const QString when = O.Taken.toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
    PutString(d, when);
    PutString(d, when);
    PutString(d, {});
    return d;
  }

  // Photos the renderer finished go on the card and are announced to the host.
  void DeliverRendered() {
    std::deque<TRendered> done;
    {
      std::lock_guard guard(JobLock);
      done.swap(Done);
    }
    for (TRendered& r : done) {
      TObject o;
      o.Handle = NextHandle++;
      o.Name = r.Name;
      o.Data = std::move(r.Data);
      o.Width = r.Width;
      o.Height = r.Height;
      o.Taken = QDateTime::currentDateTime();
      Card.push_back(o);
      {
        std::lock_guard guard(Lock);
        ++Stats.Photos;
        Stats.ObjectsOnCard = int(Card.size());
      }
      Say(QStringLiteral("photo %1 (%2 bytes) is object %3").arg(o.Name).arg(o.Data.size()).arg(o.Handle));
      if (Evt.Fd < 0) continue;
      if (!SendEvent(PtpCode::ObjectAdded, r.Transaction, {o.Handle}) ||
          !SendEvent(PtpCode::CaptureComplete, r.Transaction, {}))
        EndHost(QStringLiteral("lost while announcing %1").arg(o.Name));
    }
  }

  // ---- threads

  void Serve() {
    while (!Stopping) {
      const auto now = TClock::now();
      if (now >= Deadline) {
        Say(QStringLiteral("lifetime of %1 s over: stopping").arg(Options.LifetimeSeconds));
        break;
      }
      auto next = Deadline;
      for (const TConnection& c : Pending) next = std::min(next, c.Deadline);
      if (Cmd.Fd >= 0 && Evt.Fd < 0) next = std::min(next, EventDeadline);
      std::vector<pollfd> fds{{Wake[0], POLLIN, 0}, {Listener, POLLIN, 0}};
      if (Cmd.Fd >= 0) fds.push_back({Cmd.Fd, POLLIN, 0});
      if (Evt.Fd >= 0) fds.push_back({Evt.Fd, POLLIN, 0});
      for (const TConnection& c : Pending) fds.push_back({c.Fd, POLLIN, 0});
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
      if (::poll(fds.data(), fds.size(), int(std::clamp<std::int64_t>(wait, 0, 1000))) < 0 &&
          errno != EINTR)
        break;
      if (fds[0].revents) {
        char sink[64];
        while (::read(Wake[0], sink, sizeof sink) > 0) {
        }
      }
      DeliverRendered();
      // The present host first: one that just left frees the camera for the next.
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        if (fds[i].fd == Cmd.Fd)
          ReadCommands();
        else if (fds[i].fd == Evt.Fd)
          ReadEvents();
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        for (TConnection& c : Pending)
          if (c.Fd == fds[i].fd) Identify(c);
      }
      Pending.erase(std::remove_if(Pending.begin(), Pending.end(), [](const TConnection& c) { return c.Fd < 0; }),
                    Pending.end());
      if (fds[1].revents & POLLIN) AcceptOne();
      const auto later = TClock::now();
      for (TConnection& c : Pending)
        if (later >= c.Deadline) CloseFd(c.Fd);
      Pending.erase(std::remove_if(Pending.begin(), Pending.end(), [](const TConnection& c) { return c.Fd < 0; }),
                    Pending.end());
      if (Cmd.Fd >= 0 && Evt.Fd < 0 && later >= EventDeadline)
        EndHost(QStringLiteral("opened no event connection: closed"));
    }
    EndHost(QStringLiteral("disconnected: the camera stops"));
    for (TConnection& c : Pending) CloseFd(c.Fd);
    Pending.clear();
  }

  void Render() {
    QByteArray plain;  // the picture of a fixed-size photo, encoded once
    while (true) {
      TRenderJob job;
      {
        std::unique_lock guard(JobLock);
        JobReady.wait(guard, [&] { return Stopping || !Jobs.empty(); });
        if (Stopping) return;
        job = std::move(Jobs.front());
        Jobs.pop_front();
      }
      TRendered r;
      r.Name = job.Name;
      r.Transaction = job.Transaction;
      const QByteArray tag = QStringLiteral("CorvaletScan emulated camera, shot %1").arg(job.Shot).toLatin1();
      std::int64_t padTo = Options.PhotoBytes;
      if (Options.HugePhotoAt == job.Shot) padTo = std::max(padTo, Options.HugePhotoBytes);
      if (Options.PhotoBytes > 0) {
        if (plain.isEmpty()) {
          QImage grey(160, 120, QImage::Format_RGB888);
          grey.fill(QColor(SimAmbientTop, SimAmbientTop, SimAmbientTop));
          plain = SimEncodeJpeg(grey);
        }
        r.Data = PadJpeg(plain, padTo, tag);
        r.Width = 160;
        r.Height = 120;
      } else {
        const QImage scene = SimRenderScene(job.Frame, Options.Width, Options.Height,
                                            Options.Seed ^ (std::uint32_t(job.Shot) * 0x9E3779B1u), &Stopping);
        if (Stopping) return;
        r.Data = SimEncodeJpeg(scene);
        r.Width = Options.Width;
        r.Height = Options.Height;
        if (padTo > r.Data.size()) r.Data = PadJpeg(r.Data, padTo, tag);
      }
      if (r.Data.isEmpty()) {
        Say(QStringLiteral("shot %1: the photo could not be encoded").arg(job.Shot));
        continue;
      }
      if (Options.LatencyMs > 0) {
        std::unique_lock guard(JobLock);
        JobReady.wait_for(guard, std::chrono::milliseconds(Options.LatencyMs), [&] { return Stopping.load(); });
        if (Stopping) return;
      }
      {
        std::lock_guard guard(JobLock);
        Done.push_back(std::move(r));
      }
      Poke();
    }
  }
};

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
    s.Stopping = true;
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

QByteArray TPtpIpCamera::LastServedPhoto() const {
  std::lock_guard guard(State->Lock);
  return State->LastServed;
}
