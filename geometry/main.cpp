// corvalet-calibrate --board COLUMNSxROWS:SQUARE_MM [--out FILE] DIR...

#include <QCoreApplication>
#include <iostream>

#include "geometry/CalibrateCommand.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName("corvalet-calibrate");
  QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION_TEXT));
  return RunCalibrateCommand(QCoreApplication::arguments(), std::cout, std::cerr);
}
