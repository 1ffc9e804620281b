#include "app/Ovl_1.h"
#include "app/ScanCheckLog.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  // The first window is the main window.
  application.CreateForm(Form1);
  application.CreateForm(Form2);
  application.CreateForm(PointDef);
  application.CreateForm(Form3);
  const auto check = CreateLoggedScanCheck();
  Stomper->Check = check.get();
  return application.Run();
}
