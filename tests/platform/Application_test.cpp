#include "platform/Application.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <stdexcept>
#include <vector>

#include "camera/CameraMessages.h"
#include "platform/Widgets.h"

namespace {

int Argc = 1;
char Arg0[] = "application_test";
char* Argv[] = {Arg0, nullptr};

// A window that records what reaches it.
class TProbeForm : public TForm {
 public:
  // Reads the global reference that CreateForm sets to this window.
  std::function<TForm*()> Reference;
  bool ReferenceSetAtCreate = false;
  int Creates = 0;
  int Closes = 0;
  std::vector<UINT> Received;
  std::function<void(TMsg&)> OnMessage;

 protected:
  void FormCreate() override {
    ++Creates;
    ReferenceSetAtCreate = Reference && Reference() == this;
  }
  void FormClose() override { ++Closes; }
  void WindowMessage(TMsg& Msg) override {
    Received.push_back(Msg.message);
    if (OnMessage) OnMessage(Msg);
  }
};

// Forms whose creation handler checks the global reference, as the windows do.
class TMainProbe;
class TOtherProbe;
TMainProbe* MainProbe = nullptr;
TOtherProbe* OtherProbe = nullptr;

class TMainProbe : public TProbeForm {
 public:
  TMainProbe() {
    Reference = []() -> TForm* { return MainProbe; };
  }
};
class TOtherProbe : public TProbeForm {
 public:
  TOtherProbe() {
    Reference = []() -> TForm* { return OtherProbe; };
  }
};

struct TRun {
  TApplication App{Argc, Argv};
  TMainProbe* Main = nullptr;
  TOtherProbe* Other = nullptr;
  std::vector<std::string> Errors;

  TRun() {
    App.CreateForm(Main);
    App.CreateForm(Other);
    App.SetErrorBox([this](const std::string& Text) { Errors.push_back(Text); });
  }
};

TEST(Application, CreateFormSetsTheReferenceFirstAndTheFirstFormIsMain) {
  QPointer<TForm> main;
  {
    TApplication app(Argc, Argv);
    EXPECT_EQ(Application, &app);
    app.CreateForm(MainProbe);
    app.CreateForm(OtherProbe);
    EXPECT_TRUE(MainProbe->ReferenceSetAtCreate);
    EXPECT_TRUE(OtherProbe->ReferenceSetAtCreate);
    EXPECT_EQ(MainProbe->Creates, 1);
    EXPECT_EQ(app.MainForm(), MainProbe);
    EXPECT_FALSE(OtherProbe->isVisible());
    main = MainProbe;
  }
  // The application owned the windows.
  EXPECT_TRUE(main.isNull());
  EXPECT_EQ(Application, nullptr);
}

TEST(MessageHook, StopsClaimedMessagesInProcessMessagesAndPassesTheRest) {
  TRun run;
  std::vector<UINT> seen;
  run.App.SetMessageHook([&](TMsg& Msg, bool& Handled) {
    seen.push_back(Msg.message);
    Handled = Msg.message == CameraTransferMessage;
  });
  ASSERT_TRUE(PostMessageA(run.Main->Handle(), CameraPropertyMessage, 0, 0));
  ASSERT_TRUE(PostMessageA(run.Main->Handle(), CameraTransferMessage, 0, 77));
  ASSERT_TRUE(PostMessageA(run.Other->Handle(), DownloadProgressMessage, 0, 0));
  EXPECT_TRUE(seen.empty());
  run.App.ProcessMessages();
  EXPECT_EQ(seen, (std::vector<UINT>{1025, 1026, 1027}));
  EXPECT_EQ(run.Main->Received, (std::vector<UINT>{1025}));
  EXPECT_EQ(run.Other->Received, (std::vector<UINT>{1027}));

  // Without a hook everything is dispatched.
  run.App.SetMessageHook(nullptr);
  PostMessageA(run.Main->Handle(), CameraTransferMessage, 0, 0);
  run.App.ProcessMessages();
  EXPECT_EQ(run.Main->Received, (std::vector<UINT>{1025, 1026}));
}

TEST(MessageHook, SeesMessagesInsideAModalLoop) {
  TRun run;
  std::vector<bool> seenWhileModal;
  run.App.SetMessageHook([&](TMsg& Msg, bool& Handled) {
    if (Msg.message != CameraTransferMessage) return;
    seenWhileModal.push_back(QApplication::activeModalWidget() == run.Other);
    Handled = true;
  });
  // The property message comes last; when it reaches the main window, the
  // dialog is ended with OK.
  run.Main->OnMessage = [&](TMsg& Msg) {
    if (Msg.message == CameraPropertyMessage) run.Other->SetModalResult(QDialog::Accepted);
  };
  QTimer::singleShot(0, [&] {
    PostMessageA(run.Main->Handle(), CameraTransferMessage, 0, 1);
    PostMessageA(run.Main->Handle(), CameraPropertyMessage, 0, 0);
  });
  EXPECT_EQ(run.Other->ShowModal(), 1);
  EXPECT_EQ(seenWhileModal, (std::vector<bool>{true}));
  EXPECT_EQ(run.Main->Received, (std::vector<UINT>{1025}));
  EXPECT_FALSE(run.Other->isVisible());
}

TEST(Form, CloseBoxEndsAModalShowingWithCancelAndKeepsTheProgram) {
  TRun run;
  QTimer::singleShot(0, [&] { run.Other->close(); });
  EXPECT_EQ(run.Other->ShowModal(), QDialog::Rejected);
  EXPECT_EQ(run.Other->Closes, 1);
  EXPECT_FALSE(run.App.Terminated());
  // A result set outside a modal showing does nothing.
  run.Other->show();
  run.Other->SetModalResult(QDialog::Accepted);
  EXPECT_TRUE(run.Other->isVisible());
}

TEST(Form, AModalShowingBelongsToAShownStayOnTopWindowElseToTheActiveOne) {
  TRun run;
  run.Main->SetStayOnTop(true);
  TProbeForm ordinary;
  QWindow* owner = nullptr;
  const auto ownerWhileModal = [&] {
    QTimer::singleShot(0, [&] {
      owner = run.Other->windowHandle()->transientParent();
      run.Other->SetModalResult(QDialog::Accepted);
    });
    EXPECT_EQ(run.Other->ShowModal(), QDialog::Accepted);
    return owner;
  };
  const auto activateOrdinary = [&] {
    ordinary.activateWindow();
    return QTest::qWaitForWindowActive(&ordinary);
  };
  run.Main->show();
  ordinary.show();
  ASSERT_TRUE(activateOrdinary());
  // Belonging to the ordinary window would keep the dialog below the main window.
  EXPECT_EQ(ownerWhileModal(), run.Main->windowHandle());
  run.Main->hide();
  ASSERT_TRUE(activateOrdinary());
  EXPECT_EQ(ownerWhileModal(), ordinary.windowHandle());
  ordinary.hide();
  EXPECT_EQ(ownerWhileModal(), nullptr);
}

TEST(Application, ClosingTheMainWindowRunsItsCloseHandlerAndEndsTheLoop) {
  TRun run;
  run.Other->show();
  QTimer::singleShot(0, [&] { run.Main->close(); });
  // Would hang if the loop went on.
  run.App.Run();
  EXPECT_EQ(run.Main->Closes, 1);
  EXPECT_EQ(run.Other->Closes, 0);
  EXPECT_TRUE(run.App.Terminated());
}

TEST(Application, ClosingAnotherWindowOnlyHidesIt) {
  TRun run;
  bool stillRunning = false;
  QTimer::singleShot(0, [&] {
    run.Other->show();
    run.Other->close();
  });
  QTimer::singleShot(50, [&] {
    stillRunning = true;
    run.App.Terminate();
  });
  run.App.Run();
  EXPECT_TRUE(stillRunning);
  EXPECT_EQ(run.Other->Closes, 1);
  EXPECT_FALSE(run.Other->isVisible());
  EXPECT_EQ(run.Main->Closes, 0);
}

TEST(Application, TerminateEndsModalAndMainLoopsWithoutCloseHandlers) {
  TRun run;
  int modalResult = 99;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [&] { run.App.Terminate(); });
    modalResult = run.Other->ShowModal();
  });
  run.App.Run();
  EXPECT_NE(modalResult, 99);
  EXPECT_EQ(run.Main->Closes, 0);
  EXPECT_EQ(run.Other->Closes, 0);
  // Nothing runs once terminated.
  EXPECT_EQ(run.App.Run(), 0);
}

TEST(Application, ErrorBoxShowsAFailureFromAHandlerAndTheLoopGoesOn) {
  TRun run;
  run.App.SetTitle("CorvaletScan");
  auto* button = new TSpeedButton(run.Main, "SpeedButton1", "Inicializace", QRect(10, 16, 71, 25));
  button->OnClick = [] { throw std::runtime_error("Soubor nelze vytvořit"); };
  // A failure outside the program's own handlers reaches the error box too.
  QTimer::singleShot(0, [] { throw std::runtime_error("z časovače"); });
  QTimer::singleShot(10, [&] { QTest::mouseClick(button, Qt::LeftButton); });
  bool stillRunning = false;
  QTimer::singleShot(60, [&] {
    stillRunning = true;
    run.App.Terminate();
  });
  run.App.Run();
  EXPECT_TRUE(stillRunning);
  EXPECT_EQ(run.Errors, (std::vector<std::string>{"z časovače", "Soubor nelze vytvořit"}));
  EXPECT_EQ(run.App.Title(), "CorvaletScan");
}

TEST(Form, CentredAtFirstShowingOnlyAndEscapeClosesNothing) {
  TRun run;
  run.Main->SetClientSize(387, 473);
  run.Main->SetBorderStyle(TBorderStyle::bsSingle);
  run.Main->SetStayOnTop(true);
  EXPECT_FALSE(run.Main->windowFlags() & Qt::WindowMaximizeButtonHint);

  run.Main->show();
  const QRect screen = run.Main->screen()->geometry();
  EXPECT_EQ(run.Main->frameGeometry().center(), screen.center());
  EXPECT_EQ(run.Main->size(), QSize(387, 473));
  EXPECT_EQ(run.Main->minimumSize(), run.Main->maximumSize());

  QTest::keyClick(run.Main, Qt::Key_Escape);
  EXPECT_TRUE(run.Main->isVisible());
  EXPECT_EQ(run.Main->Closes, 0);

  run.Main->move(5, 7);
  run.Main->hide();
  run.Main->show();
  EXPECT_EQ(run.Main->pos(), QPoint(5, 7));
}

}  // namespace
