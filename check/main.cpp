// corvalet-check DIR: checks a scan folder from the command line.

#include <QCoreApplication>
#include <iostream>

#include "check/CheckCommand.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName("corvalet-check");
  QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION_TEXT));
  return RunCheckCommand(QCoreApplication::arguments(), std::cout, std::cerr);
}
