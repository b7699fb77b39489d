// Vistrel: the desktop as a network camera. A tray program: the main window shows a splash, then
// hides; the streaming service runs from its creation to its destruction.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>

#include "CommandLine.h"
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
#include "platform/ProcessList.h"
#include "platform/ProgramFiles.h"
#include "platform/ProgramFolder.h"
#include "platform/SignalWait.h"

namespace {

void OnLanguageChanged() {
  LoadResourceTexts();
  MainEventQueue().Post([] { ApplyTrayTexts(); });
}

// Decides where the settings, the log and completed language files go, before anything reads or
// writes one. False when there is no such place; the reason is then on standard error.
bool SettleProgramFiles(const TCommandLine& line) {
  platform::TProgramFiles files =
      platform::DecideProgramFiles(platform::ReadProgramFileFacts(line.configFile));
  if (!files.error.empty()) {
    std::cerr << "vistrel: " << files.error << '\n';
    return false;
  }
  for (std::string& failure : platform::PrepareProgramFiles(files)) {
    files.notes.push_back(std::move(failure));
  }
  platform::UseProgramFiles(std::move(files));
  return true;
}

void LogProgramFiles() {
  const platform::TProgramFiles& files = platform::ProgramFiles();
  LogMessage("settings " + files.configFile.string() + ", log in " +
             files.logFile.parent_path().string() + ", language files completed in " +
             files.userLanguagesFolder.string());
  for (const std::string& note : files.notes) LogMessage(note);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string programName =
      argc > 0 && argv[0] != nullptr ? std::filesystem::path(argv[0]).filename().string() : "";
  const TCommandLine line = ParseCommandLine(argc, argv);
  if (const auto exitCode = AnswerCommandLine(line, programName, std::cout, std::cerr)) {
    return *exitCode;
  }
  if (!SettleProgramFiles(line)) return 1;

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  GetServiceLog().StartLog();
  LogProgramFiles();
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

  // One copy per program name and user: a second one ends here, before it shows or opens anything.
  // Another user's copy serves that user's desktop and is left alone.
  const std::string fileName = platform::ProgramPath().filename().string();
  if (CountProcessesByName(fileName, platform::RealUser()) >= 2) return 0;

  // A machine without any screen still gets the service; only the windows are missing.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && !WindowsReachable()) {
    LogMessage("no display for the tray window; serving without it");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }

  // Before any other thread exists, so that every thread inherits the blocked signals.
  platform::HandleTerminationSignals([](int) { MainEventQueue().Post(EndTrayProgram); });
  RouteByeActionsToMainThread();

  // Qt sees the program's name alone: the words after it were ours, and some mean things to Qt.
  char* qtArguments[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  const int exitCode = RunTrayProgram(argc > 0 ? 1 : 0, qtArguments);
  GetServiceLog().StopLog();
  return exitCode;
}
