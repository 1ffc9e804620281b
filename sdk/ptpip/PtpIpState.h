#pragma once

// The PTP/IP camera's state and its wire format, shared by its files: the
// serving thread's connections and card, the rendering thread's jobs, and the
// counters the public functions read.

#include <unistd.h>

#include <QDateTime>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>

#include "sdk/ptpip/PtpIpCamera.h"

namespace PtpIpDetail {

using TClock = std::chrono::steady_clock;

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
// The longest property value a host may send: the longest PTP string is 511 bytes.
constexpr qsizetype MaxPropertyData = 1024;
constexpr std::int64_t DataChunk = 256 * 1024;
constexpr auto HandshakeLimit = std::chrono::seconds(5);
constexpr auto WriteLimit = std::chrono::seconds(10);

void Put16(QByteArray& B, std::uint16_t V);
void Put32(QByteArray& B, std::uint32_t V);
void Put64(QByteArray& B, std::uint64_t V);
// A PTP string: character count with the terminating zero, then UCS-2.
void PutString(QByteArray& B, const QString& S);
void PutArray16(QByteArray& B, const std::vector<std::uint16_t>& V);
// 0 past the end of B.
std::uint32_t Get32(const QByteArray& B, qsizetype At);
std::uint16_t Get16(const QByteArray& B, qsizetype At);
QString Hex(std::uint32_t V);
// Inserts comment segments after the start-of-image marker until the file has
// Target bytes (or a few less): still a valid JPEG that decodes to the same picture.
QByteArray PadJpeg(const QByteArray& Jpeg, std::int64_t Target, const QByteArray& Tag);

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
  // Light levels scaled by the settings at the shutter (1: 1/30 s, f/8, ISO 100).
  double Exposure = 1;
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

inline void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

}  // namespace PtpIpDetail

struct TPtpIpCamera::TState {
  using TClock = PtpIpDetail::TClock;
  using TConnection = PtpIpDetail::TConnection;
  using TObject = PtpIpDetail::TObject;
  using TReply = PtpIpDetail::TReply;
  using TRenderJob = PtpIpDetail::TRenderJob;
  using TRendered = PtpIpDetail::TRendered;

  explicit TState(const TPtpIpCameraOptions& O) : Options(O), Settings(O.Settings) {}

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
  int Shots = 0, Transfers = 0, NameCounter = 0;
  std::map<std::uint16_t, int> OperationCounts;
  bool DropAfterReply = false;
  // The capture settings; written by the serving thread under Lock.
  TSimSettings Settings;
  // A request whose data phase is still coming, and the data that came for it.
  struct TAwaitingData {
    std::uint16_t Code = 0;
    std::uint32_t Transaction = 0;
    std::vector<std::uint32_t> Params;
    QByteArray Data;
  };
  std::optional<TAwaitingData> Awaiting;
  QByteArray HostData;

  void Say(const QString& Line) const {
    if (Options.Log) Options.Log(Line);
  }

  // The serving thread (PtpIpHost.cpp): connections, handshake, packets.
  void Poke();
  // Sends every byte or gives up after WriteLimit; never raises SIGPIPE.
  bool SendAll(int Fd, const char* Head, std::size_t HeadSize, const char* Body,
               std::size_t BodySize);
  bool SendPacket(int Fd, std::uint32_t Type, const QByteArray& Body, const char* Payload = nullptr,
                  std::size_t PayloadSize = 0);
  bool SendData(std::uint32_t Transaction, const char* Data, std::int64_t Size);
  bool SendEvent(std::uint16_t Code, std::uint32_t Transaction, std::vector<std::uint32_t> Params);
  // Reads what is there; false at the end of the stream or on an error.
  static bool Receive(TConnection& C);
  // Takes one whole packet off In; Bad turns true for a packet that is not PTP/IP.
  static bool TakePacket(QByteArray& In, std::uint32_t& Type, QByteArray& Body, bool& Bad);
  void EndHost(const QString& Why);
  void Drop(const QString& Why);
  // True while the command connection is open at the other end.
  bool HostAlive() const;
  void AcceptOne();
  void Refuse(TConnection& C, const QString& Why);
  // The first packet of a new connection says what it is.
  void Identify(TConnection& C);
  void ReadCommands();
  // Answers the request whose data phase is awaited with Code at once, and
  // forgets it; the rest of its data is skipped.
  void RefuseAwaited(std::uint16_t Code, const QString& Why);
  void ReadEvents();
  void Serve();

  // Operations of a host (PtpIpOperations.cpp).
  void Operate(std::uint16_t Code, std::uint32_t Transaction, const std::vector<std::uint32_t>& P);
  void WaitInterruptibly(std::chrono::milliseconds Limit);
  TObject* Find(std::uint32_t Handle);
  TReply Dispatch(std::uint16_t Code, std::uint32_t Transaction, std::uint32_t P1, std::uint32_t P2,
                  std::uint32_t P3);
  static bool IsSupported(std::uint16_t Code);
  static const std::vector<std::uint16_t>& SupportedOperations();
  TReply SendDataSet(std::uint32_t Transaction, const QByteArray& Data);
  TReply Transfer(std::uint32_t Transaction, TObject& O, std::int64_t Offset, std::int64_t Size);
  TReply Capture(std::uint32_t Transaction);
  QByteArray DeviceInfo() const;

  // Device properties (PtpIpProperties.cpp).
  static const std::vector<std::uint16_t>& SupportedProperties();
  TReply GetPropertyDesc(std::uint32_t Transaction, std::uint16_t Property);
  TReply GetPropertyValue(std::uint32_t Transaction, std::uint16_t Property);
  TReply SetPropertyValue(std::uint16_t Property, const QByteArray& Data);
  // The turns of the dials due after capture Shot, each told with DevicePropChanged.
  void TurnDials(int Shot);
  QByteArray StorageInfo() const;
  static QByteArray ObjectInfo(const TObject& O);

  // Photos (PtpIpPhotos.cpp), rendered on their own thread.
  // Photos the renderer finished go on the card and are announced to the host.
  void DeliverRendered();
  void Render();
};
