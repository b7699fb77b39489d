// A program started by a test, ended with the object (SIGKILL if it is still running).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts args[0] (a path) with the test's environment plus `environment` ("NAME=value"), its
  // standard output and error appended to outputFile (or /dev/null when empty). Throws when it
  // cannot start.
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               const std::string& outputFile = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Its exit status once it ended within the limit; nothing while it still runs. A process ended
  // by a signal reports 128 + the signal number.
  std::optional<int> WaitFor(std::chrono::milliseconds limit);
  void Signal(int signal);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};
