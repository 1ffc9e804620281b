#pragma once

#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "app/Ovl_1.h"
#include "sdk/choice/CameraChoice.h"

// What the command line sets. A new option is a field here and a few lines in ParseCommandLine.
struct TOptions {
  // Milliseconds a scan waits for each photograph; 0 waits for ever.
  std::uint32_t PhotoTimeout = TStomper::DefaultPhotoTimeout;
  // Milliseconds between a pattern on the projector and its shutter.
  std::int32_t Settle = TStomper::DefaultSettle;
  // Real cameras through libgphoto2 unless --camera names another.
  TCameraChoice Camera;
  // --defaults: start from the defaults and remember nothing of this run.
  bool Defaults = false;
};

// Either Options to run with, or Text to print before the program exits with
// ExitCode: help or version (0, standard output) or a refusal (2, standard error).
struct TCommandLine {
  std::optional<TOptions> Options;
  std::string Text;
  int ExitCode = 0;
};

// Arguments as the program got them, the program's name first. Needs no
// application object; the version is QCoreApplication's.
TCommandLine ParseCommandLine(const QStringList& Arguments);
