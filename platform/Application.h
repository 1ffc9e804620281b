#pragma once

#include <QApplication>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Forms.h"
#include "platform/Messages.h"

// The application object: owns the windows, runs the message loop and holds the
// application-wide message hook and the standard error box.
class TApplication : public QApplication {
 public:
  // Sees every posted window message taken by any loop before its dispatch;
  // setting Handled to true stops the dispatch.
  using TMessageHook = std::function<void(TMsg& Msg, bool& Handled)>;
  // Shows the text of a failure that escaped a handler.
  using TErrorBox = std::function<void(const std::string& Text)>;

  // Argc must outlive the application. Sets the global Application.
  TApplication(int& Argc, char** Argv);
  ~TApplication() override;

  // Creates a window of class T (default-constructible, derived from TForm) and
  // keeps it until the application ends. Reference is set before the window's
  // FormCreate runs. The first window created becomes the main window.
  template <class T>
  void CreateForm(T*& Reference) {
    auto form = std::make_unique<T>();
    Reference = form.get();
    AddForm(std::move(form));
  }
  TForm* MainForm() const { return FMainForm; }

  // Shows the main window and runs the loop until the main window is closed or
  // Terminate is called. Returns at once when Terminate came first.
  int Run();
  // Handles every pending event, posted messages included, then returns.
  void ProcessMessages();
  // Ends the message loop (and any modal loop inside it) without running any
  // close handler.
  void Terminate();
  bool Terminated() const { return FTerminated; }

  // Both return the previous one; an empty hook lets every message through and
  // an empty error box restores the standard one.
  TMessageHook SetMessageHook(TMessageHook Hook);
  TErrorBox SetErrorBox(TErrorBox Box);

  // Where Qt's own Czech texts (its standard buttons and dialogs) were looked for,
  // and whether they were found there and are in use.
  static std::string QtTextsFolder();
  bool QtTextsCzech() const { return FQtTextsCzech; }

  // Title of the error box; the application name unless set.
  std::string Title() const;
  void SetTitle(const std::string& Title) { FTitle = Title; }

  // Reports a failure that escaped a handler in the error box; the loop goes on.
  void ShowException(const std::string& Text);
  // The error box of a window's own refusal: above Owner's window (transient
  // for it) and under its title. The replaced error box gets it too.
  void ShowError(QWidget* Owner, const std::string& Text);

  bool notify(QObject* Receiver, QEvent* Event) override;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  friend class TForm;
  void AddForm(std::unique_ptr<TForm> Form);
  // The main window closed: the loop ends.
  void MainFormClosed();

  std::vector<std::unique_ptr<TForm>> FForms;
  TForm* FMainForm = nullptr;
  TMessageHook FHook;
  TErrorBox FErrorBox;
  std::string FTitle;
  bool FTerminated = false;
  bool FQtTextsCzech = false;
};

// The one application object; null when none exists.
extern TApplication* Application;

// Runs an event handler; a failure escaping it goes to the application's error
// box and the caller goes on. Without an application the failure is rethrown.
void RunHandler(const std::function<void()>& Handler);
