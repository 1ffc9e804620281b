#include <poll.h>

#include <QCryptographicHash>
#include <algorithm>

#include "platform/ProjectorFeed.h"
#include "sdk/ptpip/PtpIpState.h"

using namespace PtpIpDetail;

void TPtpIpCamera::TState::Operate(std::uint16_t Code, std::uint32_t Transaction, const std::vector<std::uint32_t>& P) {
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

void TPtpIpCamera::TState::WaitInterruptibly(std::chrono::milliseconds Limit) {
  const auto until = TClock::now() + Limit;
  while (!Stopping && TClock::now() < until) {
    pollfd p{Wake[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now());
    ::poll(&p, 1, int(std::clamp<std::int64_t>(left.count(), 1, 200)));
  }
}

TObject* TPtpIpCamera::TState::Find(std::uint32_t Handle) {
  for (TObject& o : Card)
    if (o.Handle == Handle) return &o;
  return nullptr;
}

TReply TPtpIpCamera::TState::Dispatch(std::uint16_t Code, std::uint32_t Transaction, std::uint32_t P1, std::uint32_t P2,
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
    case GetDevicePropDesc:
      return GetPropertyDesc(Transaction, std::uint16_t(P1));
    case GetDevicePropValue:
      return GetPropertyValue(Transaction, std::uint16_t(P1));
    case SetDevicePropValue:
      return SetPropertyValue(std::uint16_t(P1), HostData);
    default:
      return {OperationNotSupported};
  }
}

bool TPtpIpCamera::TState::IsSupported(std::uint16_t Code) {
  for (std::uint16_t c : SupportedOperations())
    if (c == Code) return true;
  return false;
}

const std::vector<std::uint16_t>& TPtpIpCamera::TState::SupportedOperations() {
  using namespace PtpCode;
  static const std::vector<std::uint16_t> codes = {
      GetDeviceInfo, OpenSession,   CloseSession, GetStorageIDs,   GetStorageInfo,  GetObjectHandles,
      GetObjectInfo, GetObject,     DeleteObject, InitiateCapture, GetPartialObject,
      GetDevicePropDesc, GetDevicePropValue, SetDevicePropValue};
  return codes;
}

TReply TPtpIpCamera::TState::SendDataSet(std::uint32_t Transaction, const QByteArray& Data) {
  if (!SendData(Transaction, Data.constData(), Data.size())) {
    EndHost(QStringLiteral("lost during a data phase"));
    return {PtpCode::GeneralError, {}, true};
  }
  return {};
}

TReply TPtpIpCamera::TState::Transfer(std::uint32_t Transaction, TObject& O, std::int64_t Offset, std::int64_t Size) {
  const QByteArray data = O.Data;  // shares the bytes, no copy
  const QString name = O.Name;
  const std::uint32_t handle = O.Handle;
  if (!SendData(Transaction, data.constData() + Offset, Size)) {
    EndHost(QStringLiteral("lost while sending %1").arg(name));
    return {PtpCode::GeneralError, {}, true};
  }
  // Photos announced while the data went out joined the card: O may have moved.
  TObject* sent = Find(handle);
  if (!sent) return {};
  // Served in full: the piece that completes a gapless run from the first byte.
  const std::int64_t had = Offset == 0 ? 0 : sent->Sent;
  sent->Sent = Offset <= had ? std::max(had, Offset + Size) : had;
  if (Offset == 0 || !sent->SentHash)
    sent->SentHash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
  if (sent->Sent > had) sent->SentHash->addData(QByteArrayView(data.constData() + had, sent->Sent - had));
  if (sent->Sent == data.size() && (had < data.size() || (data.isEmpty() && Offset == 0))) {
    ++Transfers;
    TPtpIpServedPhoto served{name, data.size(), sent->SentHash->result()};
    {
      std::lock_guard guard(Lock);
      Served.push_back(std::move(served));
      LastServed = data;
    }
    if (Options.DropAfterTransfer == Transfers) DropAfterReply = true;
  }
  return {};
}

TReply TPtpIpCamera::TState::Capture(std::uint32_t Transaction) {
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
  if (Options.PhotoBytes <= 0 && Options.Scene) {
    // Reading a screen can take seconds on a busy machine, longer than a host
    // waits for the answer: the answer goes first, as a camera's does, and the
    // photo follows. The host changes nothing in front of the lens before it comes.
    job.FromScene = true;
    job.Settings = Settings;
  } else {
    // The shutter sees what is in front of the lens at the moment of the command.
    if (Options.PhotoBytes <= 0) job.Frame = LatestProjectorFrame();
    job.Exposure = SimExposureScale(Settings, job.Frame);
  }
  job.Name = QStringLiteral("IMG_%1.JPG").arg(NameCounter % 9999 + 1, 4, 10, QLatin1Char('0'));
  ++NameCounter;
  job.Transaction = Transaction;
  job.Due = TClock::now() + std::chrono::milliseconds(Options.CameraTimeMs);
  {
    std::lock_guard guard(JobLock);
    Jobs.push_back(std::move(job));
  }
  JobReady.notify_one();
  TurnDials(shot);
  return {};
}

QByteArray TPtpIpCamera::TState::DeviceInfo() const {
  QByteArray d;
  Put16(d, 100);
  Put32(d, 0);  // no vendor extension: hosts take the generic PTP path
  Put16(d, 0);
  PutString(d, {});
  Put16(d, 0);
  PutArray16(d, SupportedOperations());
  PutArray16(d, {PtpCode::ObjectAdded, PtpCode::DevicePropChanged, PtpCode::CaptureComplete});
  PutArray16(d, SupportedProperties());
  PutArray16(d, {FormatJpeg});
  PutArray16(d, {FormatJpeg});
  PutString(d, QStringLiteral("CorvaletScan"));
  PutString(d, QStringLiteral("PTP/IP camera emulator"));
  PutString(d, QStringLiteral("1.0"));
  PutString(d, QStringLiteral("0001"));
  return d;
}

QByteArray TPtpIpCamera::TState::StorageInfo() const {
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

QByteArray TPtpIpCamera::TState::ObjectInfo(const TObject& O) {
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
