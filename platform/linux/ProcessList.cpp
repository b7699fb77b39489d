#include "platform/ProcessList.h"

#include <cctype>
#include <filesystem>
#include <fstream>
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

}  // namespace

std::vector<std::string> RunningProcessFileNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string id = entry.path().filename().string();
    if (!IsProcessFolder(id)) continue;
    std::string name = ExecutableName(entry.path());
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace platform
