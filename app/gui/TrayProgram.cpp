#include "TrayProgram.h"

#include <QApplication>
#include <QThread>

#include <cstdlib>

#include "MainForm.h"
#include "app/MainEventQueue.h"
#include "app/ServiceControl.h"
#include "log/ServiceLog.h"
#include "platform/ProgramFolder.h"

namespace {

// Main thread only.
TMainForm* mainForm = nullptr;
bool windowsLost = false;
bool endRequested = false;  // before the window existed, too
QtMessageHandler qtDefaultHandler = nullptr;

[[noreturn]] void ServeWithoutWindows() {
  windowsLost = true;
  LogMessage("display connection lost; serving on without the tray");
  MainEventQueue().SetWakeHandler({});
  // Qt's frames below this one are never returned to: its display connection is gone for good.
  MainEventQueue().Run();
  StopService();
  GetServiceLog().StopLog();
  std::_Exit(0);
}

// Qt reports a broken display connection and then ends the process on the spot, with the service
// threads still running. A desktop camera must outlive a restarting X server, so the report is
// taken as the moment to leave Qt behind.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && message.startsWith("The X11 connection broke") &&
      QCoreApplication::instance() != nullptr &&
      QThread::currentThread() == QCoreApplication::instance()->thread()) {
    ServeWithoutWindows();
  }
  if (qtDefaultHandler) qtDefaultHandler(type, context, message);
}

}  // namespace

void EndTrayProgram() {
  endRequested = true;
  if (windowsLost) {
    MainEventQueue().Quit();
  } else if (mainForm) {
    mainForm->CloseMainWindow();
  }
}

void ApplyTrayTexts() {
  if (mainForm) mainForm->ApplyTexts();
}

int RunTrayProgram(int argc, char** argv) {
  qtDefaultHandler = qInstallMessageHandler(OnQtMessage);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setFont(QFont("Arial"));
  const auto runPostedInQtLoop = [] {
    QMetaObject::invokeMethod(qApp, [] { MainEventQueue().RunPosted(); }, Qt::QueuedConnection);
  };
  MainEventQueue().SetWakeHandler(runPostedInQtLoop);
  // Whatever was posted before the loop existed (a termination signal, say) runs first.
  runPostedInQtLoop();
  {
    TMainForm form(StandardMainFormActions(), platform::ProgramFolder());
    mainForm = &form;
    if (endRequested) {
      form.CloseMainWindow();
    } else {
      form.show();
    }
    QApplication::exec();
    mainForm = nullptr;
  }
  MainEventQueue().SetWakeHandler({});
  return 0;
}
