#include "platform/ProcessList.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace platform {

namespace {

bool IsProcessFolder(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The file name the process was started from: its executable link, or, where that may not be
// read (another user's process), the first word of its command line.
std::string ExecutableName(const std::filesystem::path& folder) {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink(folder / "exe", error);
  if (!error) {
    std::string name = exe.filename().string();
    // A replaced executable reads "name (deleted)"; it is still that program running.
    constexpr std::string_view kDeleted = " (deleted)";
    if (name.ends_with(kDeleted)) name.resize(name.size() - kDeleted.size());
    return name;
  }
  std::ifstream cmdline(folder / "cmdline", std::ios::binary);
  std::string first;
  std::getline(cmdline, first, '\0');
  return std::filesystem::path(first).filename().string();
}

// The first of the four user ids on the status file's "Uid:" line is the real one.
uid_t RealUserOf(const std::filesystem::path& folder) {
  std::ifstream status(folder / "status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream ids(line.substr(4));
    unsigned long id = 0;
    if (ids >> id) return static_cast<uid_t>(id);
    break;
  }
  return static_cast<uid_t>(-1);
}

}  // namespace

std::vector<TRunningProcess> RunningProcesses() {
  std::vector<TRunningProcess> processes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string id = entry.path().filename().string();
    if (!IsProcessFolder(id)) continue;
    std::string name = ExecutableName(entry.path());
    if (!name.empty()) processes.push_back({std::move(name), RealUserOf(entry.path())});
  }
  return processes;
}

uid_t RealUser() {
  return ::getuid();
}

}  // namespace platform
