// A whole scan as someone without a camera runs it: the program under a real X
// server, the emulator program started beside it photographing the projection
// window, libgphoto2 between them over PTP/IP on 127.0.0.1, the buttons clicked
// with xdotool. The photos must spell out every point's number.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>

#include "tests/support/ChildProcess.h"
#include "tests/support/ScanDecode.h"

namespace {

using namespace ChildProcess;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int Patience = 600000;
#else
constexpr int Patience = 180000;
#endif

bool WaitUntil(const std::function<bool()>& Done, int LimitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!Done() && timer.elapsed() < LimitMs) QThread::msleep(100);
  return Done();
}

// The captured number in the text of Log, or an empty string.
QString Find(const QString& Log, const QString& Pattern) {
  return QRegularExpression(Pattern, QRegularExpression::MultilineOption).match(ReadText(Log)).captured(1);
}

TEST(PtpIpXvfbScan, WholeScanFromTheEmulatorProgramDecodes) {
  for (const char* tool : {"Xvfb", "xdotool"})
    ASSERT_FALSE(QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
        << tool << " is not installed";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString base = dir.path();
  // The program saves next to itself: a copy in the temporary directory.
  const QString program = dir.filePath(QStringLiteral("corvaletscan"));
  ASSERT_TRUE(QFile::copy(QStringLiteral(CORVALETSCAN), program));
  TReaper reaper;

  const QString xlog = dir.filePath(QStringLiteral("xvfb.log"));
  reaper.Keep(Spawn(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                     QStringLiteral("1280x1024x24")},
                    base, xlog));
  QString display;
  ASSERT_TRUE(WaitUntil([&] { return !(display = Find(xlog, QStringLiteral("^(\\d+)\\s*$"))).isEmpty(); }, 30000))
      << ReadText(xlog).toStdString();
  const QStringList x = {QStringLiteral("DISPLAY=:") + display, QStringLiteral("QT_QPA_PLATFORM=xcb")};

  const QString cameraLog = dir.filePath(QStringLiteral("camera.log"));
  reaper.Keep(Spawn(QStringLiteral(PTPIP_CAMERA),
                    {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--lifetime"),
                     QString::number(Patience / 1000 + 120), QStringLiteral("--window"), QStringLiteral("Velkar")},
                    base, cameraLog, x));
  QString port;
  ASSERT_TRUE(WaitUntil([&] {
    return !(port = Find(cameraLog, QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"))).isEmpty();
  }, 30000)) << ReadText(cameraLog).toStdString();

  const QString appLog = dir.filePath(QStringLiteral("program.log"));
  const pid_t app = reaper.Keep(
      Spawn(program, {QStringLiteral("--camera"), QStringLiteral("ptpip:127.0.0.1:") + port}, base, appLog, x));
  ASSERT_NE(app, 0);
  auto xdotool = [&](const QStringList& Args) {
    const QString log = dir.filePath(QStringLiteral("xdotool.log"));
    return Finish(Spawn(QStringLiteral("xdotool"), Args, base, log, x), log, 10000);
  };
  QString window;
  ASSERT_TRUE(WaitUntil([&] {
    const TRun search = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                 QStringLiteral("^CorvaletScan$")});
    window = search.Output.section(QLatin1Char('\n'), 0, 0).trimmed();
    return search.ExitCode == 0 && !window.isEmpty();
  }, 60000)) << ReadText(appLog).toStdString();
  // Client coordinates of a button's middle: "Inicializace", "Snímání", "Konec".
  auto click = [&](int X, int Y) {
    return xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(X),
                    QString::number(Y), QStringLiteral("click"), QStringLiteral("1")})
               .ExitCode == 0;
  };
  ASSERT_TRUE(click(46, 380));
  ASSERT_TRUE(WaitUntil([&] { return ReadText(cameraLog).contains(QStringLiteral("host 1 connected")); }, 60000))
      << ReadText(cameraLog).toStdString() << ReadText(appLog).toStdString();
  ASSERT_TRUE(click(349, 412));
  const QString index = dir.filePath(QStringLiteral("corvalet.sbf"));
  ASSERT_TRUE(WaitUntil([&] { return QFile::exists(index); }, Patience))
      << ReadText(cameraLog).toStdString() << ReadText(appLog).toStdString();

  EXPECT_EQ(ExpectWholeScan(base.toStdString()).size(), 17u) << ReadText(index).toStdString();

  ASSERT_TRUE(click(196, 452));
  const TRun ended = Finish(app, appLog, 60000);
  EXPECT_TRUE(ended.Finished) << "the program did not end after \"Konec\"";
#if !defined(__SANITIZE_ADDRESS__)
  // Under LeakSanitizer the X libraries' own leaks would decide the status.
  EXPECT_EQ(ended.ExitCode, 0) << ended.Output.toStdString();
#endif
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
