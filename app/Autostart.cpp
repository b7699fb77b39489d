#include "Autostart.h"

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "log/ServiceLog.h"
#include "platform/DurableFile.h"
#include "platform/ProgramFiles.h"
#include "platform/ProgramFolder.h"

std::filesystem::path AutostartEntryPath(std::string_view configHome, std::string_view home) {
  // A relative XDG_CONFIG_HOME is invalid and to be ignored.
  if (!configHome.empty() && configHome.front() == '/') {
    return std::filesystem::path(configHome) / "autostart" / "vistrel.desktop";
  }
  if (home.empty()) return {};
  return std::filesystem::path(home) / ".config" / "autostart" / "vistrel.desktop";
}

namespace {

// An Exec argument: quoted when it holds anything the desktop would split or expand, with the
// quoted form's own escapes; then the backslashes doubled once more, as every string value of a
// desktop entry has its escapes undone before Exec is read.
std::string ExecArgument(const std::string& path) {
  bool plain = !path.empty();
  for (const char c : path) {
    if (std::string_view(" \t\n\"'\\><~|&;$*?#()`%=").find(c) != std::string_view::npos) {
      plain = false;
    }
  }
  if (plain) return path;
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '%') {
      quoted += "%%";
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string AutostartEntry(const std::vector<std::string>& command) {
  std::string exec;
  for (const std::string& word : command) exec += (exec.empty() ? "" : " ") + ExecArgument(word);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Vistrel\n"
         "Comment=The desktop as a network camera\n"
         "Exec=" + exec + "\n"
         "Icon=vistrel\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool StartsWithDesktop(const std::filesystem::path& entry) {
  const platform::TFileContents file = platform::ReadWholeFile(entry, 64 * 1024);
  if (file.status != platform::TFileReadStatus::Read) return false;
  std::istringstream lines(file.contents);
  for (std::string line; std::getline(lines, line);) {
    if (line == "Hidden=true") return false;
  }
  return true;
}

bool SetStartWithDesktop(const std::filesystem::path& entry, const std::vector<std::string>& command,
                         bool on, std::string& error) {
  if (entry.empty()) {
    error = "neither XDG_CONFIG_HOME nor HOME says where the autostart folder is";
    return false;
  }
  std::error_code failure;
  if (!on) {
    std::filesystem::remove(entry, failure);
    if (failure) error = "cannot remove " + entry.string() + ": " + failure.message();
    return !failure;
  }
  std::filesystem::create_directories(entry.parent_path(), failure);
  if (failure) {
    error = "cannot make " + entry.parent_path().string() + ": " + failure.message();
    return false;
  }
  // Never half written: a desktop logging in at that moment must not read a broken entry.
  if (!platform::ReplaceFileDurably(entry, AutostartEntry(command))) {
    error = "cannot write " + entry.string();
    return false;
  }
  return true;
}

namespace {

std::filesystem::path ProgramEntry() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  return AutostartEntryPath(configHome ? configHome : "", home ? home : "");
}

}  // namespace

bool ProgramStartsWithDesktop() {
  return StartsWithDesktop(ProgramEntry());
}

void SetProgramStartWithDesktop(bool on) {
  const std::filesystem::path entry = ProgramEntry();
  std::string error;
  std::vector<std::string> command{platform::ProgramPath().string()};
  const platform::TProgramFiles& files = platform::ProgramFiles();
  if (files.configNamed) command.insert(command.end(), {"--config", files.configFile.string()});
  if (SetStartWithDesktop(entry, command, on, error)) {
    LogMessage(std::string(on ? "starts with the desktop: " : "no longer starts with the desktop: ") +
               entry.string());
  } else {
    LogMessage("start with the desktop: " + error);
  }
}
