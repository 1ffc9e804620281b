#include "pattern/obraz.h"

#include "platform/Application.h"
#include "platform/Monitors.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* Parent) : TForm(Parent) {
  setObjectName("Form2");
  SetCaption("Velkar");
  SetBorderStyle(TBorderStyle::bsDialog);
  SetClientSize(ClientWidth, ClientHeight);
  Image1 = new TImage(this, "Image1", QRect(0, 0, ClientWidth, ClientHeight));
  Image1->OnClick = [this] { Image1Click(); };
  Image1->OnDblClick = [this] { Image1DblClick(); };
}

TForm2::~TForm2() {
  ReleaseMatGen();
  if (Form2 == this) Form2 = nullptr;
}

void TForm2::FormCreate() {
  FMatGen = TMatGen::Create(Image1->Data());
  MatGen = FMatGen.get();
  MatGen->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
  MatGen->FillField(0);
}

void TForm2::ReleaseMatGen() {
  if (MatGen == FMatGen.get()) MatGen = nullptr;
  FMatGen.reset();
}

void TForm2::Image1Click() {
  if (Application == nullptr || Application->MainForm() == nullptr) return;
  QWidget* main = Application->MainForm();
  // A minimised main window comes back as well as a hidden one.
  main->setWindowState(main->windowState() & ~Qt::WindowMinimized);
  main->show();
  main->raise();
  main->activateWindow();
}

void TForm2::Image1DblClick() {
  const std::vector<QRect> monitors = MonitorBounds();
  if (monitors.size() < 2) return;
  const QRect& target = monitors[1];
  // Top first, then left; move() places the outer frame.
  move(x(), target.top());
  move(target.left(), y());
}
