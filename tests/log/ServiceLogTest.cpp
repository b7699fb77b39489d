#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/ServiceLog.h"
#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The log's lines carry this time unless a case sets its own.
class TFixedClock : public FakeClock {
 public:
  explicit TFixedClock(platform::TLocalDateTime time = {2024, 3, 7, 9, 5, 2, 7})
      : FakeClock(time, 0) {}
};

constexpr std::string_view kStamp = "2024-03-07 9:05:02 007";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteAll(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Splits on `end`; a last piece without `end` is a torn line and fails the test.
std::vector<std::string> Lines(const std::string& content, std::string_view end = "\r\n") {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t found; (found = content.find(end, start)) != std::string::npos;) {
    lines.push_back(content.substr(start, found - start));
    start = found + end.size();
  }
  EXPECT_EQ(start, content.size()) << "unterminated last line: " << content.substr(start);
  return lines;
}

// The message after the fixed clock's stamp and the "@local:" tag.
std::vector<std::string> LocalMessages(const std::string& content) {
  std::vector<std::string> messages;
  const std::string prefix = std::string(kStamp) + "@local:";
  for (const std::string& line : Lines(content)) {
    if (line.starts_with(prefix)) messages.push_back(line.substr(prefix.size()));
  }
  return messages;
}

// A file to stand in for standard error.
class TFallbackSink {
 public:
  TFallbackSink() : temp_("stderr.txt"), file_(std::fopen(temp_.path().c_str(), "w+b")) {}
  ~TFallbackSink() { std::fclose(file_); }
  TFallbackSink(const TFallbackSink&) = delete;
  TFallbackSink& operator=(const TFallbackSink&) = delete;
  std::FILE* file() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    return ReadAll(temp_.path());
  }

 private:
  TempFile temp_;
  std::FILE* file_;
};

TEST(ServiceLogFormat, LineIsStampTagMessageAndCrLf) {
  struct Case {
    platform::TLocalDateTime time;
    int source;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {{2024, 3, 7, 9, 5, 2, 7}, 0, "hello", "2024-03-07 9:05:02 007@local:hello\r\n"},
      {{2023, 12, 31, 0, 0, 0, 0}, 0, "", "2023-12-31 0:00:00 000@local:\r\n"},
      {{1999, 1, 1, 23, 59, 59, 999}, 800, "x", "1999-01-01 23:59:59 999@HWD(800):x\r\n"},
      {{2030, 10, 11, 12, 34, 56, 80},
       42,
       " a:b  caf\xC3\xA9\t%s %n \x1b]0;x\x07",
       "2030-10-11 12:34:56 080@HWD(42): a:b  caf\xC3\xA9\\x09%s %n \\x1b]0;x\\x07\r\n"},
      {{2024, 3, 7, 9, 5, 2, 7},
       0,
       std::string(16410, 'u'),
       "2024-03-07 9:05:02 007@local:" + std::string(kLogTextMax, 'u') +
           "...[cut, 16410 bytes]\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TempFile temp("vistrel.log");
    TFixedClock clock(c.time);
    TServiceLogFile log(temp.path(), clock);
    log.StartLog();
    const std::size_t startSize = ReadAll(temp.path()).size();
    log.WriteLine(c.source, c.text);
    // Read while the log is still open: the line must already be in the file.
    EXPECT_EQ(ReadAll(temp.path()).substr(startSize), c.expected);
  }
}

TEST(ServiceLogText, ControlBytesEscapedAndLongValuesCutWhole) {
  struct Case {
    std::string value;
    std::size_t max;
    std::string expected;
  };
  const Case cases[] = {
      {std::string("\x1b\a\0\x7f\x1f ~", 7), 200, "\\x1b\\x07\\x00\\x7f\\x1f ~"},
      {"\x1b]0;owned\x07\r\n", 200, "\\x1b]0;owned\\x07\\x0d\\x0a"},
      {"caf\xC3\xA9 \xE2\x82\xAC\x80", 200, "caf\xC3\xA9 \xE2\x82\xAC\x80"},
      {std::string(300, 'x'), 200, std::string(200, 'x') + "...[cut, 300 bytes]"},
      {"abcd", 4, "abcd"},
      {"ab\x1b", 5, "ab...[cut, 3 bytes]"},
      {"a\xE2\x82\xAC", 3, "a...[cut, 4 bytes]"},
      {"a\xE2\x82\xAC!", 4, "a\xE2\x82\xAC...[cut, 5 bytes]"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogValue(c.value, c.max), c.expected);
}

TEST(ServiceLogLifecycle, OneStartLineOneStopLineAndNothingOutsideThem) {
  TempFile temp("vistrel.log");
  TFixedClock clock;
  {
    TServiceLogFile log(temp.path(), clock);
    log.WriteLine(0, "before start");
    EXPECT_FALSE(log.Started());
    log.StartLog();
    log.StartLog();
    EXPECT_TRUE(log.Started());
    log.WriteLine(0, "first run");
    log.StopLog();
    log.WriteLine(0, "after stop");
    log.StopLog();
    EXPECT_FALSE(log.Started());
    log.StartLog();
    log.WriteLine(0, "second run");
  }  // the destructor writes the second stop line

  const std::vector<std::string> lines = Lines(ReadAll(temp.path()));
  ASSERT_EQ(lines.size(), 6u);
  const std::string lifecycle = std::string(kStamp) + "@HWD(800):";
  EXPECT_THAT(lines[0], StartsWith(lifecycle + "Log Start-->"));
  EXPECT_EQ(lines[1], std::string(kStamp) + "@local:first run");
  EXPECT_THAT(lines[2], StartsWith(lifecycle + "Log Stop-->"));
  EXPECT_THAT(lines[3], StartsWith(lifecycle + "Log Start-->"));
  EXPECT_EQ(lines[4], std::string(kStamp) + "@local:second run");
  EXPECT_THAT(lines[5], StartsWith(lifecycle + "Log Stop-->"));
  // The start and stop lines name the clock's time (locale format; the tests run in "C").
  EXPECT_THAT(lines[0], HasSubstr("09:05:02"));
  EXPECT_THAT(lines[5], HasSubstr("09:05:02"));
}

TEST(ServiceLogFlood, OneSourceIsSummedUpWhileOtherSourcesAndTheProgramKeepTheirLines) {
  TempFile temp("vistrel.log");
  TFixedClock clock;
  TServiceLogFile log(temp.path(), clock);
  const auto write = [&log](const std::string& source, int count, const std::string& text) {
    const TLogSourceScope scope(source);
    for (int n = 0; n < count; ++n) log.WriteLine(0, text);
  };
  log.StartLog();
  write("10.0.0.1", 5000, "a");
  write("10.0.0.2", 3, "b");
  write("", 50, "own");
  clock.tick += 999;
  write("10.0.0.1", 1, "a");
  clock.tick += 1;  // the first window is over: the next line from anyone sums it up
  write("", 1, "after");
  write("10.0.0.1", 110, "a");
  log.StopLog();
  // Past the bound on sources, further sources share one count.
  log.StartLog();
  for (int n = 0; n < 400; ++n) write("10.1." + std::to_string(n), 1, "c");
  log.StopLog();

  const std::pair<std::size_t, std::string> runs[] = {
      {100, "a"},
      {3, "b"},
      {50, "own"},
      {1, "10.0.0.1: 4901 more lines left out in 1 s"},
      {1, "after"},
      {100, "a"},
      {1, "10.0.0.1: 10 more lines left out in 1 s"},
      {TLogFloodGuard::kMaxSources + 100, "c"},
      {1, "other sources: 44 more lines left out in 1 s"}};
  std::vector<std::string> expected;
  for (const auto& [count, message] : runs) expected.insert(expected.end(), count, message);
  EXPECT_EQ(LocalMessages(ReadAll(temp.path())), expected);
}

TEST(ServiceLogRotation, FloodLeavesEarlierLinesInABackupAndFilesWithinTheBound) {
  constexpr std::uintmax_t kFileSize = 5000, kTotal = 20000;
  TempFile temp("vistrel.log");
  TFixedClock clock;
  TServiceLogFile log(temp.path(), clock, stderr, kFileSize, kTotal);
  WriteAll(log.BackupPath(3), "left by a larger bound\r\n");
  log.StartLog();
  for (int n = 0; n < 100; ++n) log.WriteLine(0, "line " + std::to_string(n));
  log.WriteLine(0, "before flood");
  {
    // The connect and close cycles that once pushed every line out of the log: 12,000 in 3.4 s.
    const TLogSourceScope scope("127.0.0.1");
    const std::uint32_t start = clock.tick;
    for (std::uint32_t n = 0; n < 12000; ++n) {
      clock.tick = start + n * 3400 / 12000;
      log.WriteLine(0, "flood");
    }
  }
  log.StopLog();

  std::string all;
  std::uintmax_t total = 0;
  for (const fs::path& path :
       {log.BackupPath(2), log.BackupPath(1), log.BackupPath(0), log.LogPath()}) {
    all += ReadAll(path);
    EXPECT_LE(fs::file_size(path), kFileSize) << path;
    total += fs::file_size(path);
  }
  EXPECT_LE(total, kTotal);
  EXPECT_FALSE(fs::exists(log.BackupPath(3)));
  EXPECT_EQ(ReadAll(log.LogPath()).find("before flood"), std::string::npos);

  // Oldest to newest: numbered lines without a gap up to the flood, then its lines and summaries.
  const std::vector<std::string> messages = LocalMessages(all);
  const auto flood = std::find(messages.begin(), messages.end(), "before flood");
  ASSERT_NE(flood, messages.end());
  const auto numbered = static_cast<std::size_t>(flood - messages.begin());
  for (std::size_t i = 0; i < numbered; ++i) {
    EXPECT_EQ(messages[i], "line " + std::to_string(100 - numbered + i));
  }
  int leftOut = 0;
  for (auto it = flood + 1; it != messages.end(); ++it) {
    if (it->starts_with("127.0.0.1: ")) leftOut += std::stoi(it->substr(11));
  }
  constexpr auto kWritten = static_cast<std::ptrdiff_t>(4 * TLogFloodGuard::kLinesPerWindow);
  EXPECT_EQ(std::count(flood + 1, messages.end(), "flood"), kWritten);
  EXPECT_EQ(kWritten + leftOut, 12000);
}

TEST(ServiceLogRotation, LogThatCannotBeMovedKeepsItsLines) {
  TempFile temp("vistrel.log");
  const fs::path backup = fs::path(temp.path()).replace_extension(".Bak");
  fs::create_directory(backup);
  WriteAll(backup / "occupied", "x");
  const std::string over(TServiceLogFile::kMaxSize + 1, 'z');
  WriteAll(temp.path(), over);
  TFixedClock clock;
  TFallbackSink stderrSink;
  {
    TServiceLogFile log(temp.path(), clock, stderrSink.file());
    log.StartLog();
    log.WriteLine(0, "a");
    log.WriteLine(0, "b");
  }

  const std::string content = ReadAll(temp.path());
  ASSERT_THAT(content, StartsWith(over));
  EXPECT_THAT(LocalMessages(content.substr(over.size())), ::testing::ElementsAre("a", "b"));
  const std::vector<std::string> warnings = Lines(stderrSink.Text(), "\n");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], StartsWith("Vistrel: cannot move the log file"));
  EXPECT_TRUE(fs::is_directory(backup));
}

TEST(ServiceLogFallback, UnwritableLogGoesToStandardErrorAfterOneWarning) {
  TempFile temp("file");
  WriteAll(temp.path(), "a regular file");
  const fs::path folder = fs::path(temp.path()).parent_path();
  struct Case {
    const char* name;
    fs::path logPath;
  };
  const Case cases[] = {
      {"folder missing", folder / "missing" / "vistrel.log"},
      {"folder is a file", fs::path(temp.path()) / "vistrel.log"},
      {"path is a folder", folder},
      {"disk full", "/dev/full"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.logPath == "/dev/full" && !fs::exists(c.logPath)) continue;
    TFixedClock clock;
    TFallbackSink stderrSink;
    {
      TServiceLogFile log(c.logPath, clock, stderrSink.file());
      log.StartLog();
      log.WriteLine(0, "one");
      log.WriteLine(5, "two");
    }
    const std::vector<std::string> lines = Lines(stderrSink.Text(), "\n");
    ASSERT_EQ(lines.size(), 5u) << stderrSink.Text();
    EXPECT_THAT(lines[0], StartsWith("Vistrel: cannot "));
    EXPECT_THAT(lines[0], HasSubstr(c.logPath.string()));
    EXPECT_THAT(lines[1], StartsWith(std::string(kStamp) + "@HWD(800):Log Start-->"));
    EXPECT_EQ(lines[2], std::string(kStamp) + "@local:one");
    EXPECT_EQ(lines[3], std::string(kStamp) + "@HWD(5):two");
    EXPECT_THAT(lines[4], StartsWith(std::string(kStamp) + "@HWD(800):Log Stop-->"));
  }
  EXPECT_FALSE(fs::exists("/dev/full.Bak"));
  EXPECT_FALSE(fs::exists(folder / "missing"));
}

TEST(ServiceLogFallback, FileIsTriedAgainAfterAMinuteAndNoCutLineIsLeft) {
  TempFile temp("vistrel.log");
  const fs::path logPath = temp.path();
  const fs::path folder = logPath.parent_path(), aside = folder.string() + ".aside";
  rlimit unlimited{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  // The kernel cuts writes past the file size limit short as a full disk does, also for root.
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct Case {
    const char* name;
    std::function<void()> fail, mend;
  };
  const std::string resumed =
      "logging to this file resumed; 2 lines went to standard error meanwhile";
  const Case cases[] = {
      {"folder moved away", [&] { fs::rename(folder, aside); }, [&] { fs::rename(aside, folder); }},
      {"write cut short",
       [&] {
         rlimit limit = unlimited;
         limit.rlim_cur = fs::file_size(logPath) + 10;
         ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
       },
       [&] { ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Longer than what goes to the fallback file, so a size limit cuts the log's writes only.
    WriteAll(logPath, std::string(4000, '.') + "\r\n");
    TFixedClock clock;
    TFallbackSink stderrSink;
    TServiceLogFile log(logPath, clock, stderrSink.file());
    log.StartLog();
    log.WriteLine(0, "before");
    c.fail();
    log.WriteLine(0, "lost 1");
    c.mend();
    clock.tick += TServiceLogFile::kRetryMs - 1;
    log.WriteLine(0, "lost 2");
    clock.tick += 1;
    log.WriteLine(0, "after");

    EXPECT_THAT(LocalMessages(ReadAll(logPath)),
                ::testing::ElementsAre("before", resumed, "after"));
    EXPECT_THAT(Lines(stderrSink.Text(), "\n"),
                ::testing::ElementsAre(
                    StartsWith("Vistrel: cannot "), std::string(kStamp) + "@local:lost 1",
                    std::string(kStamp) + "@local:lost 2",
                    "Vistrel: logging to the file \"" + logPath.string() + "\" resumed"));
  }
  std::signal(SIGXFSZ, oldHandler);
}

TEST(ServiceLogThreads, ConcurrentLinesStayWholeAcrossARotation) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 3000;
  // About 1.5 MiB in all: a rotation happens while the threads write.
  const std::string padding(90, '.');
  TempFile temp("vistrel.log");
  TFixedClock clock;
  {
    TServiceLogFile log(temp.path(), clock);
    log.StartLog();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, &padding, t] {
        for (int n = 0; n < kLinesEach; ++n) {
          log.WriteLine(0, std::to_string(t) + " " + std::to_string(n) + " " + padding);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }

  const std::string backup = ReadAll(fs::path(temp.path()).replace_extension(".Bak"));
  ASSERT_FALSE(backup.empty());
  std::map<int, int> nextOf;  // thread -> the sequence number its next line must carry
  int lines = 0;
  for (const std::string& message : LocalMessages(backup + ReadAll(temp.path()))) {
    std::istringstream fields(message);
    int t = -1, n = -1;
    std::string rest;
    fields >> t >> n >> rest;
    ASSERT_EQ(rest, padding) << message;
    ASSERT_EQ(n, nextOf[t]) << "thread " << t << " lost or reordered a line";
    ++nextOf[t];
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kLinesEach);
}

TEST(ServiceLogHexDump, SixteenUpperCaseGroupsPerLine) {
  std::vector<std::uint8_t> counting(33);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  const std::string sixteen = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ";
  const std::string next16 = "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F ";
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{}, {}},
      {{0x00, 0x0A, 0xFF, 0xab}, {"00 0A FF AB "}},
      {{counting.begin(), counting.begin() + 16}, {sixteen}},
      {{counting.begin(), counting.begin() + 17}, {sixteen, "10 "}},
      {counting, {sixteen, next16, "20 "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    TempFile temp("vistrel.log");
    TFixedClock clock;
    TServiceLogFile log(temp.path(), clock);
    log.StartLog();
    LogHexDump(log, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(LocalMessages(ReadAll(temp.path())), c.lines);
  }
}

TEST(ServiceLogProcessWide, LivesBesideTheProgramAndTakesLogMessage) {
  TServiceLogFile& log = GetServiceLog();
  EXPECT_EQ(&log, &GetServiceLog());
  EXPECT_EQ(log.LogPath(), platform::ProgramFolder() / "log_tests.log");
  EXPECT_EQ(log.BackupPath(), platform::ProgramFolder() / "log_tests.Bak");

  log.StartLog();
  const std::string marker = "process-wide log test " + std::to_string(getpid());
  LogMessage(marker);
  const std::uint8_t bytes[17] = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F};
  LogHexDump(bytes, sizeof bytes);

  const std::string content = ReadAll(log.LogPath());
  const std::size_t at = content.rfind("@local:" + marker + "\r\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_THAT(content.substr(at),
              HasSubstr("@local:DE AD BE EF 00 00 00 00 00 00 00 00 00 00 00 00 \r\n"));
  EXPECT_THAT(content.substr(at), HasSubstr("@local:7F \r\n"));
}

}  // namespace
