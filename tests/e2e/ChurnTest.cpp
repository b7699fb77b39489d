// The real program under many short-lived clients at once: after thousands of them have come and
// gone, politely or not, over interleaved TCP and UDP, it must still serve, hold no session, and
// have given back its descriptors, its threads and (within a margin) its memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/XvfbDisplay.h"

#if defined(__SANITIZE_ADDRESS__)
#define VISTREL_CHURN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VISTREL_CHURN_ASAN 1
#endif
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCycles = 2000;
// RSS is compared from this many cycles on: the first ones pay for allocations made once (thread
// stacks kept for reuse, allocator arenas of new threads, the encoder's buffers).
constexpr int kWarmUpCycles = 200;
constexpr int kClients = 8;
constexpr long kRssGrowthLimitKb = 5 * 1024;
// UDP client ports below the system's ephemeral range (32768 on), so that none equals the TCP
// source port of another client: the server keys sessions by address and port, both kinds alike.
constexpr int kUdpPortLow = 20000;
constexpr int kUdpPortsPerClient = 1400;

long StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

long DescriptorCount(pid_t pid) {
  long count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

std::string DescriptorList(pid_t pid) {
  std::string text;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    text += it->path().filename().string() + " -> " +
            std::filesystem::read_symlink(it->path(), error).string() + "\n";
  }
  return text;
}

// Reads the program's log as it is written, across its rotation to the backup file (which happens
// every megabyte, several times in this test): the descriptor stays on the renamed file, whose
// writer closed it before renaming, so its rest is read before the new file is opened.
class LogFollower {
 public:
  explicit LogFollower(std::filesystem::path path) : path_(std::move(path)) {}
  ~LogFollower() {
    if (fd_ >= 0) ::close(fd_);
  }
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // The complete lines written since the last call.
  std::vector<std::string> NewLines() {
    if (fd_ < 0 && !Open()) return {};
    ReadToEnd();
    struct stat now {};
    if (::stat(path_.c_str(), &now) == 0 && now.st_ino != inode_) {
      ReadToEnd();
      ::close(fd_);
      fd_ = -1;
      if (Open()) ReadToEnd();
      ++rotations_;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = pending_.find('\n'); end != std::string::npos;
         end = pending_.find('\n', start)) {
      const size_t length =
          end > start && pending_[end - 1] == '\r' ? end - start - 1 : end - start;
      lines.push_back(pending_.substr(start, length));
      start = end + 1;
    }
    pending_.erase(0, start);
    return lines;
  }
  int Rotations() const { return rotations_; }

 private:
  bool Open() {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat opened {};
    ::fstat(fd_, &opened);
    inode_ = opened.st_ino;
    return true;
  }
  void ReadToEnd() {
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd_, chunk, sizeof chunk)) > 0;) {
      pending_.append(chunk, static_cast<size_t>(got));
    }
  }

  std::filesystem::path path_;
  int fd_ = -1;
  ino_t inode_ = 0;
  std::string pending_;
  int rotations_ = 0;
};

// What the log says about connections and sessions: a session is created with its "session=NAME"
// line (SETUP) and gone with its "free session NAME" line (its removal).
struct LogTally {
  std::set<std::string> created;
  std::set<std::string> freed;
  long connected = 0;
  long disconnected = 0;
  long refused = 0;

  void Add(const std::string& line) {
    // "YYYY-MM-DD HH:MM:SS mmm@local:message"
    const size_t at = line.find('@');
    const size_t colon = at == std::string::npos ? at : line.find(':', at);
    if (colon == std::string::npos) return;
    const std::string message = line.substr(colon + 1);
    if (message.rfind("session=", 0) == 0) {
      created.insert(message.substr(8));
    } else if (message.rfind("free session ", 0) == 0) {
      freed.insert(message.substr(13));
    } else if (message.rfind("connected from ", 0) == 0) {
      ++connected;
    } else if (message.rfind("disconnect from ", 0) == 0 &&
               message.find(", E:") == std::string::npos) {
      ++disconnected;
    } else if (message.rfind("too many connections", 0) == 0) {
      ++refused;
    }
  }
  size_t OpenSessions() const {
    size_t open = 0;
    for (const std::string& name : created) open += freed.count(name) == 0 ? 1u : 0u;
    return open;
  }
  std::string Describe() const {
    std::string unfreed;
    for (const std::string& name : created) {
      if (freed.count(name) == 0 && unfreed.size() < 400) unfreed += name + " ";
    }
    return std::to_string(created.size()) + " sessions created, " + std::to_string(freed.size()) +
           " freed, still open: [" + unfreed + "]; " + std::to_string(connected) +
           " connections, " + std::to_string(disconnected) + " disconnects, " +
           std::to_string(refused) + " refusal lines";
  }
};

// A client that can also leave abruptly: SO_LINGER 0 makes close() send a reset.
class ChurnClient {
 public:
  explicit ChurnClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
  }
  ~ChurnClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  ChurnClient(const ChurnClient&) = delete;
  ChurnClient& operator=(const ChurnClient&) = delete;

  RtspAnswer Request(const std::string& method, const std::string& url,
                     const std::string& extra = {}) {
    const std::string request = method + " " + url +
                                " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                                "\r\nUser-Agent: vistrel-churn\r\n" + extra + "\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      throw std::runtime_error(method + " not sent");
    }
    const auto deadline = Clock::now() + 5s;
    for (;;) {
      SkipInterleaved();
      const size_t end = buffer_.find("\r\n\r\n");
      if (!buffer_.empty() && buffer_[0] != '$' && end != std::string::npos) {
        RtspAnswer answer;
        answer.head = buffer_.substr(0, end + 2);
        const std::string length = answer.Header("Content-Length");
        const size_t bodyLength = length.empty() ? 0 : std::stoul(length);
        if (buffer_.size() >= end + 4 + bodyLength) {
          answer.body = buffer_.substr(end + 4, bodyLength);
          buffer_.erase(0, end + 4 + bodyLength);
          answer.status = std::atoi(answer.head.c_str() + 9);
          return answer;
        }
      }
      if (Clock::now() > deadline) throw std::runtime_error("no answer to " + method);
      if (!Read(100)) {
        if (closed_) throw std::runtime_error("connection closed before the answer to " + method);
      }
    }
  }

  // Waits for the first interleaved packet; false when none came in time.
  bool WaitForInterleaved(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (interleaved_ == 0 && Clock::now() < deadline && !closed_) {
      Read(50);
      SkipInterleaved();
    }
    return interleaved_ > 0;
  }

  void CloseWithReset() {
    const linger abrupt{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  bool Read(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  void SkipInterleaved() {
    while (buffer_.size() >= 4 && buffer_[0] == '$') {
      const size_t length = (static_cast<size_t>(static_cast<uint8_t>(buffer_[2])) << 8) |
                            static_cast<uint8_t>(buffer_[3]);
      if (buffer_.size() < 4 + length) break;
      buffer_.erase(0, 4 + length);
      ++interleaved_;
    }
  }

  int fd_ = -1;
  int cseq_ = 0;
  bool closed_ = false;
  long interleaved_ = 0;
  std::string buffer_;
};

// A bound UDP port pair for RTP and RTCP, released with the object.
class UdpPair {
 public:
  // The first pair from `from` on (even numbers only) that is free, up to `to`.
  UdpPair(int& from, int to) {
    for (; from + 1 < to; from += 2) {
      rtp_ = Bind(from);
      if (rtp_ < 0) continue;
      rtcp_ = Bind(from + 1);
      if (rtcp_ < 0) {
        ::close(rtp_);
        rtp_ = -1;
        continue;
      }
      port_ = from;
      from += 2;
      return;
    }
    throw std::runtime_error("no free UDP port pair left");
  }
  ~UdpPair() {
    if (rtp_ >= 0) ::close(rtp_);
    if (rtcp_ >= 0) ::close(rtcp_);
  }
  UdpPair(const UdpPair&) = delete;
  UdpPair& operator=(const UdpPair&) = delete;

  int Port() const { return port_; }
  bool WaitForDatagram(std::chrono::milliseconds limit) {
    pollfd p{rtp_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
  }

 private:
  static int Bind(int port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  int rtp_ = -1;
  int rtcp_ = -1;
  int port_ = 0;
};

std::string SessionOf(const RtspAnswer& answer) {
  const std::string value = answer.Header("Session");
  return value.substr(0, value.find(';'));
}

struct CycleKind {
  bool udp;
  bool reset;
  // Stays until media arrives before leaving, so that leaving meets a sender in the middle of
  // its work.
  bool waitForMedia;
};

CycleKind KindOf(int cycle) {
  return CycleKind{cycle % 2 == 1, (cycle / 2) % 2 == 1, (cycle / 4) % 4 == 0};
}

class Churn {
 public:
  explicit Churn(RunningVistrel& vistrel) : vistrel_(vistrel) {}

  // One cycle outside the churn, with the port range after the workers' ones.
  void Single(const CycleKind& kind) {
    int nextUdpPort = kUdpPortLow + kClients * kUdpPortsPerClient;
    Cycle(kind, nextUdpPort, nextUdpPort + kUdpPortsPerClient);
  }

  void Worker(int index) {
    int nextUdpPort = kUdpPortLow + index * kUdpPortsPerClient;
    const int lastUdpPort = nextUdpPort + kUdpPortsPerClient;
    for (int cycle = claimed_++; cycle < kCycles && !stop_.load(); cycle = claimed_++) {
      try {
        Cycle(KindOf(cycle), nextUdpPort, lastUdpPort);
      } catch (const std::exception& error) {
        Failed(cycle, error.what());
      }
      ++done_;
    }
  }

  int Done() const { return done_.load(); }
  int MediaCycles() const { return mediaCycles_.load(); }
  void Stop() { stop_.store(true); }
  std::vector<std::string> Failures() const {
    const std::lock_guard guard(lock_);
    return failures_;
  }
  int FailureCount() const { return failureCount_.load(); }
  int FullRefusals() const { return fullRefusals_.load(); }

 private:
  void Failed(int cycle, const std::string& what) {
    ++failureCount_;
    const std::lock_guard guard(lock_);
    if (failures_.size() < 10) failures_.push_back("cycle " + std::to_string(cycle) + ": " + what);
  }

  void Expect(const RtspAnswer& answer, const char* method) {
    if (answer.status != 200) {
      throw std::runtime_error(std::string(method) + " answered " +
                               answer.head.substr(0, answer.head.find('\r')));
    }
  }

  void Cycle(const CycleKind& kind, int& nextUdpPort, int lastUdpPort) {
    const std::string url = vistrel_.Url();
    std::unique_ptr<UdpPair> udp;
    if (kind.udp) udp = std::make_unique<UdpPair>(nextUdpPort, lastUdpPort);
    ChurnClient client(vistrel_.Port());
    Expect(client.Request("OPTIONS", url), "OPTIONS");
    Expect(client.Request("DESCRIBE", url, "Accept: application/sdp\r\n"), "DESCRIBE");
    const std::string transport =
        kind.udp ? "RTP/AVP;unicast;client_port=" + std::to_string(udp->Port()) + "-" +
                       std::to_string(udp->Port() + 1)
                 : std::string("RTP/AVP/TCP;unicast;interleaved=0-1");
    const RtspAnswer setup =
        client.Request("SETUP", url + "/track1", "Transport: " + transport + "\r\n");
    // UDP clients that vanished hold their sessions until they time out, and the server holds
    // a bounded number: a full server says so and the client comes back later.
    if (setup.status == 453) {
      ++fullRefusals_;
      return;
    }
    Expect(setup, "SETUP");
    const std::string session = SessionOf(setup);
    if (session.empty()) throw std::runtime_error("SETUP answer without a session");
    Expect(client.Request("PLAY", url, "Session: " + session + "\r\n"), "PLAY");
    if (kind.waitForMedia) {
      const bool arrived = kind.udp ? udp->WaitForDatagram(3s) : client.WaitForInterleaved(3s);
      if (!arrived) throw std::runtime_error("no media within 3 s of PLAY");
      ++mediaCycles_;
    }
    if (kind.reset) {
      client.CloseWithReset();
    } else {
      Expect(client.Request("TEARDOWN", url, "Session: " + session + "\r\n"), "TEARDOWN");
    }
  }

  RunningVistrel& vistrel_;
  std::atomic<int> claimed_{0};
  std::atomic<int> done_{0};
  std::atomic<int> mediaCycles_{0};
  std::atomic<bool> stop_{false};
  std::atomic<int> failureCount_{0};
  std::atomic<int> fullRefusals_{0};
  mutable std::mutex lock_;
  std::vector<std::string> failures_;
};

std::filesystem::path LogPath(const RunningVistrel& vistrel) {
  for (const auto& entry : std::filesystem::directory_iterator(vistrel.Folder())) {
    if (entry.path().extension() == ".log") return entry.path();
  }
  return {};
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(VistrelChurn, ThousandsOfShortClientsLeaveNoSessionDescriptorThreadOrMemoryBehind) {
  const auto testStart = Clock::now();
  XvfbDisplay display(XvfbDisplay::Screen{320, 240, 24});
  // Every line is kept: the sessions are counted from the log, which would otherwise sum up what
  // this one address makes it write.
  RunningVistrel vistrel(display.Name(),
                         "[System]\nfps=10\nLogFloodLimit=0\n\n[RTSP]\nPort={port}\nEnableUDP=1\n");
  const pid_t pid = vistrel.Process().Pid();
  const std::filesystem::path logPath = LogPath(vistrel);
  ASSERT_FALSE(logPath.empty());
  LogFollower follower(logPath);
  LogTally tally;
  const auto readLog = [&] {
    for (const std::string& line : follower.NewLines()) tally.Add(line);
  };
  // Waits up to `limit` for the condition, reading the log meanwhile.
  const auto settle = [&](auto condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      readLog();
      if (condition()) return true;
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
  };
  const auto balanced = [&] {
    return tally.OpenSessions() == 0 && tally.connected == tally.disconnected;
  };

  // The program holds some things from first use on for good: the UDP server opens its two
  // sockets (each with a wake-up descriptor and a receive thread) at the first UDP set-up, and the
  // capture connects to the display at the first picture. The baseline is taken after one client
  // of each transport has played.
  Churn churn(vistrel);
  churn.Single(CycleKind{true, false, true});
  churn.Single(CycleKind{false, false, true});
  ASSERT_TRUE(settle(balanced, 5s)) << tally.Describe();
  // A connection thread may still be on its way out after its last log line.
  const auto steady = [pid] {
    const long fds = DescriptorCount(pid);
    const long threads = StatusField(pid, "Threads");
    std::this_thread::sleep_for(200ms);
    return fds == DescriptorCount(pid) && threads == StatusField(pid, "Threads");
  };
  ASSERT_TRUE(settle(steady, 5s));
  const long baseFds = DescriptorCount(pid);
  const long baseThreads = StatusField(pid, "Threads");
  const std::string baseFdList = DescriptorList(pid);

  const auto churnStart = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < kClients; ++i) workers.emplace_back([&churn, i] { churn.Worker(i); });
  long warmRss = -1;
  size_t peakSessions = 0;
  // Bounded: the cycles stop being handed out after this, and the count below then fails.
  const auto churnLimit = churnStart + 120s;
  // A program that dies stops the churn at once, with its last words in the failure.
  while (churn.Done() < kCycles && Clock::now() < churnLimit && vistrel.ExpectRunning()) {
    readLog();
    peakSessions = std::max(peakSessions, tally.OpenSessions());
    if (warmRss < 0 && churn.Done() >= kWarmUpCycles) warmRss = StatusField(pid, "VmRSS");
    std::this_thread::sleep_for(20ms);
  }
  churn.Stop();
  for (std::thread& worker : workers) worker.join();
  const double churnSeconds = SecondsSince(churnStart);

  // Sessions of clients that reset a UDP set-up live on until their 12 s without a sign of life
  // are over; everything else goes at once.
  const auto settleStart = Clock::now();
  const bool sessionsGone = settle(balanced, 25s);
  const double settleSeconds = SecondsSince(settleStart);
  const bool fdsBack = settle([&] { return DescriptorCount(pid) == baseFds; }, 5s);
  const bool threadsBack = settle([&] { return StatusField(pid, "Threads") == baseThreads; }, 5s);
  const long endFds = DescriptorCount(pid);
  const long endThreads = StatusField(pid, "Threads");
  const long endRss = StatusField(pid, "VmRSS");

  std::printf(
      "churn: %d cycles (%d waited for media) by %d clients in %.1f s (%.0f per second), "
      "%d failed, %d refused by a full server; at most %zu sessions open at once; sessions "
      "gone %.1f s after the last "
      "cycle; log rotated %d times\n"
      "churn: descriptors %ld -> %ld, threads %ld -> %ld, RSS after %d cycles %ld kB, at "
      "the end %ld kB (%+ld kB); whole test so far %.1f s\n",
      churn.Done(), churn.MediaCycles(), kClients, churnSeconds, churn.Done() / churnSeconds,
      churn.FailureCount(), churn.FullRefusals(), peakSessions, settleSeconds, follower.Rotations(), baseFds, endFds,
      baseThreads, endThreads, kWarmUpCycles, warmRss, endRss, endRss - warmRss,
      SecondsSince(testStart));

  EXPECT_EQ(churn.Done(), kCycles) << "cycles left undone after 120 s";
  EXPECT_EQ(churn.FailureCount(), 0) << ::testing::PrintToString(churn.Failures());
  EXPECT_GT(churn.MediaCycles(), 0);
  // Counted from the log, which tells a session's end a moment after its place is free.
  EXPECT_LE(peakSessions, 300u + kClients) << "the server holds a bounded number of sessions";
  EXPECT_LT(churn.FullRefusals(), kCycles / 2) << "most clients are served";
  ASSERT_TRUE(vistrel.ExpectRunning());
  EXPECT_TRUE(sessionsGone) << tally.Describe();
  EXPECT_EQ(tally.refused, 0) << "no more than " << kClients << " connections were open at once";
  EXPECT_TRUE(fdsBack) << "descriptors before:\n"
                       << baseFdList << "after:\n"
                       << DescriptorList(pid);
  EXPECT_TRUE(threadsBack) << baseThreads << " threads before, " << endThreads << " after";
#if defined(VISTREL_CHURN_ASAN)
  std::printf("churn: RSS bound not checked: AddressSanitizer keeps freed memory in quarantine\n");
#else
  EXPECT_LT(endRss - warmRss, kRssGrowthLimitKb)
      << "RSS grew from " << warmRss << " kB to " << endRss;
#endif

  // Still serving: a new client gets the stream, and its session goes with its teardown.
  RtspTestClient fresh(vistrel.Port());
  EXPECT_EQ(fresh.Request("OPTIONS", vistrel.Url()).status, 200);
  EXPECT_EQ(fresh.Request("DESCRIBE", vistrel.Url(), "Accept: application/sdp\r\n").status, 200);
  const RtspAnswer setup = fresh.Request("SETUP", vistrel.Url() + "/track1",
                                         "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  ASSERT_EQ(setup.status, 200) << setup.head;
  const std::string session = SessionOf(setup);
  ASSERT_EQ(fresh.Request("PLAY", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  EXPECT_GT(fresh.Drain(1000), 0u) << "no media for a client after the churn";
  EXPECT_EQ(fresh.Request("TEARDOWN", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  fresh.Close();
  EXPECT_TRUE(settle(balanced, 5s)) << tally.Describe();
  EXPECT_EQ(tally.created.count(session), 1u) << session << ": " << tally.Describe();

  // And it still ends cleanly; under a sanitizer this is also where leaks are reported.
  vistrel.Process().Signal(SIGTERM);
  const std::optional<int> exitCode = vistrel.Process().WaitFor(15s);
  std::stringstream outputText;
  outputText << std::ifstream(vistrel.Folder() / "output.txt").rdbuf();
  const std::string output = outputText.str();
  EXPECT_EQ(exitCode, 0) << output.substr(output.size() > 4000 ? output.size() - 4000 : 0);
  std::printf("churn: whole test %.1f s\n", SecondsSince(testStart));
}

}  // namespace
