#include "RunningVistrel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/support/Subprocess.h"

namespace {

bool CanBind(int type, int port) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Where the last `count` lines of the text start.
size_t LastLines(const std::string& text, int count) {
  size_t start = text.size();
  for (int seen = 0; start > 0 && seen <= count;) {
    if (text[--start] == '\n') ++seen;
  }
  return start == 0 ? 0 : start + 1;
}

// The last lines of the program's output, behind the first lines of a sanitizer's report when
// that starts earlier: its head (what was accessed where, and where it was freed) is what tells.
std::string OutputEnd(const std::filesystem::path& path) {
  constexpr int kLines = 60;
  std::stringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  const std::string text = all.str();
  const size_t tail = LastLines(text, kLines);
  const size_t found = text.find("Sanitizer");
  if (found == std::string::npos || found >= tail) return text.substr(tail);
  const size_t lineEnd = text.rfind('\n', found);
  const size_t report = lineEnd == std::string::npos ? 0 : lineEnd + 1;
  size_t headEnd = report;
  for (int line = 0; line < kLines && headEnd < tail; ++line)
    headEnd = text.find('\n', headEnd) + 1;
  return text.substr(report, std::min(headEnd, tail) - report) + "...\n" + text.substr(tail);
}

std::filesystem::path MakeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vistrel-e2e-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  return pattern;
}

}  // namespace

// Below the range the kernel hands out for outgoing connections: on a busy machine one of those
// can take the chosen port in the moment between the choice and the program's listen.
int FreePortPair() {
  int ephemeralStart = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralStart;
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(5000, std::max(5000, ephemeralStart / 2 - 1));
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int even = pick(random) * 2;
    if (CanBind(SOCK_STREAM, even) && CanBind(SOCK_DGRAM, even) && CanBind(SOCK_DGRAM, even + 1)) {
      return even;
    }
  }
  throw std::runtime_error("no free port pair");
}

RunningVistrel::RunningVistrel(const std::string& display, const std::string& settings,
                               const std::filesystem::path& languages,
                               std::vector<std::string> launcher)
    : folder_(MakeFolder()),
      name_("vistrel-" + folder_.filename().string().substr(12)),
      display_(display),
      port_(FreePortPair()),
      launcher_(std::move(launcher)) {
  std::filesystem::copy_file(VISTREL_PROGRAM, folder_ / name_);
  std::filesystem::copy_file(ORXENCODER_PATH, folder_ / "libOrxEncoder.so");
  if (!languages.empty()) std::filesystem::copy(languages, folder_ / "languages");
  std::string text = settings;
  for (size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}")) {
    text.replace(at, 6, std::to_string(port_));
  }
  std::ofstream(folder_ / "SConfig.ini") << text;
  process_ = StartCopy();
  // Started means listening, or having said why it could not.
  if (!WaitForLog({"start service<--"}, std::chrono::seconds(15)) ||
      (!LinesInOrder(LogText(), {"listen " + std::to_string(port_)}) &&
       !LinesInOrder(LogText(), {"open service failed"}))) {
    throw std::runtime_error("vistrel did not start listening:\n" + LogText() + EndReport());
  }
}

RunningVistrel::~RunningVistrel() {
  // A program that has ended with a failure (a sanitizer's report, a crash, a leak found at exit)
  // says why, whatever the test checked: a status alone tells nothing.
  const std::optional<int> ended =
      process_ ? process_->WaitFor(std::chrono::milliseconds(0)) : std::nullopt;
  if (ended && *ended != 0 && !endReported_) ADD_FAILURE() << EndReport();
  if (process_) {
    process_->Signal(SIGTERM);
    process_->WaitFor(std::chrono::seconds(10));
  }
  process_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string RunningVistrel::EndReport() {
  const std::optional<int> status =
      process_ ? process_->WaitFor(std::chrono::milliseconds(0)) : std::nullopt;
  if (!status) return {};
  std::string text = "the program ended with status " + std::to_string(*status);
  // ChildProcess reports a program ended by a signal as 128 + its number.
  if (*status > 128) text += " (signal " + std::string(strsignal(*status - 128)) + ")";
  return text + "; the end of its output:\n" + OutputEnd(folder_ / "output.txt");
}

bool RunningVistrel::ExpectRunning() {
  const std::string report = EndReport();
  if (report.empty()) return true;
  if (!std::exchange(endReported_, true)) ADD_FAILURE() << report;
  return false;
}

std::unique_ptr<ChildProcess> RunningVistrel::StartCopy() const {
  std::vector<std::string> args = launcher_;
  args.push_back((folder_ / name_).string());
  return std::make_unique<ChildProcess>(args, std::vector<std::string>{"DISPLAY=" + display_},
                                        (folder_ / "output.txt").string());
}

std::string RunningVistrel::LogText() const {
  std::ifstream in(folder_ / (name_ + ".log"), std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool LinesInOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    at = text.find(line, at);
    if (at == std::string::npos) return false;
    at += line.size();
  }
  return true;
}

bool RunningVistrel::WaitForLog(const std::vector<std::string>& lines,
                                std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!LinesInOrder(LogText(), lines)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

DecodeResult DecodeFrames(const std::string& url, const std::string& transport, int frames,
                          int timeoutSeconds) {
  DecodeResult result;
  result.output = RunCommand(
      "timeout -s KILL " + std::to_string(timeoutSeconds) +
          " ffmpeg -hide_banner -nostdin -nostats -loglevel info -rtsp_transport " + transport +
          " -i '" + url + "' -frames:v " + std::to_string(frames) + " -f framecrc - 2>&1",
      &result.exitCode);
  std::istringstream lines(result.output);
  std::string line;
  static const std::regex frameLine(R"(^0,\s+-?\d+,\s+-?\d+,\s+\d+,\s+\d+,\s+0x[0-9a-f]+)");
  static const std::regex streamSize(R"(Video: .*?, (\d+)x(\d+))");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, frameLine)) ++result.frames;
    if (result.size.empty() && std::regex_search(line, m, streamSize)) {
      result.size = m[1].str() + "x" + m[2].str();
    }
  }
  return result;
}
