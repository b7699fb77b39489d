// A shared library loaded at run time by path, whose exports are looked up by name. Loading may
// fail; the object then reports why and every lookup finds nothing, so callers degrade instead of
// crashing.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

class DynamicLibrary {
 public:
  // Loads the library at path. A relative path is taken from the current folder, never searched
  // for in the system's library folders.
  explicit DynamicLibrary(const std::filesystem::path& path);
  // Unloads the library; whatever was looked up in it is invalid from then on.
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool IsLoaded() const noexcept { return handle_ != nullptr; }
  // Why loading failed; empty when it succeeded.
  const std::string& LoadError() const noexcept { return loadError_; }

  // The address of the export called name, or null when it is missing or nothing is loaded.
  void* FindSymbol(const char* name) const noexcept;

  template <typename Function>
  Function FindFunction(const char* name) const noexcept {
    return reinterpret_cast<Function>(FindSymbol(name));
  }

 private:
  void* handle_ = nullptr;
  std::string loadError_;
};

}  // namespace platform
