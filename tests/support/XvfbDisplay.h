#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A virtual X server (Xvfb) for one test, local connections only, stopped with the object.
class XvfbDisplay {
 public:
  struct Screen {
    int width = 640;
    int height = 480;
    int depth = 24;
  };

  // Starts on the first free display number. extraArguments go to Xvfb as they are, e.g.
  // {"-extension", "MIT-SHM"} for a server without shared memory reads. Throws when Xvfb does not
  // come up within a few seconds.
  explicit XvfbDisplay(Screen screen, std::vector<std::string> extraArguments = {});
  // Starts on the given display number, e.g. to bring a display back after Kill.
  XvfbDisplay(int number, Screen screen, std::vector<std::string> extraArguments = {});
  ~XvfbDisplay();

  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  int Number() const { return number_; }
  pid_t Pid() const { return pid_; }
  std::string Name() const { return ":" + std::to_string(number_); }

  // Ends the server abruptly, as a crash would, and clears what it leaves behind; the display
  // number is free again afterwards.
  void Kill();

 private:
  void Start(int number, const Screen& screen, const std::vector<std::string>& extraArguments);
  void Stop(int signal);

  pid_t pid_ = -1;
  int number_ = -1;
};
