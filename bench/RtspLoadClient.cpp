// Many RTSP viewers of one stream in one process: each runs OPTIONS, DESCRIBE, SETUP and PLAY over
// its own connection, with RTP interleaved on that connection or as UDP datagrams to a port pair of
// its own, and then counts what arrives for a fixed window. One thread with epoll serves every
// socket, so that the viewers cost this machine as little as possible next to the server they
// measure. Optionally samples a server process from /proc over the same window.
//
// Usage: rtsp_load_client --url rtsp://127.0.0.1:PORT/live [--tcp N] [--udp N] [--seconds D]
//          [--fps F] [--warmup S] [--setup-limit S] [--keepalive GET_PARAMETER|OPTIONS]
//          [--keepalive-every S] [--udp-ports LOW-HIGH] [--watch-pid PID] [--sample-every S]
//
// A frame is the run of RTP packets sharing one time stamp. It counts as complete when no sequence
// number is missing from its first packet to its last and its last packet carries the marker bit.
// Only frames whose first packet arrived inside the window count. The exit status is 0 when every
// viewer was set up and still playing at the end, 1 otherwise, 2 for bad arguments; whether the
// frame counts are good enough is for the caller to judge from the summary line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessCpu.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
  std::string url;
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  int tcp = 0;
  int udp = 0;
  double seconds = 10;
  double fps = 8;
  double warmup = 2;
  double setupLimit = 30;
  std::string keepAlive = "GET_PARAMETER";
  double keepAliveEvery = 5;
  int udpLow = 20000;  // below the usual ephemeral range, so no TCP source port can equal one
  int udpHigh = 32000;
  pid_t watchPid = 0;
  double sampleEvery = 5;
};

enum class State { Connecting, Options, Describe, Setup, Play, Playing, TearingDown, Done, Failed };

const char* StateName(State state) {
  switch (state) {
    case State::Connecting:
      return "connecting";
    case State::Options:
      return "OPTIONS";
    case State::Describe:
      return "DESCRIBE";
    case State::Setup:
      return "SETUP";
    case State::Play:
      return "PLAY";
    case State::Playing:
      return "playing";
    case State::TearingDown:
      return "TEARDOWN";
    case State::Done:
      return "done";
    case State::Failed:
      return "failed";
  }
  return "?";
}

struct Viewer {
  int id = 0;
  bool udp = false;
  int fd = -1;
  int rtpFd = -1;
  int rtcpFd = -1;
  int rtpPort = 0;
  State state = State::Connecting;
  std::string error;
  std::string input;
  int cseq = 0;
  std::string session;
  std::string setupUrl;
  Clock::time_point lastKeepAlive{};
  int keepAlivesAnswered = 0;
  int keepAlivesRefused = 0;

  // RTP accounting.
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t lostPackets = 0;  // sequence numbers skipped
  uint64_t gapEvents = 0;
  uint64_t outOfOrder = 0;  // late or repeated packets, dropped
  bool haveSeq = false;
  uint16_t lastSeq = 0;
  bool haveFrame = false;
  uint32_t frameTs = 0;
  bool frameInWindow = false;
  bool frameBroken = false;
  bool frameLastMarker = false;
  uint64_t complete = 0;
  uint64_t incomplete = 0;
};

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "rtsp_load_client: %s\n", why.c_str());
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) Usage("missing value after " + std::string(name));
    const std::string value = argv[++i];
    if (name == "--url") {
      options.url = value;
    } else if (name == "--tcp") {
      options.tcp = std::stoi(value);
    } else if (name == "--udp") {
      options.udp = std::stoi(value);
    } else if (name == "--seconds") {
      options.seconds = std::stod(value);
    } else if (name == "--fps") {
      options.fps = std::stod(value);
    } else if (name == "--warmup") {
      options.warmup = std::stod(value);
    } else if (name == "--setup-limit") {
      options.setupLimit = std::stod(value);
    } else if (name == "--keepalive") {
      options.keepAlive = value;
    } else if (name == "--keepalive-every") {
      options.keepAliveEvery = std::stod(value);
    } else if (name == "--udp-ports") {
      const size_t dash = value.find('-');
      if (dash == std::string::npos) Usage("--udp-ports wants LOW-HIGH");
      options.udpLow = std::stoi(value.substr(0, dash));
      options.udpHigh = std::stoi(value.substr(dash + 1));
    } else if (name == "--watch-pid") {
      options.watchPid = static_cast<pid_t>(std::stol(value));
    } else if (name == "--sample-every") {
      options.sampleEvery = std::stod(value);
    } else {
      Usage("unknown option " + std::string(name));
    }
  }
  // Only the form this server is reached by: rtsp://A.B.C.D:PORT/...
  constexpr std::string_view kScheme = "rtsp://";
  if (options.url.rfind(kScheme, 0) != 0) Usage("--url must start with rtsp://");
  const std::string rest = options.url.substr(kScheme.size());
  const size_t colon = rest.find(':');
  const size_t slash = rest.find('/');
  if (colon == std::string::npos || slash == std::string::npos || colon > slash) {
    Usage("--url must name the host address and port");
  }
  options.host = rest.substr(0, colon);
  options.port = static_cast<uint16_t>(std::stoi(rest.substr(colon + 1, slash - colon - 1)));
  if (options.tcp < 0 || options.udp < 0 || options.seconds <= 0 || options.fps <= 0) {
    Usage("counts must not be negative, seconds and fps must be positive");
  }
  return options;
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int BindUdp(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  // A key frame of a large screen arrives as a burst of a hundred-odd datagrams for every viewer
  // at once; the one reading thread must not lose them while it serves the others.
  const int buffer = 4 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  return fd;
}

class LoadRun {
 public:
  explicit LoadRun(Options options) : options_(std::move(options)) {}
  ~LoadRun() {
    for (Viewer& v : viewers_) CloseAll(v);
    if (epoll_ >= 0) ::close(epoll_);
  }
  LoadRun(const LoadRun&) = delete;
  LoadRun& operator=(const LoadRun&) = delete;

  int Run();

 private:
  static uint64_t Key(size_t index, int kind) {
    return (static_cast<uint64_t>(index) << 2) | static_cast<uint64_t>(kind);
  }

  bool Start();
  void Watch(int fd, uint64_t key, uint32_t events);
  void Poll(int timeoutMs);
  void OnTcp(Viewer& v, uint32_t events);
  void OnUdp(Viewer& v, int fd, bool rtp);
  void Parse(Viewer& v);
  void OnAnswer(Viewer& v, int status, const std::string& head, const std::string& body);
  void Send(Viewer& v, const std::string& method, const std::string& url,
            const std::string& extra = {});
  void Fail(Viewer& v, const std::string& why);
  void CloseAll(Viewer& v);
  void OnRtp(Viewer& v, const uint8_t* data, size_t size);
  void FinishFrame(Viewer& v);
  void KeepAlives();
  void Sample();
  bool InWindow(Clock::time_point t) const {
    return windowOpen_ && t >= windowStart_ && t < windowEnd_;
  }
  int Report();

  Options options_;
  int epoll_ = -1;
  std::vector<Viewer> viewers_;
  bool windowOpen_ = false;
  Clock::time_point windowStart_{};
  Clock::time_point windowEnd_{};
  double setupSeconds_ = 0;

  // Samples of the watched process.
  struct ServerSample {
    double at = 0;
    long rssKb = -1;
    long fds = -1;
    long threads = -1;
  };
  std::vector<ServerSample> samples_;
  Clock::time_point nextSample_{};
  double serverCpuStart_ = 0;
  double serverCpuEnd_ = 0;
  double selfCpuStart_ = 0;
  double selfCpuEnd_ = 0;
};

void LoadRun::Watch(int fd, uint64_t key, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

bool LoadRun::Start() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    std::perror("epoll_create1");
    return false;
  }
  const int total = options_.tcp + options_.udp;
  viewers_.resize(static_cast<size_t>(total));
  int nextPort = options_.udpLow + (options_.udpLow % 2);
  for (int i = 0; i < total; ++i) {
    Viewer& v = viewers_[static_cast<size_t>(i)];
    v.id = i + 1;
    // Interleaved and UDP viewers alternate in the spread of the UDP ones over the run.
    v.udp = options_.udp > 0 && (i * options_.udp) / total != ((i + 1) * options_.udp) / total;
    if (v.udp) {
      while (nextPort + 1 <= options_.udpHigh) {
        const int port = nextPort;
        nextPort += 2;
        const int rtp = BindUdp(options_.host, port);
        if (rtp < 0) continue;
        const int rtcp = BindUdp(options_.host, port + 1);
        if (rtcp < 0) {
          ::close(rtp);
          continue;
        }
        v.rtpFd = rtp;
        v.rtcpFd = rtcp;
        v.rtpPort = port;
        break;
      }
      if (v.rtpFd < 0) {
        std::fprintf(stderr, "no free UDP port pair left in %d-%d\n", options_.udpLow,
                     options_.udpHigh);
        return false;
      }
      Watch(v.rtpFd, Key(static_cast<size_t>(i), 1), EPOLLIN);
      Watch(v.rtcpFd, Key(static_cast<size_t>(i), 2), EPOLLIN);
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.host.c_str(), &server.sin_addr) != 1) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", options_.host.c_str());
    return false;
  }
  for (size_t i = 0; i < viewers_.size(); ++i) {
    Viewer& v = viewers_[i];
    v.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (v.fd < 0) {
      Fail(v, std::string("socket: ") + std::strerror(errno));
      continue;
    }
    const int on = 1;
    ::setsockopt(v.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int buffer = 4 * 1024 * 1024;
    ::setsockopt(v.fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    SetNonBlocking(v.fd);
    if (::connect(v.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
        errno != EINPROGRESS) {
      Fail(v, std::string("connect: ") + std::strerror(errno));
      continue;
    }
    Watch(v.fd, Key(i, 0), EPOLLIN | EPOLLOUT);
  }
  return true;
}

void LoadRun::Send(Viewer& v, const std::string& method, const std::string& url,
                   const std::string& extra) {
  const std::string request = method + " " + url +
                              " RTSP/1.0\r\nCSeq: " + std::to_string(++v.cseq) +
                              "\r\nUser-Agent: vistrel-load\r\n" + extra + "\r\n";
  // A request is a few hundred bytes on a connection whose send buffer is otherwise empty.
  const ssize_t sent = ::send(v.fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(request.size())) {
    Fail(v, method + " not sent: " + (sent < 0 ? std::strerror(errno) : "short write"));
  }
}

void LoadRun::Fail(Viewer& v, const std::string& why) {
  if (v.state == State::Failed) return;
  v.error = std::string(StateName(v.state)) + ": " + why;
  v.state = State::Failed;
  CloseAll(v);
}

void LoadRun::CloseAll(Viewer& v) {
  for (int* fd : {&v.fd, &v.rtpFd, &v.rtcpFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void LoadRun::OnTcp(Viewer& v, uint32_t events) {
  if (v.state == State::Connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(v.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      Fail(v, std::string("connect: ") + std::strerror(error));
      return;
    }
    if ((events & EPOLLOUT) == 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = Key(static_cast<size_t>(v.id - 1), 0);
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, v.fd, &event);
    v.state = State::Options;
    Send(v, "OPTIONS", options_.url);
    return;
  }
  std::array<char, 65536> chunk;
  // Bounded, so that one busy connection cannot starve the rest.
  for (int round = 0; round < 8 && v.fd >= 0; ++round) {
    const ssize_t got = ::recv(v.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got > 0) {
      v.input.append(chunk.data(), static_cast<size_t>(got));
      Parse(v);
      continue;
    }
    if (got == 0) {
      if (v.state == State::TearingDown) {
        v.state = State::Done;
        CloseAll(v);
      } else {
        Fail(v, "connection closed by the server");
      }
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      Fail(v, std::string("recv: ") + std::strerror(errno));
    return;
  }
}

void LoadRun::Parse(Viewer& v) {
  size_t at = 0;
  while (at < v.input.size() && v.fd >= 0) {
    if (v.input[at] == '$') {
      if (v.input.size() - at < 4) break;
      const size_t length = static_cast<size_t>(static_cast<uint8_t>(v.input[at + 2])) << 8 |
                            static_cast<uint8_t>(v.input[at + 3]);
      if (v.input.size() - at < 4 + length) break;
      if (v.input[at + 1] == 0) {
        OnRtp(v, reinterpret_cast<const uint8_t*>(v.input.data() + at + 4), length);
      }
      at += 4 + length;
      continue;
    }
    const size_t end = v.input.find("\r\n\r\n", at);
    if (end == std::string::npos) {
      if (v.input.size() - at > 65536) Fail(v, "answer head too long");
      break;
    }
    const std::string head = v.input.substr(at, end + 2 - at);
    if (head.rfind("RTSP/1.0 ", 0) != 0) {
      Fail(v, "not an answer: " + head.substr(0, 40));
      return;
    }
    size_t bodyLength = 0;
    const auto header = [&head](const std::string& name) -> std::string {
      const std::string key = "\r\n" + name + ":";
      const size_t found = head.find(key);
      if (found == std::string::npos) return {};
      size_t start = found + key.size();
      while (start < head.size() && head[start] == ' ') ++start;
      return head.substr(start, head.find("\r\n", start) - start);
    };
    if (const std::string length = header("Content-Length"); !length.empty()) {
      bodyLength = std::strtoul(length.c_str(), nullptr, 10);
    }
    if (v.input.size() < end + 4 + bodyLength) break;
    const std::string body = v.input.substr(end + 4, bodyLength);
    at = end + 4 + bodyLength;
    const int status = std::atoi(head.c_str() + 9);
    if (v.state == State::Setup)
      v.session = header("Session").substr(0, header("Session").find(';'));
    if (v.state == State::Describe) {
      std::string base = header("Content-Base");
      if (base.empty()) base = options_.url + "/";
      std::string control = "track1";
      // The media's own control line: a session-level "a=control:*" (GStreamer's server has one)
      // comes before the first "m=" line and names no track.
      const size_t media = body.find("\nm=");
      const size_t found = body.find("a=control:", media == std::string::npos ? 0 : media);
      if (found != std::string::npos) {
        control = body.substr(found + 10, body.find_first_of("\r\n", found) - found - 10);
      }
      v.setupUrl = control.rfind("rtsp://", 0) == 0 ? control : base + control;
    }
    OnAnswer(v, status, head, body);
  }
  if (v.fd >= 0) v.input.erase(0, at);
}

void LoadRun::OnAnswer(Viewer& v, int status, const std::string& head, const std::string&) {
  switch (v.state) {
    case State::Options:
    case State::Describe:
    case State::Setup:
    case State::Play:
      if (status != 200) {
        Fail(v, "answered " + head.substr(0, head.find("\r\n")));
        return;
      }
      break;
    case State::Playing:
      // Keep-alive answers.
      if (status == 200) {
        ++v.keepAlivesAnswered;
      } else {
        ++v.keepAlivesRefused;
      }
      return;
    case State::TearingDown:
      v.state = State::Done;
      CloseAll(v);
      return;
    default:
      return;
  }
  if (v.state == State::Options) {
    v.state = State::Describe;
    Send(v, "DESCRIBE", options_.url, "Accept: application/sdp\r\n");
  } else if (v.state == State::Describe) {
    v.state = State::Setup;
    const std::string transport = v.udp
                                      ? "RTP/AVP;unicast;client_port=" + std::to_string(v.rtpPort) +
                                            "-" + std::to_string(v.rtpPort + 1)
                                      : "RTP/AVP/TCP;unicast;interleaved=0-1";
    Send(v, "SETUP", v.setupUrl, "Transport: " + transport + "\r\n");
  } else if (v.state == State::Setup) {
    if (v.session.empty()) {
      Fail(v, "SETUP answer without a session");
      return;
    }
    if (v.udp && head.find("client_port=" + std::to_string(v.rtpPort)) == std::string::npos) {
      Fail(v, "SETUP answer without our client port: " + head);
      return;
    }
    v.state = State::Play;
    Send(v, "PLAY", options_.url, "Session: " + v.session + "\r\n");
  } else if (v.state == State::Play) {
    v.state = State::Playing;
    v.lastKeepAlive = Clock::now();
  }
}

void LoadRun::OnUdp(Viewer& v, int fd, bool rtp) {
  std::array<uint8_t, 65536> datagram;
  for (int round = 0; round < 256; ++round) {
    const ssize_t got = ::recv(fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (got < 0) return;
    if (rtp) OnRtp(v, datagram.data(), static_cast<size_t>(got));
  }
}

void LoadRun::OnRtp(Viewer& v, const uint8_t* data, size_t size) {
  if (size < 12 || (data[0] & 0xC0) != 0x80) return;
  const Clock::time_point now = Clock::now();
  const bool marker = (data[1] & 0x80) != 0;
  const auto seq = static_cast<uint16_t>(data[2] << 8 | data[3]);
  const uint32_t ts = static_cast<uint32_t>(data[4]) << 24 | static_cast<uint32_t>(data[5]) << 16 |
                      static_cast<uint32_t>(data[6]) << 8 | data[7];
  bool gap = false;
  if (v.haveSeq) {
    const auto ahead = static_cast<uint16_t>(seq - static_cast<uint16_t>(v.lastSeq + 1));
    if (ahead >= 0x8000) {
      ++v.outOfOrder;
      return;
    }
    if (ahead > 0) {
      gap = true;
      v.lostPackets += ahead;
      ++v.gapEvents;
    }
  }
  v.haveSeq = true;
  v.lastSeq = seq;
  ++v.packets;
  v.bytes += size;
  if (!v.haveFrame || ts != v.frameTs) {
    // Missing packets between two frames may have been the tail of the one or the head of the
    // other; both count as broken.
    if (v.haveFrame) {
      if (gap) v.frameBroken = true;
      FinishFrame(v);
    }
    v.haveFrame = true;
    v.frameTs = ts;
    v.frameInWindow = InWindow(now);
    v.frameBroken = gap;
  } else if (gap) {
    v.frameBroken = true;
  }
  v.frameLastMarker = marker;
}

void LoadRun::FinishFrame(Viewer& v) {
  if (!v.haveFrame) return;
  if (v.frameInWindow) {
    if (v.frameLastMarker && !v.frameBroken) {
      ++v.complete;
    } else {
      ++v.incomplete;
    }
  }
  v.haveFrame = false;
}

void LoadRun::KeepAlives() {
  const Clock::time_point now = Clock::now();
  for (Viewer& v : viewers_) {
    if (!v.udp || v.state != State::Playing) continue;
    if (now - v.lastKeepAlive < Seconds(options_.keepAliveEvery)) continue;
    v.lastKeepAlive = now;
    Send(v, options_.keepAlive, options_.url, "Session: " + v.session + "\r\n");
  }
}

long ReadStatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

long CountDescriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

void LoadRun::Sample() {
  if (options_.watchPid <= 0) return;
  ServerSample sample;
  sample.at = SecondsBetween(windowStart_, Clock::now());
  sample.rssKb = ReadStatusField(options_.watchPid, "VmRSS");
  sample.fds = CountDescriptors(options_.watchPid);
  sample.threads = ReadStatusField(options_.watchPid, "Threads");
  samples_.push_back(sample);
}

void LoadRun::Poll(int timeoutMs) {
  std::array<epoll_event, 256> events;
  const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
  for (int i = 0; i < ready; ++i) {
    const uint64_t key = events[static_cast<size_t>(i)].data.u64;
    Viewer& v = viewers_[static_cast<size_t>(key >> 2)];
    switch (key & 3) {
      case 0:
        if (v.fd >= 0) OnTcp(v, events[static_cast<size_t>(i)].events);
        break;
      case 1:
        if (v.rtpFd >= 0) OnUdp(v, v.rtpFd, true);
        break;
      default:
        if (v.rtcpFd >= 0) OnUdp(v, v.rtcpFd, false);
        break;
    }
  }
}

int LoadRun::Run() {
  if (!Start()) return 1;
  const Clock::time_point begin = Clock::now();
  // Every viewer playing, or the limit.
  const auto allSettled = [this] {
    return std::all_of(viewers_.begin(), viewers_.end(), [](const Viewer& v) {
      return v.state == State::Playing || v.state == State::Failed;
    });
  };
  while (!allSettled() && Clock::now() - begin < Seconds(options_.setupLimit)) Poll(20);
  for (Viewer& v : viewers_) {
    if (v.state != State::Playing)
      Fail(v, "not playing after " + std::to_string(options_.setupLimit) + " s");
  }
  setupSeconds_ = SecondsBetween(begin, Clock::now());
  const Clock::time_point warmEnd = Clock::now() + Seconds(options_.warmup);
  while (Clock::now() < warmEnd) {
    Poll(20);
    KeepAlives();
  }

  windowStart_ = Clock::now();
  windowEnd_ = windowStart_ + Seconds(options_.seconds);
  windowOpen_ = true;
  serverCpuStart_ = options_.watchPid > 0 ? ProcessCpuSeconds(options_.watchPid) : 0;
  selfCpuStart_ = SelfCpuSeconds();
  nextSample_ = windowStart_;
  while (Clock::now() < windowEnd_) {
    if (Clock::now() >= nextSample_) {
      Sample();
      nextSample_ += Seconds(options_.sampleEvery);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min(windowEnd_, nextSample_) - Clock::now());
    Poll(static_cast<int>(std::clamp<long long>(left.count(), 0, 20)));
    KeepAlives();
  }
  serverCpuEnd_ = options_.watchPid > 0 ? ProcessCpuSeconds(options_.watchPid) : 0;
  selfCpuEnd_ = SelfCpuSeconds();
  Sample();
  // A frame begun just before the end is let finish.
  const Clock::time_point tail = Clock::now() + 500ms;
  while (Clock::now() < tail) Poll(20);
  for (Viewer& v : viewers_) FinishFrame(v);
  const int status = Report();

  // Leave the server as it was: every session torn down, every connection closed.
  for (Viewer& v : viewers_) {
    if (v.state != State::Playing) continue;
    v.state = State::TearingDown;
    Send(v, "TEARDOWN", options_.url, "Session: " + v.session + "\r\n");
  }
  const Clock::time_point teardownEnd = Clock::now() + 5s;
  while (Clock::now() < teardownEnd &&
         std::any_of(viewers_.begin(), viewers_.end(),
                     [](const Viewer& v) { return v.state == State::TearingDown; })) {
    Poll(20);
  }
  return status;
}

int LoadRun::Report() {
  const double expected = options_.fps * options_.seconds;
  std::vector<uint64_t> frames;
  bool allPlaying = true;
  uint64_t lost = 0;
  std::printf("%4s %-5s %9s %10s %9s %6s %8s %9s %9s %8s  %s\n", "id", "kind", "frames",
              "incomplete", "fraction", "gaps", "lost", "packets", "MB", "alive ok", "state");
  for (const Viewer& v : viewers_) {
    frames.push_back(v.complete);
    lost += v.lostPackets;
    if (v.state != State::Playing) allPlaying = false;
    std::printf(
        "%4d %-5s %9llu %10llu %9.3f %6llu %8llu %9llu %9.2f %8d  %s\n", v.id,
        v.udp ? "udp" : "tcp", static_cast<unsigned long long>(v.complete),
        static_cast<unsigned long long>(v.incomplete), static_cast<double>(v.complete) / expected,
        static_cast<unsigned long long>(v.gapEvents),
        static_cast<unsigned long long>(v.lostPackets), static_cast<unsigned long long>(v.packets),
        static_cast<double>(v.bytes) / 1e6, v.keepAlivesAnswered,
        v.state == State::Failed ? v.error.c_str() : StateName(v.state));
  }
  std::sort(frames.begin(), frames.end());
  const double wall = SecondsBetween(windowStart_, windowEnd_);
  if (!frames.empty()) {
    std::printf(
        "complete frames per viewer: min %llu, median %llu, max %llu; expected %.0f "
        "(%.3g fps x %.3g s); lowest fraction %.3f\n",
        static_cast<unsigned long long>(frames.front()),
        static_cast<unsigned long long>(frames[frames.size() / 2]),
        static_cast<unsigned long long>(frames.back()), expected, options_.fps, options_.seconds,
        static_cast<double>(frames.front()) / expected);
  }
  if (options_.watchPid > 0) {
    std::printf("server pid %d over %.1f s:", static_cast<int>(options_.watchPid), wall);
    for (const ServerSample& s : samples_) {
      std::printf(" [%.0fs rss %.1f MB, %ld fds, %ld threads]", s.at,
                  static_cast<double>(s.rssKb) / 1024.0, s.fds, s.threads);
    }
    std::printf("\n");
  }
  // One line for scripts.
  const double serverCpu = (serverCpuEnd_ - serverCpuStart_) / wall;
  std::printf(
      "summary viewers=%zu tcp=%d udp=%d setup_s=%.2f expected=%.0f min=%llu median=%llu "
      "max=%llu min_fraction=%.4f lost_packets=%llu all_playing=%d server_cpu_ms_per_s=%.1f "
      "client_cpu_ms_per_s=%.1f",
      viewers_.size(), options_.tcp, options_.udp, setupSeconds_, expected,
      static_cast<unsigned long long>(frames.empty() ? 0 : frames.front()),
      static_cast<unsigned long long>(frames.empty() ? 0 : frames[frames.size() / 2]),
      static_cast<unsigned long long>(frames.empty() ? 0 : frames.back()),
      frames.empty() ? 1.0 : static_cast<double>(frames.front()) / expected,
      static_cast<unsigned long long>(lost), allPlaying ? 1 : 0, serverCpu * 1000.0,
      (selfCpuEnd_ - selfCpuStart_) / wall * 1000.0);
  std::printf(" rss_kb=");
  for (size_t i = 0; i < samples_.size(); ++i)
    std::printf("%s%ld", i ? "," : "", samples_[i].rssKb);
  std::printf(" fds=");
  for (size_t i = 0; i < samples_.size(); ++i) std::printf("%s%ld", i ? "," : "", samples_[i].fds);
  std::printf(" threads=");
  for (size_t i = 0; i < samples_.size(); ++i)
    std::printf("%s%ld", i ? "," : "", samples_[i].threads);
  uint64_t bytes = 0;
  uint64_t complete = 0;
  for (const Viewer& v : viewers_) {
    bytes += v.bytes;
    complete += v.complete;
  }
  // RTP bytes (headers included) per complete frame, over every viewer.
  std::printf(" kb_per_frame=%.1f",
              complete ? static_cast<double>(bytes) / static_cast<double>(complete) / 1000.0 : 0.0);
  std::printf(" sample_at=");
  for (size_t i = 0; i < samples_.size(); ++i) std::printf("%s%.1f", i ? "," : "", samples_[i].at);
  std::printf("\n");
  std::fflush(stdout);
  return allPlaying ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  LoadRun run(ParseOptions(argc, argv));
  return run.Run();
}
