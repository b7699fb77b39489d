// The service log: one plain-text file beside the program with one time-stamped line per event.
// Every subsystem writes to it through LogMessage, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/Clock.h"

class TServiceLogFile {
 public:
  // Above this many bytes the file is moved to the backup name before the next line.
  static constexpr std::uintmax_t kMaxSize = 0x100000;
  // Source id of the start and stop lines; LogMessage lines carry source id 0.
  static constexpr int kLifecycleSource = 800;

  // Lines go to `logPath`; while that file cannot be opened or written they go to `fallback`
  // (standard error in the program) after one warning there.
  explicit TServiceLogFile(std::filesystem::path logPath,
                           const platform::TClock& clock = platform::SystemClock(),
                           std::FILE* fallback = stderr);
  ~TServiceLogFile();
  TServiceLogFile(const TServiceLogFile&) = delete;
  TServiceLogFile& operator=(const TServiceLogFile&) = delete;

  // Opens (creating if needed) the file and writes the start line. Does nothing when started.
  void StartLog();
  // Appends one line; the line is in the file when the call returns. Dropped while not started.
  void WriteLine(int sourceId, std::string_view text);
  // Writes the stop line and closes the file. The destructor stops the log too.
  void StopLog();

  bool Started() const;
  const std::filesystem::path& LogPath() const { return logPath_; }
  const std::filesystem::path& BackupPath() const { return backupPath_; }

 private:
  struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  void OpenFile();
  void CheckRotate();
  void WriteToFallback(std::string_view line);
  void Warn(std::string_view message);

  const std::filesystem::path logPath_;
  const std::filesystem::path backupPath_;
  const platform::TClock& clock_;
  std::FILE* const fallback_;

  // Re-entrant because StartLog and StopLog write their lines while holding it.
  mutable std::recursive_mutex lock_;
  std::unique_ptr<std::FILE, TFileCloser> file_;  // empty while stopped or writing to the fallback
  bool started_ = false;
  bool rotationWarned_ = false;
};

// The process-wide log beside the program ("<program>.log"), created on the first call and never
// destroyed, so threads still logging during process exit find it alive. Starting it is up to the
// caller.
TServiceLogFile& GetServiceLog();

// Writes one line with source id 0 to the process-wide log; dropped when the log was not created
// or is not started.
void LogMessage(std::string_view text);

// Writes `count` bytes as lines of up to 16 groups "XX " (upper-case hexadecimal).
void LogHexDump(const void* bytes, std::size_t count);
void LogHexDump(TServiceLogFile& log, const void* bytes, std::size_t count);
