// Whole scans as someone without a camera runs them: the program under a real X
// server, the emulator program started beside it photographing the projection
// window, libgphoto2 between them over PTP/IP on 127.0.0.1, the buttons clicked
// with xdotool. The photos must spell out every point's number.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <vector>

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

// What Pattern captures first in Text, or an empty string.
QString Captured(const QString& Text, const QString& Pattern) {
  return QRegularExpression(Pattern, QRegularExpression::MultilineOption).match(Text).captured(1);
}

// The same in the text of the file Log.
QString Find(const QString& Log, const QString& Pattern) {
  return Captured(ReadText(Log), Pattern);
}

// Xvfb, the emulator program photographing the window "Velkar" and the
// program in a temporary directory, which is also its home and output folder.
class TPtpIpXvfbScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xdotool"})
      ASSERT_FALSE(QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
          << tool << " is not installed";
    ASSERT_TRUE(Dir.isValid());
    Base = Dir.path();
  }

  // Starts everything, with Settings as the program's remembered choices, and
  // connects the camera with "Inicializace".
  void Start(const QByteArray& Settings = {}) {
    if (!Settings.isEmpty()) {
      ASSERT_TRUE(QDir(Base).mkpath(QStringLiteral(".config/corvaletscan")));
      QFile file(Dir.filePath(QStringLiteral(".config/corvaletscan/corvaletscan.conf")));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(Settings) == Settings.size());
    }
    // The program saves next to itself: a copy in the temporary directory.
    const QString program = Dir.filePath(QStringLiteral("corvaletscan"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVALETSCAN), program));

    const QString xlog = Dir.filePath(QStringLiteral("xvfb.log"));
    Reaper.Keep(
        Spawn(QStringLiteral("Xvfb"),
              {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
               QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
               QStringLiteral("1280x1024x24")},
              Base, xlog));
    QString display;
    ASSERT_TRUE(WaitUntil(
        [&] { return !(display = Find(xlog, QStringLiteral("^(\\d+)\\s*$"))).isEmpty(); }, 30000))
        << ReadText(xlog).toStdString();
    X = {QStringLiteral("DISPLAY=:") + display, QStringLiteral("QT_QPA_PLATFORM=xcb")};

    CameraLog = Dir.filePath(QStringLiteral("camera.log"));
    Reaper.Keep(Spawn(QStringLiteral(PTPIP_CAMERA),
                      {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--lifetime"),
                       QString::number(Patience / 1000 + 120), QStringLiteral("--window"),
                       QStringLiteral("Velkar")},
                      Base, CameraLog, X));
    QString port;
    ASSERT_TRUE(WaitUntil(
        [&] {
          return !(port = Find(CameraLog, QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")))
                      .isEmpty();
        },
        30000))
        << ReadText(CameraLog).toStdString();

    AppLog = Dir.filePath(QStringLiteral("program.log"));
    App = Reaper.Keep(Spawn(program,
                            {QStringLiteral("--camera"), QStringLiteral("ptpip:127.0.0.1:") + port},
                            Base, AppLog, X));
    ASSERT_NE(App, 0);
    ASSERT_TRUE(WaitUntil([&] { return MainWindowShown(); }, 60000))
        << ReadText(AppLog).toStdString();
    ASSERT_TRUE(Click(46, 380));  // "Inicializace"
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadText(CameraLog).contains(QStringLiteral("host 1 connected")); }, 60000))
        << Logs();
  }

  TRun Xdotool(const QStringList& Args) {
    const QString log = Dir.filePath(QStringLiteral("xdotool.log"));
    return Finish(Spawn(QStringLiteral("xdotool"), Args, Base, log, X), log, 10000);
  }

  // The id of the shown window titled exactly Title; empty when there is none.
  QString Shown(const QString& Title) {
    const TRun search =
        Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                 QStringLiteral("--name"), QLatin1Char('^') + Title + QLatin1Char('$')});
    return search.ExitCode == 0 ? search.Output.section(QLatin1Char('\n'), 0, 0).trimmed()
                                : QString();
  }

  // Whether the main window is on screen; notes its id.
  bool MainWindowShown() {
    const QString id = Shown(QStringLiteral("CorvaletScan"));
    if (!id.isEmpty()) Window = id;
    return !id.isEmpty();
  }

  // A click on the projection image brings the main window back.
  bool ClickProjection() {
    const QString id = Shown(QStringLiteral("Velkar"));
    return !id.isEmpty() && Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), id,
                                     QStringLiteral("20"), QStringLiteral("20"),
                                     QStringLiteral("click"), QStringLiteral("1")})
                                    .ExitCode == 0;
  }

  // The program's log files, one a day.
  QString ProgramLogs() const {
    QString text;
    const QDir logs(Dir.filePath(QStringLiteral(".local/state/corvaletscan")));
    for (const QString& name : logs.entryList(QDir::Files, QDir::Name))
      text += ReadText(logs.filePath(name));
    return text;
  }

  // Client coordinates of a button's middle: "Inicializace", "Skrýt", "Snímání", "Konec".
  bool Click(int X, int Y) {
    return Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), Window,
                    QString::number(X), QString::number(Y), QStringLiteral("click"),
                    QStringLiteral("1")})
               .ExitCode == 0;
  }

  // "Snímání", then the wait for the index in Folder and the main window back.
  void Scan(const QString& Folder) {
    ASSERT_TRUE(Click(349, 412));
    const QString index = QDir(Folder).filePath(QStringLiteral("corvalet.sbf"));
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(index); }, Patience)) << Logs();
    ASSERT_TRUE(WaitUntil([&] { return MainWindowShown(); }, 60000)) << Logs();
  }

  // "Konec": the program ends by itself.
  void End() {
    ASSERT_TRUE(Click(196, 452));
    const TRun ended = Finish(App, AppLog, 60000);
    EXPECT_TRUE(ended.Finished) << "the program did not end after \"Konec\"";
#if !defined(__SANITIZE_ADDRESS__)
    // Under LeakSanitizer the X libraries' own leaks would decide the status.
    EXPECT_EQ(ended.ExitCode, 0) << ended.Output.toStdString();
#endif
  }

  std::string Logs() const {
    return (ReadText(CameraLog) + ReadText(AppLog) + ProgramLogs()).toStdString();
  }

  QTemporaryDir Dir;
  QString Base;
  TReaper Reaper;
  QStringList X;
  QString CameraLog, AppLog, Window;
  pid_t App = 0;
};

TEST_F(TPtpIpXvfbScan, WholeScanFromTheEmulatorProgramDecodes) {
  Start();
  Scan(Base);
  EXPECT_EQ(ExpectWholeScan(Base.toStdString()).size(), 17u)
      << ReadText(Dir.filePath(QStringLiteral("corvalet.sbf"))).toStdString();
  End();
}

// The mean grey level of a photo, 0 to 255; -1 when it cannot be read.
double MeanLevel(const QString& Path) {
  const QImage photo = QImage(Path).convertToFormat(QImage::Format_Grayscale8);
  if (photo.isNull()) return -1;
  double sum = 0;
  for (int y = 0; y < photo.height(); ++y) {
    const uchar* line = photo.constScanLine(y);
    for (int x = 0; x < photo.width(); ++x) sum += line[x];
  }
  return sum / (double(photo.width()) * photo.height());
}

// A busy machine: the X server takes its time to take the main window off the
// screen, and a scan's first photo taken sooner showed the window over the dark
// field. Scans started again and again as at first, the projection hidden and
// the main window shown, each into a folder of its own, beside CPU-bound
// processes; the last one runs whole.
TEST_F(TPtpIpXvfbScan, EveryScanStartBesideBusyProcessesPhotographsOnlyThePattern) {
  constexpr int Starts = 8;
  // Each stops by itself at the camera's end, if not killed sooner.
  const QString busy =
      QStringLiteral("while [ $SECONDS -lt %1 ]; do :; done").arg(Patience / 1000 + 120);
  for (int i = 0; i < 3; ++i)
    ASSERT_NE(Reaper.Keep(Spawn(QStringLiteral("bash"), {QStringLiteral("-c"), busy}, Base,
                                Dir.filePath(QStringLiteral("busy.log")))),
              0);
  Start("[General]\nFolderPerScan=true\nOutputDirectory=" + Base.toUtf8() + "/\n");
  auto folder = [&](int Scan) {
    return Dir.filePath(QStringLiteral("sken-%1").arg(Scan, 3, 10, QLatin1Char('0')));
  };
  // The photo each start took first: its dark field.
  std::vector<QString> darkFields;
  for (int scan = 1; scan < Starts; ++scan) {
    SCOPED_TRACE("start " + std::to_string(scan));
    ASSERT_TRUE(Click(349, 412));  // "Snímání"
    const QString saved = QStringLiteral("snímek uložen: ") + folder(scan) + QStringLiteral("/");
    QString dark;
    const QString pattern = QRegularExpression::escape(saved) + QStringLiteral("(\\S+)");
    ASSERT_TRUE(
        WaitUntil([&] { return !(dark = Captured(ProgramLogs(), pattern)).isEmpty(); }, Patience))
        << Logs();
    darkFields.push_back(QDir(folder(scan)).filePath(dark));
    // The operator brings the main window back and hides the projection: as at first.
    ASSERT_TRUE(ClickProjection());
    ASSERT_TRUE(WaitUntil([&] { return MainWindowShown(); }, 60000)) << Logs();
    ASSERT_TRUE(Click(213, 380));  // "Skrýt"
    ASSERT_TRUE(WaitUntil([&] { return Shown(QStringLiteral("Velkar")).isEmpty(); }, 60000))
        << Logs();
  }
  Scan(folder(Starts));
  const std::vector<std::string> names = ExpectWholeScan(folder(Starts).toStdString());
  ASSERT_EQ(names.size(), 17u);
  const double dark = MeanLevel(QDir(folder(Starts)).filePath(QString::fromStdString(names[0])));
  ASSERT_GE(dark, 0);
  // A window over the dark field lifts its mean by about ten levels; noise moves it by far less.
  for (const QString& photo : darkFields)
    EXPECT_NEAR(MeanLevel(photo), dark, 2.0) << photo.toStdString();
  End();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
