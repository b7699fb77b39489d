// Vistrel: the desktop as a network camera. Starts the streaming service and runs until SIGINT or
// SIGTERM, then stops it in order.
#include <cstdlib>
#include <ctime>

#include "EncoderBinding.h"
#include "MainEventQueue.h"
#include "ProcessUtil.h"
#include "ProgramFolder.h"
#include "ServiceControl.h"
#include "ServiceLog.h"
#include "Settings.h"
#include "SignalWait.h"

int main() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  GetServiceLog().StartLog();
  ProcessEncoderBinding();
  LoadVideoSettings();
  LoadRtspSettings();

  // One copy per program name: a second one ends here, before it touches any port.
  if (CountProcessesByName(platform::ProgramPath().filename().string()) >= 2) return 0;

  // Before any other thread exists, so that every thread inherits the blocked signals.
  platform::HandleTerminationSignals(
      [](int) { MainEventQueue().Post([] { MainEventQueue().Quit(); }); });
  RouteByeActionsToMainThread();

  StartService();
  MainEventQueue().Run();
  StopService();
  GetServiceLog().StopLog();
  return 0;
}
