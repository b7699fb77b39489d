#include "StartupLogo.h"

#include <system_error>

std::optional<std::filesystem::path> FindStartupLogo(const std::filesystem::path& programFolder) {
  for (const auto& folder : {programFolder, programFolder / "images"}) {
    for (const char* name : {"StartupLogo.jpg", "StartupLogo.bmp"}) {
      std::error_code error;
      const auto candidate = folder / name;
      if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
  }
  return std::nullopt;
}
