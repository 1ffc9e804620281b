// corvalet-ptpip-camera: a PTP/IP camera on 127.0.0.1 that photographs a screen.
#include <QCommandLineParser>
#include <QDateTime>
#include <QGuiApplication>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>

#include "sdk/ptpip/PtpIpCamera.h"
#include "sdk/sim/SimConfig.h"

namespace {

bool ParseInt(const QString& Text, std::int64_t Min, std::int64_t Max, std::int64_t& Value) {
  bool ok = false;
  const qlonglong v = Text.trimmed().toLongLong(&ok, 0);
  if (!ok || v < Min || v > Max) return false;
  Value = v;
  return true;
}

void Print(FILE* To, const QString& Line) {
  std::fprintf(To, "%s\n", Line.toLocal8Bit().constData());
  std::fflush(To);
}

// The X window with exactly this title that is shown now; 0 when there is none.
WId FindWindow(const QString& Title) {
  QProcess search;
  search.start(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                QLatin1Char('^') + QRegularExpression::escape(Title) + QLatin1Char('$')});
  if (!search.waitForFinished(2000)) {
    search.kill();
    search.waitForFinished(1000);
    return 0;
  }
  const QList<QByteArray> ids = search.readAllStandardOutput().split('\n');
  return ids.isEmpty() ? 0 : WId(ids.first().trimmed().toULongLong());
}

// Does not need a display: help, version and fixed-size photos.
bool NeedsNoScreen(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const QByteArray a(argv[i]);
    if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version" ||
        a.startsWith("--photo-bytes"))
      return true;
  }
  return false;
}

QCommandLineOption Option(const char* Name, const char* Help, const char* Value = nullptr,
                          const char* Default = nullptr) {
  QCommandLineOption option(QString::fromLatin1(Name), QString::fromUtf8(Help),
                            Value ? QString::fromLatin1(Value) : QString());
  if (Default) option.setDefaultValue(QString::fromLatin1(Default));
  return option;
}

// An option of the program; with Set, a whole number from Min to Max for a field of the camera.
struct TCameraOption {
  using TSet = std::function<void(TPtpIpCameraOptions&, std::int64_t)>;
  TCameraOption(QCommandLineOption O, std::int64_t Min = 0, std::int64_t Max = 0, TSet Set = {})
      : Option(std::move(O)), Min(Min), Max(Max), Set(std::move(Set)) {}
  QCommandLineOption Option;
  std::int64_t Min, Max;
  TSet Set;
};

template <typename T>
TCameraOption::TSet Field(T TPtpIpCameraOptions::*Member) {
  return [Member](TPtpIpCameraOptions& Options, std::int64_t Value) { Options.*Member = T(Value); };
}

// What is wrong with --settings ITEMS beyond what ParseSimConfig checks: an item
// that is no camera setting, such as the simulated rig's size, latency or a
// fault; empty when every item is a setting or a turn.
QString RigOnlyItem(const QString& Items) {
  // The emulator's own options for the rig's items that it has too.
  static const std::map<QString, QString> options = {
      {QStringLiteral("size"), QStringLiteral("--size")},
      {QStringLiteral("latency"), QStringLiteral("--latency")},
      {QStringLiteral("seed"), QStringLiteral("--seed")}};
  for (const QString& item : Items.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
    if (key == QLatin1String("turn") || SimSettingKeyed(key.toStdString())) continue;
    const auto option = options.find(key);
    return QStringLiteral(
               "--settings takes camera settings only (mode, shutter, aperture, iso, focus, "
               "whitebalance, format, turn), not \"%1\"%2")
        .arg(item.trimmed(),
             option != options.end()           ? QStringLiteral(": use %1").arg(option->second)
             : key == QLatin1String("cameras") ? QStringLiteral(": the emulator is one camera")
                                               : QString());
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<QCoreApplication> app;
  if (NeedsNoScreen(argc, argv))
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QGuiApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("corvalet-ptpip-camera"));
  QCoreApplication::setApplicationVersion(QStringLiteral(CORVALET_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "A PTP/IP camera on 127.0.0.1 for tests and for trying the station without a camera.\n"
      "It photographs a screen (the projector) as a camera on a tripod would see it and serves one\n"
      "host at a time: hand the host ptpip:127.0.0.1:PORT:PORT. Fault counts are 1-based and\n"
      "counted over the camera's whole run."));
  parser.addHelpOption();
  parser.addVersionOption();
  // Every option in the order --help lists them; those with a field take a whole number.
  const std::vector<TCameraOption> table = {
      {Option("port", "TCP port; 0 picks a free one (default 15740).", "PORT", "15740"), 0, 65535,
       Field(&TPtpIpCameraOptions::Port)},
      {Option("lifetime", "Exit by itself after this many seconds (default 300).", "SECONDS", "300"),
       1, 7 * 24 * 3600, Field(&TPtpIpCameraOptions::LifetimeSeconds)},
      {Option("screen", "Screen to photograph, 0-based (default: the last screen).", "INDEX")},
      {Option("window",
              "Photograph only the shown window with this title (found with xdotool at each shot),\n"
              "e.g. the projection window Velkar; no such window throws no light.",
              "TITLE")},
      {Option("size", "Photo size (default 2048x1536).", "WxH", "2048x1536")},
      {Option("seed", "Seed of the sensor noise (default 1).", "N", "1"), 0, 0xFFFFFFFFll,
       Field(&TPtpIpCameraOptions::Seed)},
      {Option("photo-bytes",
              "Serve a valid JPEG padded to N bytes instead of photographing the screen.", "N"),
       4096, 1024ll * 1024 * 1024, Field(&TPtpIpCameraOptions::PhotoBytes)},
      {Option("latency", "Extra delay before a photo is announced, in ms (default 0).", "MS", "0"),
       0, 600000, Field(&TPtpIpCameraOptions::LatencyMs)},
      {Option("busy-on-capture", "Fault: the N-th capture answers Device Busy.", "N"), 1, 1000000,
       Field(&TPtpIpCameraOptions::BusyOnCapture)},
      {Option("swallow-capture", "Fault: the N-th capture is accepted but no photo comes.", "N"), 1,
       1000000, Field(&TPtpIpCameraOptions::SwallowCapture)},
      {Option("drop-at-capture",
              "Fault: the N-th capture closes the connection instead of answering.", "N"),
       1, 1000000, Field(&TPtpIpCameraOptions::DropAtCapture)},
      {Option("drop-after-transfer",
              "Fault: the connection closes right after the N-th photo was sent in full.", "N"),
       1, 1000000, Field(&TPtpIpCameraOptions::DropAfterTransfer)},
      {Option("slow-op",
              "Fault: answer the N-th request of operation CODE late, e.g. 0x1009:1 (GetObject).",
              "CODE:N")},
      {Option("slow-ms", "How late a slow answer comes, in ms (default 4000).", "MS", "4000"), 0,
       600000, Field(&TPtpIpCameraOptions::SlowMs)},
      {Option("huge-photo",
              "Fault: the photo of the N-th capture is padded to over 20 MB (22020096 bytes).", "N"),
       1, 1000000, Field(&TPtpIpCameraOptions::HugePhotoAt)},
      {Option("settings",
              "Capture settings at the start, as CORVALET_SIM writes them, e.g.\n"
              "mode=automatic,shutter=1/60,aperture=5.6,iso=200,turn=3:shutter:1/125 (after\n"
              "capture 3 the camera's own dial sets 1/125 s). Default: manual, 1/30 s, f/8, ISO 100.",
              "ITEMS")},
      {Option("verbose", "Log every operation with its time.")},
  };
  auto named = [&](const char* Name) -> const QCommandLineOption& {
    return std::find_if(table.begin(), table.end(), [&](const TCameraOption& O) {
             return O.Option.names().first() == QLatin1String(Name);
           })->Option;
  };
  const QCommandLineOption &screen = named("screen"), &window = named("window"),
                           &size = named("size"), &slow = named("slow-op"),
                           &verbose = named("verbose"), &settings = named("settings");
  for (const TCameraOption& option : table) parser.addOption(option.Option);
  parser.process(*app);

  if (!parser.positionalArguments().isEmpty()) {
    Print(stderr, QStringLiteral("corvalet-ptpip-camera: unexpected argument \"%1\"; see --help")
                      .arg(parser.positionalArguments().first()));
    return 2;
  }
  TPtpIpCameraOptions options;
  QString bad;
  for (const TCameraOption& number : table) {
    const QCommandLineOption& option = number.Option;
    if (!number.Set || !bad.isEmpty() || (!parser.isSet(option) && option.defaultValues().isEmpty()))
      continue;
    std::int64_t v = 0;
    const QString text = parser.value(option);
    if (!ParseInt(text, number.Min, number.Max, v))
      bad = QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                .arg(option.names().first()).arg(number.Min).arg(number.Max).arg(text);
    else
      number.Set(options, v);
  }
  if (bad.isEmpty()) {
    const QStringList wh = parser.value(size).split(QLatin1Char('x'));
    std::int64_t w = 0, h = 0;
    if (wh.size() != 2 || !ParseInt(wh[0], 16, 16384, w) || !ParseInt(wh[1], 16, 16384, h))
      bad = QStringLiteral("--size takes WIDTHxHEIGHT, each 16 to 16384, not \"%1\"").arg(parser.value(size));
    options.Width = int(w);
    options.Height = int(h);
  }
  if (bad.isEmpty() && parser.isSet(slow)) {
    const QStringList parts = parser.value(slow).split(QLatin1Char(':'));
    std::int64_t code = 0, nth = 0;
    if (parts.size() != 2 || !ParseInt(parts[0], 1, 0xFFFF, code) || !ParseInt(parts[1], 1, 1000000, nth))
      bad = QStringLiteral("--slow-op takes CODE:N, e.g. 0x1009:1, not \"%1\"").arg(parser.value(slow));
    options.SlowOperation = std::uint16_t(code);
    options.SlowNth = int(nth);
  }
  if (bad.isEmpty() && parser.isSet(settings)) {
    std::string error;
    const auto parsed = ParseSimConfig(parser.value(settings).toStdString(), &error);
    if (const QString rigOnly = RigOnlyItem(parser.value(settings)); !rigOnly.isEmpty())
      bad = rigOnly;
    else if (!parsed)
      bad = QStringLiteral("--settings: %1").arg(QString::fromStdString(error));
    else {
      options.Settings = parsed->Settings;
      options.Turns = parsed->Turns;
    }
  }
  if (bad.isEmpty()) bad = options.Check();
  if (!bad.isEmpty()) {
    Print(stderr, QStringLiteral("corvalet-ptpip-camera: %1").arg(bad));
    return 2;
  }

  if (options.PhotoBytes <= 0) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty()) {
      Print(stderr, QStringLiteral("corvalet-ptpip-camera: no screen to photograph"));
      return 1;
    }
    std::int64_t index = screens.size() - 1;
    if (parser.isSet(screen) && !ParseInt(parser.value(screen), 0, screens.size() - 1, index)) {
      Print(stderr, QStringLiteral("corvalet-ptpip-camera: --screen takes 0 to %1 here, not \"%2\"")
                        .arg(screens.size() - 1).arg(parser.value(screen)));
      return 2;
    }
    QPointer<QScreen> target = screens[int(index)];
    const QRect where = target->geometry();
    Print(stdout, QStringLiteral("corvalet-ptpip-camera: photographing screen %1 \"%2\" (%3x%4 at %5,%6)")
                      .arg(index).arg(target->name()).arg(where.width()).arg(where.height())
                      .arg(where.x()).arg(where.y()));
    const QString title = parser.value(window);
    if (!title.isEmpty())
      Print(stdout, QStringLiteral("corvalet-ptpip-camera: only the window \"%1\" on it").arg(title));
    QObject* guiThread = app.get();
    // Screens are read on the GUI thread; the camera's thread waits a bounded time.
    options.Scene = [guiThread, target, title] {
      WId id = 0;
      if (!title.isEmpty() && (id = FindWindow(title)) == 0) return QImage();
      auto grabbed = std::make_shared<std::promise<QImage>>();
      std::future<QImage> result = grabbed->get_future();
      QMetaObject::invokeMethod(guiThread, [grabbed, target, id] {
        grabbed->set_value(target ? target->grabWindow(id).toImage() : QImage());
      });
      if (result.wait_for(std::chrono::seconds(3)) != std::future_status::ready) return QImage();
      return result.get();
    };
  }
  options.Verbose = parser.isSet(verbose);
  options.Log = [](const QString& Line) {
    Print(stderr, QStringLiteral("%1 %2").arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")), Line));
  };

  TPtpIpCamera camera(options);
  const std::uint16_t bound = camera.Start();
  if (bound == 0) {
    Print(stderr, QStringLiteral("corvalet-ptpip-camera: %1").arg(camera.Error()));
    return 1;
  }
  Print(stdout, QStringLiteral("corvalet-ptpip-camera: listening on 127.0.0.1:%1 for %2 s; host port ptpip:127.0.0.1:%1:%1")
                    .arg(bound).arg(options.LifetimeSeconds));
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, app.get(), [&] {
    if (!camera.Running()) QCoreApplication::quit();
  });
  watch.start(100);
  const int status = app->exec();
  camera.Stop();
  return status;
}
