// One client that stops reading must cost the other clients of the live stream nothing. Real
// loopback connections carry the interleaved RTP to plain-socket readers; the sessions, the live
// channel and the frame senders are the real ones; a producer thread stands in for the capture
// pipeline, at its frame rate, and like the desktop encoder it turns a key-frame request into a
// key frame at the next picture.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "SessionTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"
#include "platform/TcpListener.h"
#include "stream/LiveSession.h"
#include "stream/TcpRtpConnection.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kFps = 25;
constexpr auto kFrameInterval = milliseconds(1000 / kFps);
constexpr int kKeyFrameInterval = 25;
constexpr int kReaders = 4;
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kFuA = 28;

// Annex B frames of the sizes a busy 1080p desktop gives: a key frame of parameter sets and a
// 60 KB IDR slice, other frames of 30 to 45 KB. No zero bytes inside, so no false start codes.
class SyntheticStream {
 public:
  SyntheticStream() {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(1, 255);
    const auto unit = [&](std::vector<uint8_t>& to, uint8_t header, size_t body) {
      to.insert(to.end(), {0, 0, 0, 1, header});
      for (size_t i = 0; i < body; ++i) to.push_back(static_cast<uint8_t>(byte(random)));
    };
    std::vector<uint8_t> key;
    unit(key, 0x67, 12);  // SPS
    unit(key, 0x68, 4);   // PPS
    unit(key, 0x65, 60000);
    key_ = Framed(key, true);
    for (size_t i = 0; i < 8; ++i) {
      std::vector<uint8_t> other;
      unit(other, 0x41, 30000 + i * 2000);
      others_.push_back(Framed(other, false));
    }
  }

  std::span<const uint8_t> Frame(int index, bool key) const {
    return key ? key_ : others_[static_cast<size_t>(index) % others_.size()];
  }

 private:
  static std::vector<uint8_t> Framed(const std::vector<uint8_t>& payload, bool key) {
    TFrameHeader header = MakeFrameHeader(4);
    header.FrameType = key ? kKeyVideoFrameType : kOtherVideoFrameType;
    header.DataLen = static_cast<int32_t>(payload.size());
    header.Width = 1920;
    header.Height = 1080;
    std::vector<uint8_t> frame(static_cast<size_t>(kFrameHeaderSize) + payload.size());
    WriteFrameHeader(header, frame);
    std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
    return frame;
  }

  std::vector<uint8_t> key_;
  std::vector<std::vector<uint8_t>> others_;
};

// The capture side: one frame per slot at the frame rate. A slot missed while a dispatch held the
// thread is lost, as a capture loop that was held up does not make up for the pictures it missed.
class Producer {
 public:
  Producer(const SyntheticStream& stream, TLiveChannel& channel, TBaseSessionManager& manager,
           std::atomic<bool>& keyRequested)
      : stream_(stream), channel_(channel), manager_(manager), keyRequested_(keyRequested) {}

  // One frame, at once; the time it took is not counted.
  void DispatchOne() {
    const bool key = keyRequested_.exchange(false) || sinceKey_ >= kKeyFrameInterval;
    channel_.DispatchFrame(stream_.Frame(index_++, key));
    sinceKey_ = key ? 1 : sinceKey_ + 1;
  }

  // Paced frames until done() holds (looked at once per slot) or the deadline passes.
  template <typename Done>
  void Run(Done done, Clock::time_point deadline) {
    const Clock::time_point start = Clock::now();
    Clock::time_point due = start;
    while (!done() && Clock::now() < deadline) {
      std::this_thread::sleep_until(due);
      const bool key = keyRequested_.exchange(false) || sinceKey_ >= kKeyFrameInterval;
      const Clock::time_point before = Clock::now();
      channel_.DispatchFrame(stream_.Frame(index_++, key));
      const Clock::time_point after = Clock::now();
      longest_ = std::max(longest_, std::chrono::duration_cast<milliseconds>(after - before));
      sinceKey_ = key ? 1 : sinceKey_ + 1;
      ++dispatched_;
      due = std::max(due + kFrameInterval, after);
    }
    slots_ += static_cast<int>((Clock::now() - start) / kFrameInterval);
  }

  int Dispatched() const { return dispatched_; }
  int Slots() const { return slots_; }
  milliseconds Longest() const { return longest_; }

 private:
  const SyntheticStream& stream_;
  TLiveChannel& channel_;
  TBaseSessionManager& manager_;
  std::atomic<bool>& keyRequested_;
  int index_ = 0;
  int sinceKey_ = kKeyFrameInterval;
  int dispatched_ = 0;
  int slots_ = 0;
  milliseconds longest_{0};
};

// The server side: a listener on 127.0.0.1 whose connections are bound to live sessions, as an
// RTSP SETUP over TCP binds them, and whose lost connections remove their sessions.
class LoopbackServer {
 public:
  LoopbackServer(const TSessionLinks& links, TLiveChannelManager& channels,
                 platform::TTcpLimits limits)
      : manager_(links, channels),
        listener_({.connected = [this](platform::TTcpConnection& c) { Bind(c); },
                   .serve = nullptr,
                   .disconnected = [this](platform::TTcpConnection& c) { Unbind(c); }},
                  limits) {}
  ~LoopbackServer() { listener_.Stop(); }

  bool Start() { return listener_.Start(0, "127.0.0.1"); }
  uint16_t Port() const { return listener_.Port(); }
  TLiveSessionManager& Manager() { return manager_; }

  // The session bound to the connection from this client port, once accepted.
  std::shared_ptr<TBaseSession> WaitSession(uint16_t clientPort) {
    std::unique_lock lock(lock_);
    bound_.wait_for(lock, std::chrono::seconds(5), [&] { return sessions_.count(clientPort) > 0; });
    const auto found = sessions_.find(clientPort);
    return found == sessions_.end() ? nullptr : found->second;
  }

 private:
  void Bind(platform::TTcpConnection& connection) {
    auto wrapper = std::make_unique<TTcpRtpConnection>(connection);
    auto session = manager_.AddSession({connection.Peer().address, wrapper->Id(), {}});
    session->SetConnection(wrapper.get());
    {
      const std::lock_guard guard(lock_);
      wrappers_[&connection] = std::move(wrapper);
      sessions_[connection.Peer().port] = session;
    }
    bound_.notify_all();
  }

  void Unbind(platform::TTcpConnection& connection) {
    TRtpConnection* wrapper = nullptr;
    {
      const std::lock_guard guard(lock_);
      const auto found = wrappers_.find(&connection);
      if (found != wrappers_.end()) wrapper = found->second.get();
    }
    // The connection object goes right after this; its senders must be stopped by then. The
    // wrapper stays until the server goes, as a removed session may still point at it.
    if (auto session = manager_.FindSessionByConnection(wrapper)) manager_.RemoveSession(session);
  }

  TLiveSessionManager manager_;
  std::mutex lock_;
  std::condition_variable bound_;
  std::map<const platform::TTcpConnection*, std::unique_ptr<TTcpRtpConnection>> wrappers_;
  std::map<uint16_t, std::shared_ptr<TBaseSession>> sessions_;
  platform::TTcpListener listener_;  // last: its handlers use everything above
};

// A plain client socket on 127.0.0.1.
class ClientSocket {
 public:
  ClientSocket(uint16_t port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  }
  ~ClientSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }
  uint16_t LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
  }

 private:
  int fd_;
  bool connected_ = false;
};

// Reads the interleaved stream of one client on a thread of its own and counts whole frames: an
// RTP packet with the marker bit that ends a slice (parameter sets carry the marker too).
class RtpReader {
 public:
  struct Counts {
    int frames = 0;
    int packets = 0;
    int sequenceGaps = 0;
    bool framingBroken = false;
  };

  explicit RtpReader(uint16_t port) : socket_(port) {}
  ~RtpReader() { Stop(); }

  bool Connected() const { return socket_.Connected(); }
  uint16_t LocalPort() const { return socket_.LocalPort(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // Reads on until the connection has been quiet for a while, then ends the thread.
  void Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  Counts Result() const {
    const std::lock_guard guard(lock_);
    return counts_;
  }

 private:
  void Run() {
    std::vector<uint8_t> input;
    std::array<uint8_t, 65536> chunk;
    for (;;) {
      pollfd readable{socket_.Fd(), POLLIN, 0};
      const int ready = ::poll(&readable, 1, 100);
      if (ready == 0) {
        if (stopping_.load()) return;
        continue;
      }
      const ssize_t got = ::recv(socket_.Fd(), chunk.data(), chunk.size(), 0);
      if (got <= 0) return;
      input.insert(input.end(), chunk.begin(), chunk.begin() + got);
      if (!Parse(input)) return;
    }
  }

  // Takes the complete packets off the front of input; false when the framing is broken.
  bool Parse(std::vector<uint8_t>& input) {
    size_t at = 0;
    const std::lock_guard guard(lock_);
    while (input.size() - at >= 4) {
      const uint8_t* head = input.data() + at;
      if (head[0] != '$' || head[1] > 1) {
        counts_.framingBroken = true;
        return false;
      }
      const size_t length = static_cast<size_t>(head[2] << 8 | head[3]);
      if (input.size() - at < 4 + length) break;
      if (head[1] == 1) {  // the sender reports, not counted here
        at += 4 + length;
        continue;
      }
      if (length < 13 || head[4] != 0x80 || (head[5] & 0x7F) != 96) {
        counts_.framingBroken = true;
        return false;
      }
      const auto sequence = static_cast<uint16_t>(head[6] << 8 | head[7]);
      if (counts_.packets > 0 && sequence != static_cast<uint16_t>(lastSequence_ + 1)) {
        ++counts_.sequenceGaps;
      }
      lastSequence_ = sequence;
      ++counts_.packets;
      const uint8_t* payload = head + 16;
      uint8_t type = payload[0] & kNalTypeMask;
      if (type == kFuA && length >= 14) type = payload[1] & kNalTypeMask;
      if ((head[5] & 0x80) != 0 && (type == 1 || type == 5)) ++counts_.frames;
      at += 4 + length;
    }
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }

  ClientSocket socket_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  Counts counts_;
  uint16_t lastSequence_ = 0;
};

// Reads 4 KB every 50 ms, 80 KB/s of a stream of about 1.1 MB/s, until it goes.
class TrickleReader {
 public:
  explicit TrickleReader(const ClientSocket& socket)
      : thread_([this, fd = socket.Fd()] {
          std::array<uint8_t, 4096> chunk;
          while (!stop_.load()) {
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, 50) > 0 && ::recv(fd, chunk.data(), chunk.size(), 0) <= 0) {
              return;
            }
            std::this_thread::sleep_for(milliseconds(50));
          }
        }) {}
  ~TrickleReader() {
    stop_.store(true);
    thread_.join();
  }
  TrickleReader(const TrickleReader&) = delete;
  TrickleReader& operator=(const TrickleReader&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

template <typename Condition>
bool WaitFor(Condition condition, milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

class FanoutStallTest : public ::testing::Test {
 protected:
  // The longest a dispatch may take: a key frame may wait this long for room in the queue of a
  // client that stopped reading, plus time for the scheduler on a loaded machine.
  const milliseconds kDispatchBound = TFrameSenderLinks{}.keyFrameWait + milliseconds(250);

  void SetUp() override {
    links_.fps = kFps;
    links_.byeActionPoster = &byes_;
    links_.log = log_.Sink();
    links_.requestKeyFrame = [this] { keyRequested_.store(true); };
    // A shorter write time-out than the default, so that a stalled client's end comes within a
    // few seconds; the stall itself still covers most of the run.
    platform::TTcpLimits limits;
    limits.writeTimeout = milliseconds(2000);
    server_ = std::make_unique<LoopbackServer>(links_, channels_, limits);
    ASSERT_TRUE(server_->Start());
    producer_ = std::make_unique<Producer>(stream_, channels_.GetOrCreateChannel(),
                                           server_->Manager(), keyRequested_);
  }
  void TearDown() override {
    for (auto& reader : readers_) reader->Stop();
    server_.reset();
  }

  // Connects the readers and binds their sessions; they play from StartReaders on.
  void ConnectReaders() {
    for (int i = 0; i < kReaders; ++i) {
      readers_.push_back(std::make_unique<RtpReader>(server_->Port()));
      ASSERT_TRUE(readers_.back()->Connected());
      readerSessions_.push_back(server_->WaitSession(readers_.back()->LocalPort()));
      ASSERT_NE(readerSessions_.back(), nullptr);
      readers_.back()->Start();
    }
  }
  void StartReaders() {
    for (const auto& session : readerSessions_) ASSERT_TRUE(session->StartStreaming());
  }
  // Dispatches unpaced until the session's sender has a full queue that stays full for a while:
  // its connection's buffers are full then, and its send thread waits on the client.
  bool FillQueueOf(const TBaseSession& session) {
    const auto full = [&] {
      return session.VideoSender().QueuedPackages() >= TFrameSender::kQueueCapacity;
    };
    for (int round = 0; round < 50; ++round) {
      for (int i = 0; i < 500 && !full(); ++i) producer_->DispatchOne();
      std::this_thread::sleep_for(milliseconds(100));
      if (full()) return true;
    }
    return false;
  }
  // Paced frames on a thread of their own, for at least minimum and until done() holds.
  template <typename Done>
  void Produce(milliseconds minimum, Done done) {
    std::thread producer([&] {
      const Clock::time_point start = Clock::now();
      producer_->Run([&] { return Clock::now() - start >= minimum && done(); },
                     start + minimum + std::chrono::seconds(10));
    });
    producer.join();
  }
  // Lets the readers take what was sent before the producer stopped, then ends them.
  void DrainReaders() {
    EXPECT_TRUE(WaitFor(
        [&] {
          return std::all_of(readerSessions_.begin(), readerSessions_.end(),
                             [](const auto& s) { return s->VideoSender().QueuedPackages() == 0; });
        },
        milliseconds(3000)));
    for (auto& reader : readers_) reader->Stop();
  }
  void ExpectReadersKeptTheRate() {
    const int slots = producer_->Slots();
    for (size_t i = 0; i < readers_.size(); ++i) {
      const RtpReader::Counts counts = readers_[i]->Result();
      EXPECT_FALSE(counts.framingBroken) << "reader " << i;
      EXPECT_EQ(counts.sequenceGaps, 0) << "reader " << i;
      EXPECT_GE(counts.frames * 10, slots * 9)
          << "reader " << i << " received " << counts.frames << " frames in " << slots
          << " frame slots; the producer dispatched " << producer_->Dispatched();
      EXPECT_FALSE(readerSessions_[i]->IsExpired()) << "reader " << i;
    }
    EXPECT_LE(producer_->Longest(), kDispatchBound);
  }

  ByeCollector byes_;
  LineLog log_;
  std::atomic<bool> keyRequested_{false};
  SyntheticStream stream_;
  TSessionLinks links_;
  TLiveChannelManager channels_{4};
  std::unique_ptr<LoopbackServer> server_;
  std::unique_ptr<Producer> producer_;
  std::vector<std::unique_ptr<RtpReader>> readers_;
  std::vector<std::shared_ptr<TBaseSession>> readerSessions_;
};

// The client never reads and keeps its connection open: its buffers and its queue fill, its
// writes time out, its session goes; the readers keep the frame rate all along.
TEST_F(FanoutStallTest, ClientThatStopsReadingCostsTheOthersNothing) {
  // A small receive window: the client's side of the buffers fills after a few packets.
  ClientSocket stalled(server_->Port(), 4096);
  ASSERT_TRUE(stalled.Connected());
  const auto stalledSession = server_->WaitSession(stalled.LocalPort());
  ASSERT_NE(stalledSession, nullptr);
  ASSERT_NO_FATAL_FAILURE(ConnectReaders());
  ASSERT_TRUE(stalledSession->StartStreaming());
  ASSERT_TRUE(FillQueueOf(*stalledSession));

  ASSERT_NO_FATAL_FAILURE(StartReaders());
  TLiveSessionManager& manager = server_->Manager();
  const auto gone = [&] {
    return manager.FindSessionByName(stalledSession->SessionName()) == nullptr;
  };
  // On until the stalled client's write time-out has removed its session.
  Produce(milliseconds(3000), gone);
  DrainReaders();

  EXPECT_TRUE(gone()) << "the stalled client's session is still registered";
  EXPECT_TRUE(stalledSession->VideoSender().Failed());
  EXPECT_EQ(channels_.GetOrCreateChannel().SessionCount(), static_cast<size_t>(kReaders));
  {
    // None when the channel removed the failed session before the connection reported its loss.
    const std::lock_guard guard(byes_.lock);
    EXPECT_LE(byes_.posted.size(), 1u);
    for (const ByeActionInfo& bye : byes_.posted)
      EXPECT_EQ(bye.connectionId, stalledSession->OwnerConnectionId());
  }
  ExpectReadersKeptTheRate();
}

// A client that reads, only far slower than the stream comes: its writes never time out, so its
// session stays for good, and with it a queue that is always full.
TEST_F(FanoutStallTest, SlowClientCostsTheOthersNothing) {
  ClientSocket slow(server_->Port(), 4096);
  ASSERT_TRUE(slow.Connected());
  const auto slowSession = server_->WaitSession(slow.LocalPort());
  ASSERT_NE(slowSession, nullptr);
  const TrickleReader trickle(slow);
  ASSERT_NO_FATAL_FAILURE(ConnectReaders());
  ASSERT_TRUE(slowSession->StartStreaming());
  ASSERT_TRUE(FillQueueOf(*slowSession));

  ASSERT_NO_FATAL_FAILURE(StartReaders());
  Produce(milliseconds(3000), [] { return true; });
  DrainReaders();

  EXPECT_EQ(server_->Manager().FindSessionByName(slowSession->SessionName()), slowSession)
      << "a client that keeps reading keeps its session";
  ExpectReadersKeptTheRate();
}

}  // namespace
