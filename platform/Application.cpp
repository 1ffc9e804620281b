#include "platform/Application.h"

#include <QFont>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <exception>

TApplication* Application = nullptr;

namespace {

// The windows' font: a sans face, 11 pixels high, close to the look the
// layouts were drawn for.
QFont FormFont() {
  QFont font;
  font.setFamilies({"Liberation Sans", "Arial", "Nimbus Sans", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

}  // namespace

TApplication::TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {
  Application = this;
  // Only the main window ends the program, whatever else is still shown.
  setQuitOnLastWindowClosed(false);
  setFont(FormFont());
  // The station speaks Czech whatever the locale: Qt's "OK", "Zrušit" and its dialogs too.
  auto* qtTexts = new QTranslator(this);
  FQtTextsCzech =
      qtTexts->load(QStringLiteral("qtbase_cs"), QString::fromStdString(QtTextsFolder()));
  if (FQtTextsCzech) installTranslator(qtTexts);
  installEventFilter(this);
}

std::string TApplication::QtTextsFolder() {
  return QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();
}

TApplication::~TApplication() {
  removeEventFilter(this);
  // Windows go before the application, newest first.
  while (!FForms.empty()) FForms.pop_back();
  if (Application == this) Application = nullptr;
}

void TApplication::AddForm(std::unique_ptr<TForm> Form) {
  TForm* form = Form.get();
  FForms.push_back(std::move(Form));
  if (FMainForm == nullptr) FMainForm = form;
  form->FormCreate();
}

int TApplication::Run() {
  if (FTerminated) return 0;
  if (FMainForm) FMainForm->show();
  return exec();
}

void TApplication::ProcessMessages() {
  processEvents(QEventLoop::AllEvents);
  // Also what was posted while the pass above ran, from any thread.
  sendPostedEvents();
}

void TApplication::Terminate() {
  FTerminated = true;
  // Leaves every running loop of the thread, modal ones included.
  exit(0);
}

void TApplication::MainFormClosed() {
  Terminate();
}

TApplication::TMessageHook TApplication::SetMessageHook(TMessageHook Hook) {
  TMessageHook previous = std::move(FHook);
  FHook = std::move(Hook);
  return previous;
}

TApplication::TErrorBox TApplication::SetErrorBox(TErrorBox Box) {
  TErrorBox previous = std::move(FErrorBox);
  FErrorBox = std::move(Box);
  return previous;
}

std::string TApplication::Title() const {
  return FTitle.empty() ? applicationName().toStdString() : FTitle;
}

void TApplication::ShowException(const std::string& Text) {
  if (FErrorBox) {
    // A copy: the box may replace itself.
    TErrorBox box = FErrorBox;
    box(Text);
    return;
  }
  QMessageBox::critical(nullptr, QString::fromStdString(Title()), QString::fromStdString(Text));
}

void TApplication::ShowError(QWidget* Owner, const std::string& Text) {
  if (FErrorBox || Owner == nullptr) {
    ShowException(Text);
    return;
  }
  QWidget* window = Owner->window();
  QMessageBox::critical(window, window->windowTitle(), QString::fromStdString(Text));
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& Error) {
    ShowException(Error.what());
  } catch (...) {
    ShowException("Neznámá chyba");
  }
  return false;
}

bool TApplication::eventFilter(QObject* Watched, QEvent* Event) {
  NoteEventTaken(Event);
  if (Event->type() != TMessageEvent::EventType() || !FHook)
    return QApplication::eventFilter(Watched, Event);
  TMsg& msg = static_cast<TMessageEvent*>(Event)->Msg;
  bool handled = false;
  // A copy: the hook may install another one while it runs.
  TMessageHook hook = FHook;
  RunHandler([&] { hook(msg, handled); });
  return handled;
}

void RunHandler(const std::function<void()>& Handler) {
  if (!Handler) return;
  if (Application == nullptr) {
    Handler();
    return;
  }
  try {
    Handler();
  } catch (const std::exception& Error) {
    Application->ShowException(Error.what());
  } catch (...) {
    Application->ShowException("Neznámá chyba");
  }
}
