#include "platform/ProgramFolder.h"

#include <system_error>

namespace platform {

std::filesystem::path ProgramPath() {
  std::error_code error;
  // The kernel's own link survives the program being started through a symlink or a relative path.
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return path;
}

std::filesystem::path ProgramFolder() { return ProgramPath().parent_path(); }

}  // namespace platform
