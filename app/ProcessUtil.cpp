#include "ProcessUtil.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/ProcessList.h"

namespace {

std::string Normalized(std::string name) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  name.erase(name.begin(), std::find_if_not(name.begin(), name.end(), blank));
  name.erase(std::find_if_not(name.rbegin(), name.rend(), blank).base(), name.end());
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

}  // namespace

int CountProcessesByName(const std::string& fileName, uid_t realUser) {
  const std::string wanted = Normalized(std::filesystem::path(fileName).filename().string());
  if (wanted.empty()) return 0;
  int count = 0;
  for (const platform::TRunningProcess& process : platform::RunningProcesses()) {
    if (process.realUser == realUser && Normalized(process.fileName) == wanted) ++count;
  }
  return count;
}
