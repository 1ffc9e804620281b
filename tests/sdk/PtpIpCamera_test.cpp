#include "sdk/ptpip/PtpIpCamera.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include "platform/ProjectorFeed.h"
#include "tests/support/ChildProcess.h"

namespace {

using ChildProcess::Finish;
using ChildProcess::ReadText;
using ChildProcess::Spawn;
using ChildProcess::TRun;

// Runs the gphoto2 command against the camera in Dir.
TRun Gphoto2(std::uint16_t Port, const QString& Dir, const QStringList& Args, int LimitMs = 60000) {
  const QString program = QStandardPaths::findExecutable(QStringLiteral("gphoto2"));
  EXPECT_FALSE(program.isEmpty()) << "gphoto2 is not installed (tools/install-deps.sh installs it)";
  const QString log = Dir + QStringLiteral("/gphoto2.log");
  const pid_t pid = Spawn(program, QStringList{QStringLiteral("--port"), QStringLiteral("ptpip:127.0.0.1:%1:%1").arg(Port)} + Args, Dir, log);
  EXPECT_NE(pid, 0) << "gphoto2 did not start";
  return pid ? Finish(pid, log, LimitMs) : TRun{};
}

QByteArray ReadFile(const QString& Path) {
  QFile file(Path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int MeanLevel(const QByteArray& Jpeg) {
  const QImage picture = QImage::fromData(Jpeg, "JPG").convertToFormat(QImage::Format_Grayscale8);
  if (picture.isNull()) return -1;
  std::int64_t sum = 0;
  for (int y = 0; y < picture.height(); ++y) {
    const uchar* row = picture.constScanLine(y);
    for (int x = 0; x < picture.width(); ++x) sum += row[x];
  }
  return int(sum / (std::int64_t(picture.width()) * picture.height()));
}

QByteArray Le(std::uint64_t Value, int Bytes) {
  QByteArray bytes;
  for (int i = 0; i < Bytes; ++i) bytes.append(char((Value >> (8 * i)) & 0xFF));
  return bytes;
}

// A host on raw sockets, for what a real client never sends.
struct TRawHost {
  int Command = -1, Event = -1;
  ~TRawHost() {
    if (Command >= 0) ::close(Command);
    if (Event >= 0) ::close(Event);
  }
  static int Dial(std::uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  static bool Send(int Fd, std::uint32_t Type, const QByteArray& Body) {
    const QByteArray packet = Le(8 + std::uint64_t(Body.size()), 4) + Le(Type, 4) + Body;
    return ::send(Fd, packet.constData(), std::size_t(packet.size()), MSG_NOSIGNAL) ==
           packet.size();
  }
  // The next packet on Fd within Ms; false when none came.
  static bool Next(int Fd, std::uint32_t& Type, QByteArray& Body, int Ms = 10000) {
    pollfd ready{Fd, POLLIN, 0};
    char head[8];
    if (::poll(&ready, 1, Ms) != 1 || ::recv(Fd, head, 8, MSG_WAITALL) != 8) return false;
    const QByteArray h(head, 8);
    const std::uint32_t length =
        std::uint32_t(std::uint8_t(h[0])) | std::uint32_t(std::uint8_t(h[1])) << 8 |
        std::uint32_t(std::uint8_t(h[2])) << 16 | std::uint32_t(std::uint8_t(h[3])) << 24;
    Type = std::uint8_t(h[4]);
    Body = QByteArray(qsizetype(length) - 8, 0);
    return Body.isEmpty() ||
           ::recv(Fd, Body.data(), std::size_t(Body.size()), MSG_WAITALL) == Body.size();
  }
  // The command connection's handshake: Init Command Request with a GUID, the name "t",
  // version 1.0.
  bool Greet(std::uint16_t Port) {
    Command = Dial(Port);
    std::uint32_t type = 0;
    QByteArray ack;
    return Command >= 0 &&
           Send(Command, 1,
                QByteArray(16, 'g') + QByteArray::fromHex("74000000"
                                                          "00000100")) &&
           Next(Command, type, ack) && type == 2;
  }
  // Both connections, then an open session.
  bool Open(std::uint16_t Port) {
    if (!Greet(Port)) return false;
    Event = Dial(Port);
    std::uint32_t type = 0;
    QByteArray ack;
    return Event >= 0 && Send(Event, 3, Le(1, 4)) && Next(Event, type, ack) && type == 4 &&
           Request(PtpCode::OpenSession, 1, 1) && Response(1) == PtpCode::Ok;
  }
  bool Request(std::uint16_t Code, std::uint32_t Transaction, std::uint32_t Param) {
    return Send(Command, 6, Le(1, 4) + Le(Code, 2) + Le(Transaction, 4) + Le(Param, 4));
  }
  // The response code to Transaction, 0 when the next packet is something else or none came.
  std::uint16_t Response(std::uint32_t Transaction, int Ms = 10000) {
    std::uint32_t type = 0;
    QByteArray body;
    if (!Next(Command, type, body, Ms) || type != 7 || body.size() < 6 ||
        QByteArray(body.mid(2, 4)) != Le(Transaction, 4))
      return 0;
    return std::uint16_t(std::uint8_t(body[0]) | std::uint8_t(body[1]) << 8);
  }
};

TPtpIpCameraOptions Quick() {
  TPtpIpCameraOptions options;
  options.LifetimeSeconds = 240;
  return options;
}

// The independent client sees a camera, takes pictures of what the projector throws
// and downloads them byte for byte; one camera serves one run after another.
TEST(PtpIpCamera, Gphoto2SummaryCaptureAndDownload) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TPtpIpCameraOptions options = Quick();
  options.Width = 640;
  options.Height = 480;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();

  const TRun summary = Gphoto2(port, dir.path(), {QStringLiteral("--summary")});
  ASSERT_TRUE(summary.Finished);
  EXPECT_EQ(summary.ExitCode, 0) << summary.Output.toStdString();
  EXPECT_TRUE(summary.Output.contains(QStringLiteral("Model: PTP/IP camera emulator")));
  EXPECT_TRUE(summary.Output.contains(QStringLiteral("Generic Image Capture")));
  EXPECT_TRUE(summary.Output.contains(QStringLiteral("File Deletion")));

  QImage white(400, 300, QImage::Format_RGB888);
  white.fill(Qt::white);
  PublishProjectorFrame(white);
  const TRun lit = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  ClearProjectorFrame();
  const TRun dark = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  ASSERT_TRUE(lit.Finished && dark.Finished);
  EXPECT_EQ(lit.ExitCode, 0) << lit.Output.toStdString();
  EXPECT_EQ(dark.ExitCode, 0) << dark.Output.toStdString();

  const std::vector<TPtpIpServedPhoto> served = camera.Served();
  ASSERT_EQ(served.size(), 2u);
  const QByteArray first = ReadFile(dir.filePath(QStringLiteral("IMG_0001.JPG")));
  const QByteArray second = ReadFile(dir.filePath(QStringLiteral("IMG_0002.JPG")));
  EXPECT_EQ(served[0].Name, QStringLiteral("IMG_0001.JPG"));
  EXPECT_EQ(QCryptographicHash::hash(first, QCryptographicHash::Sha256), served[0].Sha256);
  EXPECT_EQ(second, camera.LastServedPhoto());
  EXPECT_FALSE(second.isEmpty());
  // The lit projector shows in the first photo; the second sees ambient light only.
  EXPECT_GT(MeanLevel(first), MeanLevel(second) + 40);
  const TPtpIpCameraStats stats = camera.Stats();
  EXPECT_EQ(stats.Hosts, 3);
  EXPECT_EQ(stats.Deletes, 2);
  EXPECT_EQ(stats.ObjectsOnCard, 0);
}

// The capture settings as the independent client sees and sets them through
// the standard device properties; a value the camera does not offer is refused.
TEST(PtpIpCamera, Gphoto2ListsGetsAndSetsTheCaptureSettings) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TPtpIpCameraOptions options = Quick();
  options.Width = 320;
  options.Height = 240;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();

  const TRun list = Gphoto2(port, dir.path(), {QStringLiteral("--list-config")});
  ASSERT_TRUE(list.Finished);
  EXPECT_EQ(list.ExitCode, 0) << list.Output.toStdString();
  for (const char* path : {"/main/capturesettings/expprogram", "/main/capturesettings/shutterspeed",
                           "/main/capturesettings/f-number", "/main/capturesettings/focusmode",
                           "/main/imgsettings/iso", "/main/imgsettings/whitebalance"})
    EXPECT_TRUE(list.Output.contains(QLatin1String(path))) << path << "\n" << list.Output.toStdString();

  const TRun get = Gphoto2(port, dir.path(),
                           {QStringLiteral("--get-config"), QStringLiteral("f-number"),
                            QStringLiteral("--get-config"), QStringLiteral("shutterspeed"),
                            QStringLiteral("--get-config"), QStringLiteral("iso"),
                            QStringLiteral("--get-config"), QStringLiteral("expprogram")});
  ASSERT_TRUE(get.Finished);
  EXPECT_EQ(get.ExitCode, 0) << get.Output.toStdString();
  for (const char* line : {"Current: f/8", "Choice: 0 f/2.8", "Choice: 5 f/16", "Current: 0.0333s",
                           "Choice: 0 0.0010s", "Current: 100", "Choice: 4 1600", "Current: M"})
    EXPECT_TRUE(get.Output.contains(QLatin1String(line))) << line << "\n" << get.Output.toStdString();

  QImage grey(400, 300, QImage::Format_RGB888);
  grey.fill(QColor(60, 60, 60));
  PublishProjectorFrame(grey);
  const TRun before = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  const TRun set = Gphoto2(port, dir.path(),
                           {QStringLiteral("--set-config-value"), QStringLiteral("f-number=f/5.6"),
                            QStringLiteral("--set-config-value"), QStringLiteral("iso=200")});
  const TRun after = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  ClearProjectorFrame();
  ASSERT_TRUE(before.Finished && set.Finished && after.Finished);
  EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
  EXPECT_DOUBLE_EQ(camera.Settings()[TCameraSetting::Aperture].Number, 5.6);
  EXPECT_DOUBLE_EQ(camera.Settings()[TCameraSetting::Iso].Number, 200);
  // About four times the light: one stop from the aperture, one from the ISO.
  const int darker = MeanLevel(ReadFile(dir.filePath(QStringLiteral("IMG_0001.JPG"))));
  const int brighter = MeanLevel(ReadFile(dir.filePath(QStringLiteral("IMG_0002.JPG"))));
  EXPECT_GT(brighter, 3 * darker) << darker;

  // f/3.3 is not among the camera's apertures: refused, nothing changes.
  const TRun refused = Gphoto2(port, dir.path(),
                               {QStringLiteral("--set-config-value"), QStringLiteral("f-number=3.3")});
  ASSERT_TRUE(refused.Finished);
  EXPECT_NE(refused.ExitCode, 0) << refused.Output.toStdString();
  EXPECT_TRUE(refused.Output.contains(QStringLiteral("was not set"))) << refused.Output.toStdString();
  EXPECT_DOUBLE_EQ(camera.Settings()[TCameraSetting::Aperture].Number, 5.6);
  EXPECT_EQ(camera.Stats().PropertySets, 2);
  EXPECT_EQ(camera.Stats().PropertySetsRefused, 1);
}

// Photos over 1 MB travel in GetPartialObject pieces; a fixed-size photo and one over 20 MB arrive whole.
TEST(PtpIpCamera, LargePhotosArriveWhole) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TPtpIpCameraOptions options = Quick();
  options.PhotoBytes = 2 * 1000 * 1000;
  options.HugePhotoAt = 2;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  for (int shot = 1; shot <= 2; ++shot) {
    const TRun run = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
  }
  const QByteArray normal = ReadFile(dir.filePath(QStringLiteral("IMG_0001.JPG")));
  const QByteArray huge = ReadFile(dir.filePath(QStringLiteral("IMG_0002.JPG")));
  EXPECT_EQ(normal.size(), 2 * 1000 * 1000);
  EXPECT_GT(huge.size(), 20 * 1024 * 1024);
  EXPECT_EQ(huge, camera.LastServedPhoto());
  EXPECT_FALSE(QImage::fromData(huge, "JPG").isNull());
  EXPECT_NE(QCryptographicHash::hash(normal, QCryptographicHash::Sha256), camera.Served().at(1).Sha256);
  EXPECT_GE(camera.Stats().Operations[PtpCode::GetPartialObject].Count, 2 + 21);
}

// Each fault as the independent client meets it, one after another on one camera.
TEST(PtpIpCamera, FaultsOnRequest) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TPtpIpCameraOptions options = Quick();
  options.PhotoBytes = 100000;
  options.BusyOnCapture = 1;
  options.SwallowCapture = 2;
  options.DropAfterTransfer = 1;  // the photo of capture 3
  options.DropAtCapture = 4;
  options.SlowOperation = PtpCode::GetStorageInfo;  // only a summary asks for it
  options.SlowNth = 1;
  options.SlowMs = 4000;
  TPtpIpCamera camera(options);
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  const QString trigger = QStringLiteral("--trigger-capture");

  const TRun busy = Gphoto2(port, dir.path(), {trigger});
  ASSERT_TRUE(busy.Finished);
  EXPECT_NE(busy.ExitCode, 0);
  EXPECT_TRUE(busy.Output.contains(QStringLiteral("busy"), Qt::CaseInsensitive)) << busy.Output.toStdString();

  const TRun swallowed = Gphoto2(port, dir.path(), {trigger, QStringLiteral("--wait-event-and-download=2s")});
  ASSERT_TRUE(swallowed.Finished);
  EXPECT_EQ(camera.Stats().Photos, 0);
  EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.JPG")}).isEmpty());

  const TRun dropped = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  ASSERT_TRUE(dropped.Finished);
  EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("IMG_0001.JPG"))), camera.LastServedPhoto());
  EXPECT_EQ(camera.Stats().Drops, 1);
  EXPECT_EQ(camera.Stats().ObjectsOnCard, 1);  // the delete never reached the camera

  const TRun slow = Gphoto2(port, dir.path(), {QStringLiteral("--summary")});
  ASSERT_TRUE(slow.Finished);
  EXPECT_NE(slow.ExitCode, 0) << slow.Output.toStdString();
  const TRun again = Gphoto2(port, dir.path(), {QStringLiteral("--summary")});
  ASSERT_TRUE(again.Finished);
  EXPECT_EQ(again.ExitCode, 0) << again.Output.toStdString();

  const TRun cut = Gphoto2(port, dir.path(), {QStringLiteral("--capture-image-and-download")});
  ASSERT_TRUE(cut.Finished);
  // gphoto2 reports the failed capture but exits with 0.
  EXPECT_TRUE(cut.Output.contains(QStringLiteral("Could not capture"))) << cut.Output.toStdString();
  EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("*.JPG")}).size(), 1);
  EXPECT_EQ(camera.Stats().Drops, 2);
  EXPECT_EQ(camera.Stats().Captures, 4);
}

// A second host is refused while one is connected, and served once it left.
TEST(PtpIpCamera, OneHostAtATime) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TPtpIpCamera camera(Quick());
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  auto first = std::make_unique<TRawHost>();
  ASSERT_TRUE(first->Greet(port));

  const TRun refused = Gphoto2(port, dir.path(), {QStringLiteral("--summary")});
  ASSERT_TRUE(refused.Finished);
  EXPECT_NE(refused.ExitCode, 0);
  EXPECT_EQ(camera.Stats().HostsRefused, 1);
  first.reset();
  const TRun served = Gphoto2(port, dir.path(), {QStringLiteral("--summary")});
  ASSERT_TRUE(served.Finished);
  EXPECT_EQ(served.ExitCode, 0) << served.Output.toStdString();
}

// A property value longer than any is refused as soon as it is, and the rest
// of its data skipped; a request whose data never ended is answered before the next.
TEST(PtpIpCamera, PropertyDataIsCappedAndEveryRequestAnswered) {
  TPtpIpCamera camera(Quick());
  const std::uint16_t port = camera.Start();
  ASSERT_NE(port, 0) << camera.Error().toStdString();
  TRawHost host;
  ASSERT_TRUE(host.Open(port));
  constexpr std::uint32_t StartData = 9, Data = 10, EndData = 12;

  // A host that announces two bytes and keeps sending.
  ASSERT_TRUE(host.Request(PtpCode::SetDevicePropValue, 2, PtpCode::FNumber));
  ASSERT_TRUE(TRawHost::Send(host.Command, StartData, Le(2, 4) + Le(2, 8)));
  std::uint16_t answer = 0;
  int sent = 0;
  for (; sent < 16 && answer == 0; ++sent) {
    ASSERT_TRUE(TRawHost::Send(host.Command, Data, Le(2, 4) + QByteArray(64 * 1024, 'x')));
    answer = host.Response(2, 500);
  }
  EXPECT_EQ(answer, PtpCode::InvalidDevicePropFormat)
      << "no answer after " << sent << " packets of 64 KB";
  ASSERT_TRUE(TRawHost::Send(host.Command, EndData, Le(2, 4) + Le(560, 2)));

  // A data phase left open, then a whole one: both answered, in order.
  ASSERT_TRUE(host.Request(PtpCode::SetDevicePropValue, 3, PtpCode::FNumber));
  ASSERT_TRUE(TRawHost::Send(host.Command, StartData, Le(3, 4) + Le(2, 8)));
  ASSERT_TRUE(TRawHost::Send(host.Command, Data, Le(3, 4) + Le(8, 1)));
  ASSERT_TRUE(host.Request(PtpCode::SetDevicePropValue, 4, PtpCode::FNumber));
  ASSERT_TRUE(TRawHost::Send(host.Command, StartData, Le(4, 4) + Le(2, 8)));
  ASSERT_TRUE(TRawHost::Send(host.Command, EndData, Le(4, 4) + Le(560, 2)));
  EXPECT_EQ(host.Response(3), PtpCode::IncompleteTransfer);
  EXPECT_EQ(host.Response(4), PtpCode::Ok);
  EXPECT_DOUBLE_EQ(camera.Settings()[TCameraSetting::Aperture].Number, 5.6);
  EXPECT_EQ(camera.Stats().PropertySets, 1);
  EXPECT_EQ(camera.Stats().PropertySetsRefused, 2);
}

// The program: clear refusal of bad values, a free port on request, and an end by itself.
TEST(PtpIpCamera, ProgramServesAndEndsByItself) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString log = dir.filePath(QStringLiteral("camera.log"));
  const TRun bad = Finish(Spawn(QStringLiteral(PTPIP_CAMERA), {QStringLiteral("--port"), QStringLiteral("70000")},
                                dir.path(), log), log, 30000);
  EXPECT_EQ(bad.ExitCode, 2);
  EXPECT_TRUE(bad.Output.contains(QStringLiteral("--port takes a whole number from 0 to 65535"))) << bad.Output.toStdString();
  // Items of the simulated rig are no camera settings: each is named, with its option if any.
  for (const auto& [items, said] :
       {std::pair{"iso=200,size=640x480", "not \"size=640x480\": use --size"},
        std::pair{"cameras=2", "not \"cameras=2\": the emulator is one camera"},
        std::pair{"latency=5", "not \"latency=5\": use --latency"},
        std::pair{"seed=3", "not \"seed=3\": use --seed"}}) {
    const TRun rig =
        Finish(Spawn(QStringLiteral(PTPIP_CAMERA),
                     {QStringLiteral("--settings"), QString::fromLatin1(items)}, dir.path(), log),
               log, 30000);
    EXPECT_EQ(rig.ExitCode, 2) << items;
    EXPECT_TRUE(rig.Output.contains(QLatin1String(said))) << rig.Output.toStdString();
  }

  ChildProcess::TReaper reaper;
  const pid_t program = reaper.Keep(Spawn(QStringLiteral(PTPIP_CAMERA),
                              {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--lifetime"),
                               QStringLiteral("8"), QStringLiteral("--photo-bytes"), QStringLiteral("50000")},
                              dir.path(), log));
  ASSERT_NE(program, 0);
  const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
  QRegularExpressionMatch match;
  for (int round = 0; round < 300 && !match.hasMatch(); ++round) {
    QThread::msleep(100);
    match = listening.match(ReadText(log));
  }
  EXPECT_TRUE(match.hasMatch()) << ReadText(log).toStdString();
  if (match.hasMatch()) {
    const TRun run = Gphoto2(std::uint16_t(match.captured(1).toUInt()), dir.path(),
                             {QStringLiteral("--capture-image-and-download")});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("IMG_0001.JPG"))).size(), 50000);
  }
  const TRun ended = Finish(program, log, 30000);
  EXPECT_TRUE(ended.Finished) << "the program outlived its lifetime";
  EXPECT_EQ(ended.ExitCode, 0) << ended.Output.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
