// The real program, copied with its encoder library into a folder of its own with a settings file,
// running on a test display until the object ends.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

// A TCP port that is free now, with the next one free for UDP as well.
int FreePortPair();

class RunningVistrel {
 public:
  // settings: the text of SConfig.ini; "{port}" in it is replaced by the chosen port. A languages
  // folder, when given, is copied beside the program as its "languages". A launcher, when given,
  // starts the program: its words come first and the program's path last.
  RunningVistrel(const std::string& display, const std::string& settings,
                 const std::filesystem::path& languages = {},
                 std::vector<std::string> launcher = {});
  ~RunningVistrel();

  int Port() const { return port_; }
  std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(port_) + "/live"; }
  const std::filesystem::path& Folder() const { return folder_; }
  // The copy's file name, which is also the class name of its windows.
  const std::string& ProgramName() const { return name_; }
  std::string LogText() const;
  // Waits until the log holds every line in order (each found after the one before).
  bool WaitForLog(const std::vector<std::string>& lines, std::chrono::milliseconds limit) const;
  // Starts another copy from the same folder.
  std::unique_ptr<ChildProcess> StartCopy() const;
  ChildProcess& Process() { return *process_; }
  // Once the program has ended: its exit status (or signal) and the last lines of its output,
  // which hold a sanitizer's report; empty while it runs.
  std::string EndReport();
  // Whether the program still runs; if not, the test fails with EndReport, told once. The
  // destructor tells it too when the program has ended with a non-zero status and it was not told.
  bool ExpectRunning();

 private:
  std::filesystem::path folder_;
  // A name of its own: copies of one program name end at start-up, and tests run side by side.
  std::string name_;
  std::string display_;
  int port_;
  std::vector<std::string> launcher_;
  std::unique_ptr<ChildProcess> process_;
  bool endReported_ = false;
};

// Lines of the log text that contain none of the given fragments removed: the events of interest
// in order.
bool LinesInOrder(const std::string& text, const std::vector<std::string>& lines);

// ffmpeg's frame checksums of the stream: one line per decoded frame. Returns the number of frames
// decoded and fills size with "WxH" from the decoder.
struct DecodeResult {
  int exitCode = -1;
  int frames = 0;
  std::string size;
  std::string output;
};
DecodeResult DecodeFrames(const std::string& url, const std::string& transport, int frames,
                          int timeoutSeconds = 60);
