#include "ServiceLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>

#include "platform/ProgramFolder.h"

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

std::filesystem::path DefaultLogPath() {
  std::filesystem::path path = platform::ProgramPath();
  // Without /proc the program's own path is unknown; the working folder is the best guess.
  if (path.empty()) path = "vistrel";
  return path.replace_extension(".log");
}

std::atomic<TServiceLogFile*> processLog{nullptr};

}  // namespace

TServiceLogFile::TServiceLogFile(std::filesystem::path logPath, const platform::TClock& clock,
                                 std::FILE* fallback)
    : logPath_(std::move(logPath)),
      backupPath_(std::filesystem::path(logPath_).replace_extension(".Bak")),
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
  OpenFile();
  started_ = true;
  WriteLine(kLifecycleSource, "Log Start-->" + LocaleDateTimeText(clock_.LocalNow()));
}

void TServiceLogFile::StopLog() {
  const std::lock_guard guard(lock_);
  if (!started_) return;
  WriteLine(kLifecycleSource, "Log Stop-->" + LocaleDateTimeText(clock_.LocalNow()));
  started_ = false;
  file_.reset();
}

void TServiceLogFile::WriteLine(int sourceId, std::string_view text) {
  const std::lock_guard guard(lock_);
  // Checked under the lock, so a concurrent StopLog cannot close the file between check and write.
  if (!started_) return;
  CheckRotate();
  const std::string line = FormatLine(clock_.LocalNow(), sourceId, text);
  if (file_) {
    // The stream is unbuffered and in append mode, so this is one write at the current end of the
    // file: a second copy of the program logging to the same file puts its lines between ours,
    // never over or inside them.
    if (std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size()) return;
    const int error = errno;
    file_.reset();
    Warn("cannot write the log file \"" + logPath_.string() + "\": " +
         std::generic_category().message(error) + "; log lines go to standard error instead");
  }
  WriteToFallback(line);
}

void TServiceLogFile::OpenFile() {
  file_.reset(std::fopen(logPath_.c_str(), "ab"));
  if (!file_) {
    const int error = errno;
    Warn("cannot open the log file \"" + logPath_.string() + "\": " +
         std::generic_category().message(error) + "; log lines go to standard error instead");
    return;
  }
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
}

void TServiceLogFile::CheckRotate() {
  if (!file_) return;
  std::error_code error;
  // A device or pipe named as the log has no file size, and renaming it would do harm.
  const std::uintmax_t size = std::filesystem::file_size(logPath_, error);
  if (error || size <= kMaxSize) return;

  file_.reset();
  // Renaming replaces the old backup in one step. When it fails the log is reopened as it is and
  // keeps growing, rather than being emptied and losing its lines.
  std::filesystem::rename(logPath_, backupPath_, error);
  if (error && !rotationWarned_) {
    rotationWarned_ = true;
    Warn("cannot move the log file \"" + logPath_.string() + "\" to \"" + backupPath_.string() +
         "\": " + error.message() + "; the log keeps growing");
  }
  OpenFile();
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
    auto* log = new TServiceLogFile(DefaultLogPath());
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
