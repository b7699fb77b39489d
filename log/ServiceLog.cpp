#include "ServiceLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>

#include "platform/ProgramFiles.h"

namespace {

// "yyyy-MM-dd h:nn:ss zzz", directly followed by the source tag.
std::string FormatLine(const platform::TLocalDateTime& time, int sourceId, std::string_view text) {
  char stamp[64];
  const int stampLength =
      std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %d:%02d:%02d %03d", time.year, time.month,
                    time.day, time.hour, time.minute, time.second, time.millisecond);
  std::string line(stamp, static_cast<std::size_t>(std::clamp(stampLength, 0, 63)));
  if (sourceId == 0) {
    line += "@local:";
  } else {
    line += "@HWD(";
    line += std::to_string(sourceId);
    line += "):";
  }
  line += text;
  line += "\r\n";
  return line;
}

// The date and time in the user's locale, for the start and stop lines.
std::string LocaleDateTimeText(const platform::TLocalDateTime& time) {
  std::tm fields = platform::ToTm(time);
  // Some locales name the weekday in their date format.
  using namespace std::chrono;
  const year_month_day date{year{time.year}, month{static_cast<unsigned>(time.month)},
                            day{static_cast<unsigned>(time.day)}};
  if (date.ok()) {
    const sys_days days{date};
    fields.tm_wday = static_cast<int>(weekday{days}.c_encoding());
    fields.tm_yday = static_cast<int>((days - sys_days{date.year() / January / 1}).count());
  }
  char buffer[256];
  // The locale's own short date and time formats are wanted, two-digit year included where the
  // locale has one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%x %X", &fields);
#pragma GCC diagnostic pop
  return std::string(buffer, length);
}

std::atomic<TServiceLogFile*> processLog{nullptr};

std::string ErrnoText(int error) {
  return std::generic_category().message(error);
}

}  // namespace

TServiceLogFile::TDescriptor::TDescriptor(TDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

TServiceLogFile::TDescriptor& TServiceLogFile::TDescriptor::operator=(
    TDescriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void TServiceLogFile::TDescriptor::Reset() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

TServiceLogFile::TServiceLogFile(std::filesystem::path logPath, const platform::TClock& clock,
                                 std::FILE* fallback, std::uintmax_t maxFileSize,
                                 std::uintmax_t maxTotalSize)
    : logPath_(std::move(logPath)),
      backups_(std::filesystem::path(logPath_).replace_extension(".Bak"), maxFileSize,
               maxTotalSize),
      maxFileSize_(maxFileSize),
      clock_(clock),
      fallback_(fallback) {}

TServiceLogFile::~TServiceLogFile() {
  StopLog();
}

bool TServiceLogFile::Started() const {
  const std::lock_guard guard(lock_);
  return started_;
}

void TServiceLogFile::StartLog() {
  const std::lock_guard guard(lock_);
  if (started_) return;
  OpenFile(clock_.TickCount());
  started_ = true;
  WriteUnlimited(kLifecycleSource, "Log Start-->" + LocaleDateTimeText(clock_.LocalNow()));
}

void TServiceLogFile::SetFloodLimit(std::size_t linesPerSecond) {
  const std::lock_guard guard(lock_);
  flood_.SetLinesPerWindow(linesPerSecond);
}

void TServiceLogFile::StopLog() {
  const std::lock_guard guard(lock_);
  if (!started_) return;
  WriteSummaries(clock_.TickCount(), true);
  WriteUnlimited(kLifecycleSource, "Log Stop-->" + LocaleDateTimeText(clock_.LocalNow()));
  started_ = false;
  file_.Reset();
}

void TServiceLogFile::WriteLine(int sourceId, std::string_view text) {
  const std::string& source = TLogSourceScope::Current();
  const std::lock_guard guard(lock_);
  // Checked under the lock, so a concurrent StopLog cannot close the file between check and write.
  if (!started_) return;
  const std::uint32_t now = clock_.TickCount();
  WriteSummaries(now, false);
  if (!source.empty() && !flood_.Admit(source, now)) return;
  WriteUnlimited(sourceId, text);
}

void TServiceLogFile::WriteSummaries(std::uint32_t now, bool all) {
  for (const std::string& summary : flood_.TakeSummaries(now, all)) WriteUnlimited(0, summary);
}

void TServiceLogFile::WriteUnlimited(int sourceId, std::string_view text) {
  const std::uint32_t now = clock_.TickCount();
  const platform::TLocalDateTime time = clock_.LocalNow();
  const std::string line = FormatLine(time, sourceId, LogValue(text, kLogTextMax));
  if (!file_ && onFallback_ && platform::TicksElapsed(fallbackSince_, now) >= kRetryMs) {
    OpenFile(now);
  }
  if (file_) {
    // Whoever reads the file learns there where the lines missing from it went.
    const std::string resumed =
        onFallback_ ? FormatLine(time, 0,
                                 "logging to this file resumed; " + std::to_string(fallbackLines_) +
                                     " lines went to standard error meanwhile")
                    : std::string();
    CheckFile(resumed.size() + line.size(), now);
    if (file_) {
      // One write, so the two lines go in together or not at all.
      const std::string failure = WriteToFile(resumed + line);
      if (failure.empty()) {
        if (onFallback_) {
          onFallback_ = false;
          fallbackLines_ = 0;
          Warn("logging to the file \"" + logPath_.string() + "\" resumed");
        }
        return;
      }
      file_.Reset();
      SwitchToFallback("cannot write the log file \"" + logPath_.string() + "\": " + failure, now);
    }
  }
  WriteToFallback(line);
  ++fallbackLines_;
}

void TServiceLogFile::OpenFile(std::uint32_t now) {
  // Not passed on to programs the service starts.
  const int fd =
      ::open(logPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  const int error = errno;
  file_ = TDescriptor(fd);
  if (!file_) {
    SwitchToFallback("cannot open the log file \"" + logPath_.string() + "\": " + ErrnoText(error),
                     now);
  }
}

void TServiceLogFile::CheckFile(std::size_t lineSize, std::uint32_t now) {
  struct stat onDisk {};
  if (::stat(logPath_.c_str(), &onDisk) != 0) {
    // Deleted, its folder too, or moved aside by a second copy of the program: lines written to the
    // open file now would reach no one, so a new file is made where the log belongs.
    if (errno == ENOENT || errno == ENOTDIR) OpenFile(now);
    return;
  }
  // A device or pipe named as the log has no file size, and renaming it would do harm.
  if (!S_ISREG(onDisk.st_mode)) return;
  struct stat opened {};
  if (::fstat(file_.Get(), &opened) == 0 &&
      (opened.st_ino != onDisk.st_ino || opened.st_dev != onDisk.st_dev)) {
    OpenFile(now);
    if (!file_) return;
  }
  const auto size = static_cast<std::uintmax_t>(onDisk.st_size);
  if (size == 0 || size + lineSize <= maxFileSize_) return;
  if (rotationFailed_ && platform::TicksElapsed(rotationFailedAt_, now) < kRetryMs) return;

  file_.Reset();
  // When a step fails the log is reopened as it is and keeps growing, rather than being emptied
  // and losing its lines.
  const std::string failure = backups_.Rotate(logPath_);
  rotationFailed_ = !failure.empty();
  rotationFailedAt_ = now;
  if (rotationFailed_ && !rotationWarned_) {
    rotationWarned_ = true;
    Warn("cannot move the log file \"" + logPath_.string() + "\" to the backups: " + failure +
         "; the log keeps growing");
  }
  OpenFile(now);
}

std::string TServiceLogFile::WriteToFile(std::string_view data) {
  // Append mode makes this one write at the current end of the file: a second copy of the program
  // logging to the same file puts its lines between ours, never over or inside them.
  ssize_t written = 0;
  do {
    written = ::write(file_.Get(), data.data(), data.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(data.size())) return {};
  if (written < 0) return ErrnoText(errno);
  // A cut line would run into the next line written after it. After an append the offset is the
  // end of what this write put there, so the cut is taken back exactly, even when a second copy
  // appended in the meantime; the whole line goes to the fallback.
  std::string failure =
      "only " + std::to_string(written) + " of " + std::to_string(data.size()) + " bytes written";
  const off_t end = ::lseek(file_.Get(), 0, SEEK_CUR);
  if (end < written || ::ftruncate(file_.Get(), end - written) != 0) {
    failure += ", and the part written could not be taken back";
  }
  return failure;
}

void TServiceLogFile::SwitchToFallback(std::string_view message, std::uint32_t now) {
  fallbackSince_ = now;
  if (onFallback_) return;
  onFallback_ = true;
  Warn(std::string(message) + "; log lines go to standard error instead");
}

void TServiceLogFile::WriteToFallback(std::string_view line) {
  if (fallback_ == nullptr) return;
  // Standard error is read on terminals and in journals, where a carriage return only disturbs.
  if (line.ends_with("\r\n")) line.remove_suffix(2);
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), fallback_);
  std::fflush(fallback_);
}

void TServiceLogFile::Warn(std::string_view message) {
  if (fallback_ == nullptr) return;
  std::string text = "Vistrel: ";
  text += message;
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), fallback_);
  std::fflush(fallback_);
}

TServiceLogFile& GetServiceLog() {
  static TServiceLogFile* const instance = [] {
    auto* log = new TServiceLogFile(platform::ProgramFiles().logFile);
    processLog.store(log, std::memory_order_release);
    return log;
  }();
  return *instance;
}

void LogMessage(std::string_view text) {
  if (TServiceLogFile* log = processLog.load(std::memory_order_acquire)) log->WriteLine(0, text);
}

void LogHexDump(const void* bytes, std::size_t count) {
  if (TServiceLogFile* log = processLog.load(std::memory_order_acquire)) {
    LogHexDump(*log, bytes, count);
  }
}

void LogHexDump(TServiceLogFile& log, const void* bytes, std::size_t count) {
  if (bytes == nullptr) return;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto* data = static_cast<const unsigned char*>(bytes);
  std::string line;
  for (std::size_t offset = 0; offset < count; offset += 16) {
    line.clear();
    for (std::size_t i = offset; i < std::min(count, offset + 16); ++i) {
      line += kDigits[data[i] >> 4];
      line += kDigits[data[i] & 0x0F];
      line += ' ';
    }
    log.WriteLine(0, line);
  }
}
