// What the fan-out of one live 1920x1080 H.264 stream costs per client: real encoded frames at
// 25 fps through TLiveChannel::DispatchFrame to 1, 10 and 100 sessions, each bound to its own
// loopback TCP connection with interleaved RTP, as an RTSP SETUP over TCP binds it. The clients
// read in a child process (this program started again with --fanout-reader, one epoll thread), so
// this process's CPU time is the server side alone: dispatch, packetising, the sends, and the
// kernel's loopback delivery that runs inside them.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCpu.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"
#include "platform/TcpListener.h"
#include "stream/LiveSession.h"
#include "stream/TcpRtpConnection.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/OrxEncoderLibrary.h"
#include "tests/support/SyntheticPicture.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 50;
constexpr int kFps = 25;
constexpr int kFrames = 200;  // 8 s at 25 fps
constexpr auto kFrameInterval = std::chrono::microseconds(1000000 / kFps);
constexpr const char* kReaderFlag = "--fanout-reader";

// ---------------------------------------------------------------------------------------------
// The reading side, in the child process.

// Frames counted per connection: a new RTP time stamp starts a frame, whatever NAL units the
// encoder put into it.
struct ReaderConnection {
  int fd = -1;
  std::vector<uint8_t> input;
  size_t start = 0;
  bool seen = false;
  uint32_t timestamp = 0;
  int frames = 0;
  bool broken = false;
};

void ParsePackets(ReaderConnection& c) {
  for (;;) {
    const size_t left = c.input.size() - c.start;
    if (left < 4) break;
    const uint8_t* head = c.input.data() + c.start;
    if (head[0] != '$') {
      c.broken = true;
      break;
    }
    const size_t length = static_cast<size_t>(head[2] << 8 | head[3]);
    if (left < 4 + length) break;
    if (length >= 12) {
      const uint32_t timestamp = static_cast<uint32_t>(head[8]) << 24 |
                                 static_cast<uint32_t>(head[9]) << 16 |
                                 static_cast<uint32_t>(head[10]) << 8 | head[11];
      if (!c.seen || timestamp != c.timestamp) ++c.frames;
      c.seen = true;
      c.timestamp = timestamp;
    }
    c.start += 4 + length;
  }
  if (c.start == c.input.size()) {
    c.input.clear();
    c.start = 0;
  } else if (c.start > (1 << 20)) {
    c.input.erase(c.input.begin(), c.input.begin() + static_cast<std::ptrdiff_t>(c.start));
    c.start = 0;
  }
}

// Connects count clients to 127.0.0.1:port, says "ready" on standard output, reads until every
// connection has ended (or two minutes passed), then prints each client's frame count.
int RunReaders(uint16_t port, int count) {
  std::vector<ReaderConnection> connections(static_cast<size_t>(count));
  const int poller = ::epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0) return 2;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (size_t i = 0; i < connections.size(); ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return 3;
    connections[i].fd = fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    if (::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) != 0) return 4;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<uint8_t> chunk(256 * 1024);
  std::array<epoll_event, 128> events;
  size_t open = connections.size();
  const Clock::time_point end = Clock::now() + std::chrono::minutes(2);
  while (open > 0 && Clock::now() < end) {
    const int ready = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 500);
    for (int e = 0; e < ready; ++e) {
      ReaderConnection& c = connections[events[static_cast<size_t>(e)].data.u64];
      const ssize_t got = ::recv(c.fd, chunk.data(), chunk.size(), 0);
      if (got <= 0) {
        ::epoll_ctl(poller, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
        --open;
        continue;
      }
      c.input.insert(c.input.end(), chunk.begin(), chunk.begin() + got);
      ParsePackets(c);
    }
  }
  for (const ReaderConnection& c : connections) {
    if (c.fd >= 0) ::close(c.fd);
    std::printf("%d%s\n", c.frames, c.broken ? " broken" : "");
  }
  ::close(poller);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The serving side.

struct EncodedStream {
  std::vector<std::vector<uint8_t>> frames;  // each with its frame header
  std::string error;
  size_t payloadBytes = 0;
};

const EncodedStream& Stream() {
  static const EncodedStream stream = [] {
    EncodedStream s;
    OrxEncoderLibrary library;
    if (!library.loaded()) {
      s.error = library.error();
      return s;
    }
    OrxEnHandle channel = library.CreateChannelEx(ORXEN_TYPE_H264, 0);
    if (library.SetVideoParam(channel, kWidth, kHeight, 0) != 0) {
      library.CloseChannel(channel);
      s.error = "the H.264 channel did not open";
      return s;
    }
    std::vector<uint8_t> dest(static_cast<size_t>(kWidth * kHeight * 2));
    for (int i = 0; i < kPictures; ++i) {
      const std::vector<uint8_t> picture = MakeMovingPicture(kWidth, kHeight, i);
      int keyFrame = 0;
      const int n = library.Encode(channel, picture.data(), dest.data(), ORXEN_CSP_YV12,
                                   static_cast<int>(picture.size()), kWidth, kHeight, &keyFrame);
      if (n <= 0) continue;
      TFrameHeader header = MakeFrameHeader(ORXEN_TYPE_H264);
      header.DataLen = n;
      header.Width = kWidth;
      header.Height = kHeight;
      header.FrameType = keyFrame != 0 ? kKeyVideoFrameType : kOtherVideoFrameType;
      std::vector<uint8_t> frame(static_cast<size_t>(kFrameHeaderSize + n));
      WriteFrameHeader(header, frame);
      std::copy_n(dest.begin(), n, frame.begin() + kFrameHeaderSize);
      s.frames.push_back(std::move(frame));
      s.payloadBytes += static_cast<size_t>(n);
    }
    library.CloseChannel(channel);
    if (s.frames.empty() || ReadFrameHeader(s.frames[0])->FrameType != kKeyVideoFrameType) {
      s.error = "the encoder gave no key frame first";
    }
    return s;
  }();
  return stream;
}

// Posts go nowhere; a lost connection is counted.
// Listener and session manager as the RTSP service would hold them for interleaved clients.
class FanoutServer {
 public:
  explicit FanoutServer(const TSessionLinks& links)
      : channels_(ORXEN_TYPE_H264),
        // Viewers beyond the program's own bound are what the benchmark measures.
        manager_(links, channels_, {.perConnection = 4, .total = SIZE_MAX}),
        listener_({.connected = [this](platform::TTcpConnection& c) { Bind(c); },
                   .serve = nullptr,
                   .disconnected = [this](platform::TTcpConnection& c) { Unbind(c); }}) {}
  ~FanoutServer() { listener_.Stop(); }
  FanoutServer(const FanoutServer&) = delete;
  FanoutServer& operator=(const FanoutServer&) = delete;

  bool Start() { return listener_.Start(0, "127.0.0.1"); }
  void Stop() { listener_.Stop(); }
  uint16_t Port() const { return listener_.Port(); }
  TLiveSessionManager& Manager() { return manager_; }
  // Every client has its session, bound to its connection and attached to the channel: a session
  // counted by the manager alone may not be in the channel yet and would miss the first key frame.
  bool Ready(size_t clients) {
    const auto sessions = manager_.Sessions();
    return sessions.size() == clients && Channel().SessionCount() == clients &&
           std::all_of(sessions.begin(), sessions.end(),
                       [](const auto& s) { return s->Connection() != nullptr; });
  }
  TLiveChannel& Channel() { return channels_.GetOrCreateChannel(); }

 private:
  void Bind(platform::TTcpConnection& connection) {
    auto wrapper = std::make_unique<TTcpRtpConnection>(connection);
    auto session = manager_.AddSession({connection.Peer().address, wrapper->Id(), {}});
    session->SetConnection(wrapper.get());
    const std::lock_guard guard(lock_);
    wrappers_[&connection] = std::move(wrapper);
  }
  void Unbind(platform::TTcpConnection& connection) {
    TRtpConnection* wrapper = nullptr;
    {
      const std::lock_guard guard(lock_);
      const auto found = wrappers_.find(&connection);
      if (found != wrappers_.end()) wrapper = found->second.get();
    }
    if (auto session = manager_.FindSessionByConnection(wrapper)) manager_.RemoveSession(session);
  }

  TLiveChannelManager channels_;
  TLiveSessionManager manager_;
  std::mutex lock_;
  std::map<const platform::TTcpConnection*, std::unique_ptr<TTcpRtpConnection>> wrappers_;
  platform::TTcpListener listener_;  // last: its handlers use everything above
};

// The child process with the readers; its standard output comes through a pipe.
class ReaderProcess {
 public:
  ReaderProcess(uint16_t port, int count) {
    std::array<char, PATH_MAX> self{};
    if (::readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0) return;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    std::string portText = std::to_string(port);
    std::string countText = std::to_string(count);
    std::string flag = kReaderFlag;
    std::vector<char*> argv = {self.data(), flag.data(), portText.data(), countText.data(),
                               nullptr};
    if (posix_spawn(&pid_, self.data(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    output_ = ::fdopen(pipeEnds[0], "r");
  }
  ~ReaderProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
  }
  ReaderProcess(const ReaderProcess&) = delete;
  ReaderProcess& operator=(const ReaderProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // The next line of output without its line feed; empty at the end.
  std::string ReadLine() {
    if (output_ == nullptr) return "";
    std::array<char, 256> line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), output_) == nullptr) return "";
    std::string text = line.data();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // Waits for the child's end; true when it exited with 0.
  bool Wait() {
    int status = 0;
    const bool ended = pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

template <typename Condition>
bool WaitFor(Condition condition, milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// A number field of /proc/self/status (in kB for the memory fields).
long StatusNumber(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  }
  return 0;
}

// Pages of memory all TCP sockets of the machine hold in the kernel, from /proc/net/sockstat.
long TcpMemoryPages() {
  std::ifstream sockstat("/proc/net/sockstat");
  std::string word;
  while (sockstat >> word) {
    if (word == "mem") {
      long pages = 0;
      sockstat >> pages;
      return pages;
    }
  }
  return 0;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

void BM_Fanout(benchmark::State& state) {
  const EncodedStream& stream = Stream();
  if (!stream.error.empty()) {
    state.SkipWithError(stream.error.c_str());
    return;
  }
  const int clients = static_cast<int>(state.range(0));
  for (auto _ : state) {
    ByeCollector byes;
    std::atomic<int> drops{0};
    TSessionLinks links;
    links.fps = kFps;
    links.byeActionPoster = &byes;
    links.log = [&drops](std::string_view line) {
      if (line.find("drop") != std::string_view::npos) ++drops;
    };
    FanoutServer server(links);
    if (!server.Start()) {
      state.SkipWithError("the listener did not start");
      return;
    }
    ReaderProcess readers(server.Port(), clients);
    if (readers.Pid() <= 0 || readers.ReadLine() != "ready" ||
        !WaitFor([&] { return server.Ready(static_cast<size_t>(clients)); }, milliseconds(10000))) {
      state.SkipWithError("the readers did not connect");
      return;
    }
    const std::vector<std::shared_ptr<TBaseSession>> sessions = server.Manager().Sessions();
    for (const auto& session : sessions) session->StartStreaming();
    const int descriptors = OpenDescriptors();
    const long threads = StatusNumber("Threads:");

    const double serverStart = SelfCpuSeconds();
    const double readerStart = ProcessCpuSeconds(readers.Pid());
    Clock::duration longest{};
    long tcpPages = 0;
    Clock::time_point due = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
      std::this_thread::sleep_until(due);
      const auto& frame = stream.frames[static_cast<size_t>(i) % stream.frames.size()];
      const Clock::time_point before = Clock::now();
      server.Channel().DispatchFrame(frame);
      longest = std::max(longest, Clock::now() - before);
      if (i == kFrames / 2) tcpPages = TcpMemoryPages();
      due += kFrameInterval;
    }
    // Counted until every queue is empty, so that the sends of the last frames are in.
    const bool drained = WaitFor(
        [&] {
          return std::all_of(sessions.begin(), sessions.end(),
                             [](const auto& s) { return s->VideoSender().QueuedPackages() == 0; });
        },
        milliseconds(10000));
    std::this_thread::sleep_for(milliseconds(100));
    const double serverCpu = SelfCpuSeconds() - serverStart;
    const double readerCpu = ProcessCpuSeconds(readers.Pid()) - readerStart;
    const long rssKb = StatusNumber("VmRSS:");
    const int losses = static_cast<int>(byes.Count());  // before the shutdown, which ends every connection

    server.Stop();  // the readers see their connections end and report
    std::vector<int> received;
    bool broken = false;
    for (int i = 0; i < clients; ++i) {
      const std::string line = readers.ReadLine();
      if (line.empty()) break;
      broken = broken || line.find("broken") != std::string::npos;
      received.push_back(std::stoi(line));
    }
    const bool readersOk = readers.Wait();
    if (!drained || !readersOk || broken || received.size() != static_cast<size_t>(clients)) {
      state.SkipWithError("the run did not complete: queues not drained or readers failed");
      return;
    }
    std::sort(received.begin(), received.end());
    state.counters["server_cpu_ms_per_frame"] = serverCpu * 1000 / kFrames;
    state.counters["reader_cpu_ms_per_frame"] = readerCpu * 1000 / kFrames;
    state.counters["frames_min"] = received.front();
    state.counters["frames_median"] = received[received.size() / 2];
    state.counters["frames_dispatched"] = kFrames;
    state.counters["dispatch_max_ms"] = std::chrono::duration<double, std::milli>(longest).count();
    state.counters["drops"] = drops.load();
    state.counters["losses"] = losses;
    state.counters["rss_mb"] = static_cast<double>(rssKb) / 1024;
    state.counters["open_fds"] = descriptors;
    state.counters["threads"] = static_cast<double>(threads);
    state.counters["tcp_mem_mb_mid"] =
        static_cast<double>(tcpPages) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1 << 20);
  }
  state.counters["kbytes_per_frame"] =
      static_cast<double>(stream.payloadBytes) / 1000 / static_cast<double>(stream.frames.size());
}

}  // namespace

BENCHMARK(BM_Fanout)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == kReaderFlag) {
    return RunReaders(static_cast<uint16_t>(std::stoi(argv[2])), std::stoi(argv[3]));
  }
  // A reader process that ends early must not take this one down with it.
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
