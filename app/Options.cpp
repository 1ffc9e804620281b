#include "app/Options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cmath>

namespace {

// A day: longer would be no limit at all.
constexpr double MaxPhotoTimeoutSeconds = 86400;
// A projector that needs longer than a minute to show a pattern is broken.
constexpr int MaxSettleMs = 60000;

std::string Utf8(const QString& Text) {
  return Text.toUtf8().toStdString();
}

TCommandLine Refusal(const QString& Program, const std::string& Reason) {
  return {std::nullopt, Utf8(Program) + ": " + Reason + "\nTry '" + Utf8(Program) + " --help'.\n",
          2};
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& Arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription("Capture station of a coded-point structured-light 3D scanner.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption photoTimeout(
      "photo-timeout",
      "Seconds a scan waits for each photo before it stops (default 30; 0 waits for ever).",
      "SECONDS");
  parser.addOption(photoTimeout);
  const QCommandLineOption settle(
      "settle",
      "Milliseconds between a pattern on the projector and its photo, for the projector to show "
      "it whole (default 300).",
      "MS");
  parser.addOption(settle);
  const QCommandLineOption camera = CameraCommandLineOption();
  parser.addOption(camera);
  const QCommandLineOption defaults(
      "defaults", "Start from the default folder and raster; remember nothing of this run.");
  parser.addOption(defaults);

  const QString program =
      Arguments.isEmpty() ? QCoreApplication::applicationName() : Arguments.first();
  if (!parser.parse(Arguments)) return Refusal(program, Utf8(parser.errorText()));
  if (parser.isSet(help) || parser.isSet("help-all")) {
    // Without an application object Qt cannot name the program itself.
    QString text = parser.helpText();
    text.replace("<executable_name>", program);
    return {std::nullopt, Utf8(text), 0};
  }
  if (parser.isSet(version))
    return {
        std::nullopt,
        Utf8(QCoreApplication::applicationName() + " " + QCoreApplication::applicationVersion()) +
            "\n",
        0};
  if (!parser.positionalArguments().isEmpty())
    return Refusal(program,
                   "unexpected argument '" + Utf8(parser.positionalArguments().first()) + "'");

  TOptions options;
  options.Defaults = parser.isSet(defaults);
  if (parser.isSet(photoTimeout)) {
    // The last one counts, as usual for a repeated option.
    const QString value = parser.values(photoTimeout).last();
    bool number = false;
    const double seconds = value.trimmed().toDouble(&number);
    if (!number || !std::isfinite(seconds) || seconds < 0 || seconds > MaxPhotoTimeoutSeconds)
      return Refusal(program, "--photo-timeout: '" + Utf8(value) +
                                  "' is not a number of seconds from 0 to 86400");
    const auto milliseconds = std::llround(seconds * 1000);
    // A positive limit stays one: it never turns into "wait for ever".
    options.PhotoTimeout = std::uint32_t(seconds > 0 && milliseconds == 0 ? 1 : milliseconds);
  }
  if (parser.isSet(settle)) {
    const QString value = parser.values(settle).last();
    bool number = false;
    const int milliseconds = value.trimmed().toInt(&number);
    if (!number || milliseconds < 0 || milliseconds > MaxSettleMs)
      return Refusal(program, "--settle: '" + Utf8(value) +
                                  "' is not a whole number of milliseconds from 0 to 60000");
    options.Settle = milliseconds;
  }
  if (parser.isSet(camera)) {
    std::string error;
    const auto chosen = ParseCameraChoice(Utf8(parser.values(camera).last()), error);
    if (!chosen) return Refusal(program, "--camera " + error);
    options.Camera = *chosen;
  }
  return {options, "", 0};
}
