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
#include <cstdio>
#include <future>
#include <memory>

#include "sdk/ptpip/PtpIpCamera.h"

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
  const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one (default 15740)."),
                                QStringLiteral("PORT"), QStringLiteral("15740"));
  const QCommandLineOption lifetime(QStringLiteral("lifetime"),
                                    QStringLiteral("Exit by itself after this many seconds (default 300)."),
                                    QStringLiteral("SECONDS"), QStringLiteral("300"));
  const QCommandLineOption screen(QStringLiteral("screen"),
                                  QStringLiteral("Screen to photograph, 0-based (default: the last screen)."),
                                  QStringLiteral("INDEX"));
  const QCommandLineOption window(
      QStringLiteral("window"),
      QStringLiteral("Photograph only the shown window with this title (found with xdotool at each shot),\n"
                     "e.g. the projection window Velkar; no such window throws no light."),
      QStringLiteral("TITLE"));
  const QCommandLineOption size(QStringLiteral("size"), QStringLiteral("Photo size (default 2048x1536)."),
                                QStringLiteral("WxH"), QStringLiteral("2048x1536"));
  const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the sensor noise (default 1)."),
                                QStringLiteral("N"), QStringLiteral("1"));
  const QCommandLineOption photoBytes(
      QStringLiteral("photo-bytes"),
      QStringLiteral("Serve a valid JPEG padded to N bytes instead of photographing the screen."),
      QStringLiteral("N"));
  const QCommandLineOption latency(QStringLiteral("latency"),
                                   QStringLiteral("Extra delay before a photo is announced, in ms (default 0)."),
                                   QStringLiteral("MS"), QStringLiteral("0"));
  const QCommandLineOption busy(QStringLiteral("busy-on-capture"),
                                QStringLiteral("Fault: the N-th capture answers Device Busy."), QStringLiteral("N"));
  const QCommandLineOption swallow(QStringLiteral("swallow-capture"),
                                   QStringLiteral("Fault: the N-th capture is accepted but no photo comes."),
                                   QStringLiteral("N"));
  const QCommandLineOption dropAtCapture(
      QStringLiteral("drop-at-capture"),
      QStringLiteral("Fault: the N-th capture closes the connection instead of answering."), QStringLiteral("N"));
  const QCommandLineOption dropAfterTransfer(
      QStringLiteral("drop-after-transfer"),
      QStringLiteral("Fault: the connection closes right after the N-th photo was sent in full."),
      QStringLiteral("N"));
  const QCommandLineOption slow(
      QStringLiteral("slow-op"),
      QStringLiteral("Fault: answer the N-th request of operation CODE late, e.g. 0x1009:1 (GetObject)."),
      QStringLiteral("CODE:N"));
  const QCommandLineOption slowMs(QStringLiteral("slow-ms"),
                                  QStringLiteral("How late a slow answer comes, in ms (default 4000)."),
                                  QStringLiteral("MS"), QStringLiteral("4000"));
  const QCommandLineOption huge(QStringLiteral("huge-photo"),
                                QStringLiteral("Fault: the photo of the N-th capture is padded to over 20 MB (22020096 bytes)."),
                                QStringLiteral("N"));
  const QCommandLineOption verbose(QStringLiteral("verbose"),
                                   QStringLiteral("Log every operation with its time."));
  parser.addOptions({port, lifetime, screen, window, size, seed, photoBytes, latency, busy, swallow, dropAtCapture,
                     dropAfterTransfer, slow, slowMs, huge, verbose});
  parser.process(*app);

  if (!parser.positionalArguments().isEmpty()) {
    Print(stderr, QStringLiteral("corvalet-ptpip-camera: unexpected argument \"%1\"; see --help")
                      .arg(parser.positionalArguments().first()));
    return 2;
  }
  TPtpIpCameraOptions options;
  QString bad;
  auto number = [&](const QCommandLineOption& Option, std::int64_t Min, std::int64_t Max, auto& Into) {
    if (!bad.isEmpty() || (!parser.isSet(Option) && Option.defaultValues().isEmpty())) return;
    std::int64_t v = 0;
    const QString text = parser.value(Option);
    if (!ParseInt(text, Min, Max, v))
      bad = QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                .arg(Option.names().first()).arg(Min).arg(Max).arg(text);
    else
      Into = static_cast<std::remove_reference_t<decltype(Into)>>(v);
  };
  number(port, 0, 65535, options.Port);
  number(lifetime, 1, 7 * 24 * 3600, options.LifetimeSeconds);
  number(seed, 0, 0xFFFFFFFFll, options.Seed);
  number(photoBytes, 4096, 1024ll * 1024 * 1024, options.PhotoBytes);
  number(latency, 0, 600000, options.LatencyMs);
  number(busy, 1, 1000000, options.BusyOnCapture);
  number(swallow, 1, 1000000, options.SwallowCapture);
  number(dropAtCapture, 1, 1000000, options.DropAtCapture);
  number(dropAfterTransfer, 1, 1000000, options.DropAfterTransfer);
  number(slowMs, 0, 600000, options.SlowMs);
  number(huge, 1, 1000000, options.HugePhotoAt);
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
