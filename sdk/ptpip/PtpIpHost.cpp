#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sdk/ptpip/PtpIpState.h"

using namespace PtpIpDetail;

void TPtpIpCamera::TState::Poke() {
  if (Wake[1] >= 0) {
    const char c = 'w';
    [[maybe_unused]] auto n = ::write(Wake[1], &c, 1);
  }
}

bool TPtpIpCamera::TState::SendAll(int Fd, const char* Head, std::size_t HeadSize, const char* Body,
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

bool TPtpIpCamera::TState::SendPacket(int Fd, std::uint32_t Type, const QByteArray& Body, const char* Payload,
                std::size_t PayloadSize) {
  QByteArray head;
  Put32(head, std::uint32_t(8 + Body.size() + PayloadSize));
  Put32(head, Type);
  head += Body;
  return SendAll(Fd, head.constData(), std::size_t(head.size()), Payload, PayloadSize);
}

bool TPtpIpCamera::TState::SendData(std::uint32_t Transaction, const char* Data, std::int64_t Size) {
  QByteArray start;
  Put32(start, Transaction);
  Put64(start, std::uint64_t(Size));
  if (!SendPacket(Cmd.Fd, StartDataPacket, start)) return false;
  QByteArray id;
  Put32(id, Transaction);
  const auto begun = TClock::now();
  std::int64_t at = 0;
  do {
    const std::int64_t chunk = std::min(DataChunk, Size - at);
    const bool last = at + chunk >= Size;
    if (!SendPacket(Cmd.Fd, last ? EndDataPacket : DataPacket, id, Data + at, std::size_t(chunk)))
      return false;
    at += chunk;
    // 1 MB/s is one byte per microsecond.
    if (Options.BandwidthMBps > 0)
      PaceUntil(begun + std::chrono::microseconds(std::int64_t(double(at) / Options.BandwidthMBps)));
  } while (at < Size);
  return true;
}

void TPtpIpCamera::TState::PaceUntil(TClock::time_point Due) {
  while (!Stopping) {
    const auto now = TClock::now();
    if (now >= Due) return;
    pollfd p{Wake[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(Due - now).count();
    if (::poll(&p, 1, int(std::clamp<std::int64_t>((left + 999) / 1000, 1, 200))) > 0) {
      char sink[64];
      while (::read(Wake[0], sink, sizeof sink) > 0) {
      }
      // The event connection is free while the command connection carries data.
      DeliverRendered();
    }
  }
}

bool TPtpIpCamera::TState::SendEvent(std::uint16_t Code, std::uint32_t Transaction, std::vector<std::uint32_t> Params) {
  QByteArray body;
  Put16(body, Code);
  Put32(body, Transaction);
  for (std::uint32_t p : Params) Put32(body, p);
  return SendPacket(Evt.Fd, EventPacket, body);
}

bool TPtpIpCamera::TState::Receive(TConnection& C) {
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

bool TPtpIpCamera::TState::TakePacket(QByteArray& In, std::uint32_t& Type, QByteArray& Body, bool& Bad) {
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

void TPtpIpCamera::TState::EndHost(const QString& Why) {
  if (Cmd.Fd < 0 && Evt.Fd < 0) return;
  CloseFd(Cmd.Fd);
  CloseFd(Evt.Fd);
  Cmd.In.clear();
  Evt.In.clear();
  SessionOpen = false;
  Awaiting.reset();
  Say(QStringLiteral("host %1 %2").arg(HostNumber).arg(Why));
}

void TPtpIpCamera::TState::Drop(const QString& Why) {
  {
    std::lock_guard guard(Lock);
    ++Stats.Drops;
  }
  EndHost(QStringLiteral("dropped: %1 (fault)").arg(Why));
}

bool TPtpIpCamera::TState::HostAlive() const {
  if (Cmd.Fd < 0) return false;
  pollfd p{Cmd.Fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  char c;
  return ::recv(Cmd.Fd, &c, 1, MSG_PEEK) != 0;
}

void TPtpIpCamera::TState::AcceptOne() {
  const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  TConnection c;
  c.Fd = fd;
  c.Deadline = TClock::now() + HandshakeLimit;
  Pending.push_back(std::move(c));
}

void TPtpIpCamera::TState::Refuse(TConnection& C, const QString& Why) {
  // Counted before the host hears it: a host that gave up at once finds it counted.
  {
    std::lock_guard guard(Lock);
    ++Stats.HostsRefused;
  }
  QByteArray reason;
  Put32(reason, InitFailBusy);
  SendPacket(C.Fd, InitFail, reason);
  CloseFd(C.Fd);
  Say(QStringLiteral("refused a connection: %1").arg(Why));
}

void TPtpIpCamera::TState::Identify(TConnection& C) {
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

void TPtpIpCamera::TState::ReadCommands() {
  if (!Receive(Cmd)) return EndHost(QStringLiteral("left"));
  std::uint32_t type = 0;
  QByteArray body;
  bool bad = false;
  while (Cmd.Fd >= 0 && TakePacket(Cmd.In, type, body, bad)) {
    if (type == OperationRequest) {
      std::vector<std::uint32_t> params;
      for (qsizetype at = 10; at + 4 <= body.size() && params.size() < 5; at += 4)
        params.push_back(Get32(body, at));
      // Every request gets its response, also one whose data phase the host never ended.
      if (Awaiting)
        RefuseAwaited(PtpCode::IncompleteTransfer,
                      QStringLiteral("a new request came before the end of its data"));
      // The one operation that takes data from the host is answered once its data came.
      if (Get16(body, 4) == PtpCode::SetDevicePropValue && SessionOpen)
        Awaiting = TAwaitingData{Get16(body, 4), Get32(body, 6), params, {}};
      else
        Operate(Get16(body, 4), Get32(body, 6), params);
    } else if (type == StartDataPacket && Awaiting && Get32(body, 0) == Awaiting->Transaction) {
      const std::uint64_t announced = std::uint64_t(Get32(body, 8)) << 32 | Get32(body, 4);
      if (announced > std::uint64_t(MaxPropertyData))
        RefuseAwaited(
            PtpCode::InvalidDevicePropFormat,
            QStringLiteral("%1 bytes announced, over %2").arg(announced).arg(MaxPropertyData));
    } else if ((type == DataPacket || type == EndDataPacket) && Awaiting &&
               Get32(body, 0) == Awaiting->Transaction) {
      Awaiting->Data.append(body.mid(4));
      if (Awaiting->Data.size() > MaxPropertyData) {
        RefuseAwaited(PtpCode::InvalidDevicePropFormat,
                      QStringLiteral("over %1 bytes of data").arg(MaxPropertyData));
      } else if (type == EndDataPacket) {
        TAwaitingData done = std::move(*Awaiting);
        Awaiting.reset();
        HostData = std::move(done.Data);
        Operate(done.Code, done.Transaction, done.Params);
        HostData.clear();
      }
    } else if (type != StartDataPacket && type != DataPacket && type != EndDataPacket) {
      // Data for an operation already refused is skipped; anything else is noted.
      Say(QStringLiteral("ignored packet type %1 on the command connection").arg(type));
    }
  }
  if (bad) EndHost(QStringLiteral("sent a malformed packet: closed"));
}

void TPtpIpCamera::TState::RefuseAwaited(std::uint16_t Code, const QString& Why) {
  const TAwaitingData refused = std::move(*Awaiting);
  Awaiting.reset();
  Say(QStringLiteral("operation %1 (transaction %2) refused with %3: %4")
          .arg(Hex(refused.Code))
          .arg(refused.Transaction)
          .arg(Hex(Code))
          .arg(Why));
  {
    std::lock_guard guard(Lock);
    ++Stats.PropertySetsRefused;
  }
  QByteArray response;
  Put16(response, Code);
  Put32(response, refused.Transaction);
  if (!SendPacket(Cmd.Fd, OperationResponse, response))
    EndHost(QStringLiteral("lost: reply not sent"));
}

void TPtpIpCamera::TState::ReadEvents() {
  if (!Receive(Evt)) return EndHost(QStringLiteral("left"));
  Evt.In.clear();
}

void TPtpIpCamera::TState::Serve() {
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
