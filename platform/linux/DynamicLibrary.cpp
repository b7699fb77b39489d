#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <system_error>

namespace platform {

DynamicLibrary::DynamicLibrary(const std::filesystem::path& path) {
  std::error_code error;
  // dlopen searches the system's library folders for a name without a slash; an absolute path
  // makes sure the file loaded is the one asked for.
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error || path.empty()) {
    loadError_ = "cannot load '" + path.string() + "': not a usable path";
    return;
  }
  handle_ = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* reason = dlerror();
    loadError_ = reason ? reason : "cannot load '" + absolute.string() + "'";
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) dlclose(handle_);
}

void* DynamicLibrary::FindSymbol(const char* name) const noexcept {
  if (!handle_ || !name) return nullptr;
  return dlsym(handle_, name);
}

}  // namespace platform
