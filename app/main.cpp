// Vistrel: the desktop as a network camera. A tray program: the main window shows a splash, then
// hides; the streaming service runs from its creation to its destruction.
#include <cstdlib>
#include <ctime>

#include "Localize.h"
#include "MainEventQueue.h"
#include "ProcessUtil.h"
#include "ResourceTexts.h"
#include "ScreenSource.h"
#include "ServiceControl.h"
#include "app/gui/TrayProgram.h"
#include "capture/EncoderBinding.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "platform/ProgramFolder.h"
#include "platform/SignalWait.h"

namespace {

void OnLanguageChanged() {
  LoadResourceTexts();
  MainEventQueue().Post([] { ApplyTrayTexts(); });
}

}  // namespace

int main(int argc, char** argv) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  GetServiceLog().StartLog();
  if (const EncoderBinding& binding = ProcessEncoderBinding(); !binding.IsLoaded()) {
    // The service still answers; players get no pictures until the library is back.
    LogMessage("load encoder library failed, e=" + binding.LoadError());
  }
  LoadVideoSettings();
  LoadRtspSettings();
  GetServiceLog().SetFloodLimit(static_cast<std::size_t>(Settings().LogFloodLimit()));
  LoadCameraAccess();
  LoadOnvifSettings();
  LoadCaptureSettings();
  GetLocalize().SetLanguageChangedHandler(OnLanguageChanged);
  LoadResourceTexts();

  // One copy per program name: a second one ends here, before it shows or opens anything.
  if (CountProcessesByName(platform::ProgramPath().filename().string()) >= 2) return 0;

  // A machine without any screen still gets the service; only the windows are missing.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && !WindowsReachable()) {
    LogMessage("no display for the tray window; serving without it");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }

  // Before any other thread exists, so that every thread inherits the blocked signals.
  platform::HandleTerminationSignals([](int) { MainEventQueue().Post(EndTrayProgram); });
  RouteByeActionsToMainThread();

  const int exitCode = RunTrayProgram(argc, argv);
  GetServiceLog().StopLog();
  return exitCode;
}
