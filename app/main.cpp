#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <iostream>

#include "app/Ovl_1.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "sdk/choice/CameraChoice.h"

int main(int argc, char** argv) {
  // A network camera's dropped connection must not end the program when it is closed.
  std::signal(SIGPIPE, SIG_IGN);

  QCoreApplication::setApplicationName("corvaletscan");
  QCoreApplication::setApplicationVersion(CORVALET_VERSION);
  TCameraChoice camera;
  {
    // Parsed before the windowing application exists, so a refusal opens no window.
    QCoreApplication commandLine(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Capture station of a structured-light 3D scanner.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption cameraOption = CameraCommandLineOption();
    parser.addOption(cameraOption);
    parser.process(commandLine);
    if (parser.isSet(cameraOption)) {
      std::string error;
      const auto chosen = ParseCameraChoice(parser.value(cameraOption).toStdString(), error);
      if (!chosen) {
        std::cerr << "corvaletscan: --camera " << error << "\n";
        return 1;
      }
      camera = *chosen;
    }
  }
  ApplyCameraChoice(camera);

  TApplication application(argc, argv);
  // The first window is the main window.
  application.CreateForm(Form1);
  application.CreateForm(Form2);
  application.CreateForm(PointDef);
  application.CreateForm(Form3);
  return application.Run();
}
