// The service log: one plain-text file with one time-stamped line per event.
// Every subsystem writes to it through LogMessage, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "log/LogBackups.h"
#include "log/LogFloodGuard.h"
#include "log/LogSourceScope.h"
#include "log/LogText.h"
#include "platform/Clock.h"

// Every message is written through LogValue(text, kLogTextMax), so control bytes from the network
// reach the file as "\xNN" and a line never runs past about 1 kB. Lines written inside a
// TLogSourceScope count against that source (see TLogFloodGuard); the program's own never do.
class TServiceLogFile {
 public:
  // Default most bytes in the log file: a line that would take it above this first moves the file
  // to the backups (a single longer line still goes into an empty file).
  static constexpr std::uintmax_t kMaxSize = 0x100000;
  // Default most bytes the log file and its backups take together.
  static constexpr std::uintmax_t kMaxTotalSize = 5 * kMaxSize;
  // Source id of the start and stop lines; LogMessage lines carry source id 0.
  static constexpr int kLifecycleSource = 800;
  // While lines go to the fallback, the file is tried again at most this often (milliseconds);
  // a log that cannot be rotated is tried again as often.
  static constexpr std::uint32_t kRetryMs = 60000;

  // Lines go to `logPath`; while that file cannot be opened or written they go to `fallback`
  // (standard error in the program) after one warning there.
  explicit TServiceLogFile(std::filesystem::path logPath,
                           const platform::TClock& clock = platform::SystemClock(),
                           std::FILE* fallback = stderr, std::uintmax_t maxFileSize = kMaxSize,
                           std::uintmax_t maxTotalSize = kMaxTotalSize);
  ~TServiceLogFile();
  TServiceLogFile(const TServiceLogFile&) = delete;
  TServiceLogFile& operator=(const TServiceLogFile&) = delete;

  // Opens (creating if needed) the file and writes the start line. Does nothing when started.
  void StartLog();
  // Appends one line; the line is in the file when the call returns. Dropped while not started,
  // and left out (counted, then summed up in one line) when the thread's source has had its share.
  void WriteLine(int sourceId, std::string_view text);
  // Sums up lines left out, writes the stop line and closes the file. The destructor stops the log
  // too.
  void StopLog();
  // Lines a second one network source may have written before the rest are summed up; 0: all.
  void SetFloodLimit(std::size_t linesPerSecond);

  bool Started() const;
  const std::filesystem::path& LogPath() const { return logPath_; }
  // The newest backup, "<name>.Bak".
  const std::filesystem::path& BackupPath() const { return backups_.Newest(); }
  // The backup `age` places older than the newest: "<name>.Bak.<age>", the newest for 0.
  std::filesystem::path BackupPath(std::size_t age) const { return backups_.Path(age); }

 private:
  // An open file descriptor, closed with its owner.
  class TDescriptor {
   public:
    TDescriptor() = default;
    explicit TDescriptor(int fd) : fd_(fd) {}
    ~TDescriptor() { Reset(); }
    TDescriptor(TDescriptor&& other) noexcept;
    TDescriptor& operator=(TDescriptor&& other) noexcept;
    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset();

   private:
    int fd_ = -1;
  };

  void WriteUnlimited(int sourceId, std::string_view text);
  void WriteSummaries(std::uint32_t now, bool all);
  void OpenFile(std::uint32_t now);
  void CheckFile(std::size_t lineSize, std::uint32_t now);
  std::string WriteToFile(std::string_view data);
  void SwitchToFallback(std::string_view message, std::uint32_t now);
  void WriteToFallback(std::string_view line);
  void Warn(std::string_view message);

  const std::filesystem::path logPath_;
  const TLogBackups backups_;
  const std::uintmax_t maxFileSize_;
  const platform::TClock& clock_;
  std::FILE* const fallback_;

  mutable std::mutex lock_;
  TDescriptor file_;  // empty while stopped or writing to the fallback
  bool started_ = false;
  TLogFloodGuard flood_;
  // Set from a failed open or write until a line is in the file again.
  bool onFallback_ = false;
  std::uint32_t fallbackSince_ = 0;  // tick of the last failed attempt
  std::uint64_t fallbackLines_ = 0;
  bool rotationFailed_ = false;
  std::uint32_t rotationFailedAt_ = 0;
  bool rotationWarned_ = false;
};

// The process-wide log "<program>.log" where the process decided at start (beside the program, in
// the user's state folder, or beside the --config file), created on the first call and never
// destroyed, so threads still logging during process exit find it alive. Starting it is up to the
// caller.
TServiceLogFile& GetServiceLog();

// Writes one line with source id 0 to the process-wide log; dropped when the log was not created
// or is not started.
void LogMessage(std::string_view text);

// Writes `count` bytes as lines of up to 16 groups "XX " (upper-case hexadecimal).
void LogHexDump(const void* bytes, std::size_t count);
void LogHexDump(TServiceLogFile& log, const void* bytes, std::size_t count);
