#pragma once

#include <string>

// Runs a shell command and returns what it printed on standard output; exitCode gets its status.
std::string RunCommand(const std::string& command, int* exitCode = nullptr);

// A file in a fresh temporary folder, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& name);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};
