#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
       " a:b  caf\xC3\xA9\t%s %n ",
       "2030-10-11 12:34:56 080@HWD(42): a:b  caf\xC3\xA9\t%s %n \r\n"},
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

TEST(ServiceLogRotation, RotatesOnlyAboveMaxSizeAndReplacesTheBackup) {
  TempFile temp("vistrel.log");
  const fs::path backup = fs::path(temp.path()).replace_extension(".Bak");
  const std::string full(TServiceLogFile::kMaxSize, 'x');
  WriteAll(temp.path(), full);
  WriteAll(backup, "old backup\r\n");
  TFixedClock clock;
  TServiceLogFile log(temp.path(), clock);
  EXPECT_EQ(log.BackupPath(), backup);

  log.StartLog();  // exactly the limit: the start line is appended
  const std::string grown = ReadAll(temp.path());
  ASSERT_THAT(grown, StartsWith(full));
  EXPECT_GT(grown.size(), full.size());
  EXPECT_EQ(ReadAll(backup), "old backup\r\n");

  log.WriteLine(0, "next");  // above the limit: this line starts the new file
  EXPECT_EQ(ReadAll(backup), grown);
  EXPECT_EQ(ReadAll(temp.path()), std::string(kStamp) + "@local:next\r\n");
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

TEST(ServiceLogThreads, ConcurrentLinesStayWholeAcrossARotation) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 3000;
  // About 1.5 MiB in all: one rotation happens while the threads write, and no line is lost to a
  // second one.
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
  ASSERT_GT(backup.size(), TServiceLogFile::kMaxSize);
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
