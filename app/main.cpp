#include <csignal>
#include <cstdio>

#include "app/CalibrationInForce.h"
#include "app/ChoiceMemory.h"
#include "app/Options.h"
#include "app/Ovl_1.h"
#include "app/ScanCheckLog.h"
#include "app/Windows.h"
#include "platform/Application.h"
#include "sdk/choice/CameraChoice.h"
#include "session/Koordinator.h"

int main(int argc, char** argv) {
  // A network camera's dropped connection must not end the program when it is closed.
  std::signal(SIGPIPE, SIG_IGN);

  // Names the settings file: ~/.config/corvaletscan/corvaletscan.conf.
  TApplication::setOrganizationName("corvaletscan");
  TApplication::setApplicationName("corvaletscan");
  TApplication::setApplicationVersion(CORVALET_VERSION);
  // Settled before the display is opened: help, version and a refusal need none.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const TCommandLine commandLine = ParseCommandLine(arguments);
  if (!commandLine.Options) {
    std::fputs(commandLine.Text.c_str(), commandLine.ExitCode == 0 ? stdout : stderr);
    return commandLine.ExitCode;
  }
  ApplyCameraChoice(commandLine.Options->Camera);

  TApplication application(argc, argv);
  CreateWindows(application);
  Stomper->PhotoTimeout = commandLine.Options->PhotoTimeout;
  Stomper->Delay = commandLine.Options->Settle;
  Koordinator->LogDirectory = TKoordinator::DefaultLogDirectory();
  if (!application.QtTextsCzech())
    Koordinator->Log("Tlačítka a dialogy Qt zůstanou anglicky: v " + TApplication::QtTextsFolder() +
                     " chybí qtbase_cs.qm (balík qt6-translations-l10n)");
  if (commandLine.Options->Defaults) {
    Koordinator->Log("Výchozí volby, nic z tohoto běhu se nezapamatuje");
    RememberCalibrationChoices(false);
  } else {
    RestoreChoices();
    // The calibration in force at the last run's end holds again; the log says which.
    RestoreCalibration();
    Form1->RemembersChoices = true;
  }
  const auto check = CreateLoggedScanCheck();
  Stomper->Check = check.get();
  const int result = application.Run();
  // The check goes before the windows do.
  if (Stomper != nullptr) Stomper->Check = nullptr;
  return result;
}
