#include "app/Windows.h"

#include "app/Ovl_1.h"
#include "dialogs/Pdef.h"
#include "dialogs/adres.h"
#include "pattern/obraz.h"

void CreateWindows(TApplication& App) {
  App.CreateForm(Form1);
  App.CreateForm(Form2);
  App.CreateForm(PointDef);
  App.CreateForm(Form3);
}
