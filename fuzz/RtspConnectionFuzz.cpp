// Whatever a client sends on one RTSP connection: the bytes go over a real loopback connection to
// the real service with the program's method handlers, a session manager and a live channel; the
// client then closes its sending side and reads until the server has let the connection go. No
// screen and no encoder are involved: the key frame a PLAY asks for is a made-up one, handed to
// the live channel at once, so RTP leaves on the connection while answers do.
//
// The server must write nothing but whole answers and whole interleaved RTP units, end the
// connection once the input has ended, remove what the connection set up, and fail only for the
// reasons a client can cause.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "capture/FrameHeader.h"
#include "config/Settings.h"
#include "platform/Clock.h"
#include "rtsp/RtspMessageText.h"
#include "rtsp/RtspService.h"
#include "rtsp/RtspServlets.h"
#include "stream/ByeAction.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeDatagramSender.h"
#include "tests/support/FreeLoopbackPort.h"

namespace {

using TSteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Far below libFuzzer's -timeout, so that a connection the server does not end is reported as such
// rather than as a slow input.
constexpr auto kConnectionDeadline = 8s;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "rtsp_connection_fuzz: %s\n", what.c_str());
  std::abort();
}


// A key frame as the desktop encoder records it: frame header, then parameter sets and an IDR
// slice long enough to go out in fragments; one packet for each set and two for the slice.
constexpr std::uint16_t kKeyFramePackets = 4;
std::vector<std::uint8_t> MakeKeyFrameRecord() {
  std::vector<std::uint8_t> payload = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01, 0x40,  // SPS
                                       0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,                    // PPS
                                       0, 0, 0, 1, 0x65};  // IDR slice, its data below
  for (int i = 0; i < 2000; ++i) payload.push_back(static_cast<std::uint8_t>(0x80 | (i % 97)));
  TFrameHeader header = MakeFrameHeader(static_cast<std::uint8_t>(kEncodeTypeH264));
  SetEncodedFrame(header, {static_cast<std::int32_t>(payload.size()), 64, 48, true, 0});
  std::vector<std::uint8_t> record(kFrameHeaderSize + payload.size());
  WriteFrameHeader(header, record);
  std::copy(payload.begin(), payload.end(), record.begin() + kFrameHeaderSize);
  return record;
}

// The reasons a client can make the service give up on its connection; anything else it logs is a
// fault of the server.
bool ExpectedFailure(std::string_view reason) {
  static constexpr std::string_view kExpected[] = {
      "connection closed",  // the client's end of input, or the server's own close
      "receive failed: ",
      "line longer than ",
      "request head over ",
      "request body over ",
      "block of ",
      "bad Content-Length",
      "bad request line",
      "too many header fields",
      "request head too large",
      "RTSP ",  // "RTSP <status> response could not be written": the client stopped reading
  };
  return std::any_of(std::begin(kExpected), std::end(kExpected),
                     [reason](std::string_view prefix) { return reason.starts_with(prefix); });
}

class TBench {
 public:
  TBench() {
    sessionLinks_.fps = 25;
    sessionLinks_.clock = &clock_;
    sessionLinks_.byeActionPoster = &byes_;
    datagrams_.keep = false;  // one bench serves every input
    sessionLinks_.datagramSender = &datagrams_;
    sessionLinks_.log = [](std::string_view) {};
    sessionLinks_.requestKeyFrame = [this] { DispatchKeyFrame(); };
    sessionLinks_.serverRtpPort = [] { return 6554; };
    sessions_ = std::make_shared<TLiveSessionManager>(sessionLinks_, channels_);

    TRtspServletLinks servletLinks;
    servletLinks.sessions = [this] { return SessionManager(); };
    servletLinks.channel = [this] { return &channels_.GetOrCreateChannel(); };
    // Empty until DESCRIBE has waited for it once, so that both kinds of description are made.
    servletLinks.fmtpLine = [this] {
      return waitedForFmtp_.load()
                 ? std::string(
                       "a=fmtp:96 profile-level-id=420029; packetization-mode=1; "
                       "sprop-parameter-sets=Z0LAHtkDxWhAAAADAEAAAAwDxYuS,aMuMsg==")
                 : std::string();
    };
    servletLinks.udpEnabled = true;
    servletLinks.audioEnabled = true;
    servletLinks.clock = &clock_;
    servletLinks.log = [](std::string_view line) { CheckServletLine(line); };
    servletLinks.fmtpWait = 100ms;
    servletLinks.fmtpPollStep = 50ms;
    servletLinks.sleep = [this](std::chrono::milliseconds) { waitedForFmtp_.store(true); };

    TRtspServiceLinks links;
    links.sessions = [this] { return std::shared_ptr<TBaseSessionManager>(SessionManager()); };
    links.freeSessions = [] {};
    links.clock = &clock_;
    links.log = [this](std::string_view line) { ServiceLine(line); };
    // Short lines, so that inputs of a few kilobytes reach the line limit too.
    links.tcpLimits.maxLineLength = 1024;
    links.tcpLimits.maxBlockLength = 64 * 1024;
    links.tcpLimits.writeTimeout = 2s;
    links.listenAddress = "127.0.0.1";
    service_ = std::make_unique<TRTSPService>(MakeRtspServlets(servletLinks), std::move(links));
    for (int attempt = 0; attempt < 20 && !service_->IsActive(); ++attempt) {
      port_ = FreeLoopbackPort();
      service_->SetPort(port_);
      service_->SetActive(true);
    }
    if (!service_->IsActive()) Fail("the service found no port on 127.0.0.1");
  }

  void Run(std::string_view input) {
    waitedForFmtp_.store(false);
    keyFramesLeft_.store(3);
    const std::size_t disconnectsBefore = Disconnects();
    const auto deadline = TSteadyClock::now() + kConnectionDeadline;
    const std::string answers = Exchange(input, deadline);
    CheckAnswers(answers);
    // The connection thread reports the end before it removes the sessions bound to the
    // connection; both must have happened before the next input comes.
    {
      std::unique_lock lock(lock_);
      if (!changed_.wait_until(lock, deadline, [&] { return disconnects_ > disconnectsBefore; }))
        Fail("the service did not report the end of a connection the client had closed");
    }
    std::shared_ptr<TLiveSessionManager> used = SessionManager();
    for (;;) {
      const auto left = used->Sessions();
      if (std::none_of(left.begin(), left.end(),
                       [](const auto& session) { return session->Connection() != nullptr; })) {
        break;
      }
      if (TSteadyClock::now() > deadline) Fail("a session stayed bound to a closed connection");
      std::this_thread::sleep_for(1ms);
    }
    // Sessions over UDP outlive their RTSP connection until they time out. The next input starts
    // with a manager of its own, so that its session names do not depend on the inputs before.
    // The connection thread may still be letting go of the old one; nothing else may keep it.
    const std::weak_ptr<TLiveSessionManager> previous = used;
    {
      const std::lock_guard lock(lock_);
      sessions_ = std::make_shared<TLiveSessionManager>(sessionLinks_, channels_);
    }
    used.reset();
    while (!previous.expired()) {
      if (TSteadyClock::now() > deadline)
        Fail("the session manager of a closed connection is kept");
      std::this_thread::sleep_for(100us);
    }
  }

 private:
  // Hands a key frame to the channel on the asking thread, as the encoder would a moment later, and
  // waits until the running senders have sent it: what reaches the wire before the answer to the
  // PLAY then depends on the input alone, not on the threads' timing. A few per input, as each
  // costs the senders' time.
  void DispatchKeyFrame() {
    if (keyFramesLeft_.fetch_sub(1) <= 0) return;
    const std::shared_ptr<TLiveSessionManager> manager = SessionManager();
    std::vector<std::pair<std::shared_ptr<TBaseSession>, std::uint16_t>> sending;
    for (const auto& session : manager->Sessions()) {
      if (session->VideoSender().Running())
        sending.emplace_back(session, session->VideoSender().SequenceNumber());
    }
    channels_.GetOrCreateChannel().DispatchFrame(keyFrame_);
    const auto deadline = TSteadyClock::now() + 1s;
    for (const auto& [session, before] : sending) {
      const TFrameSender& sender = session->VideoSender();
      while (sender.Running() &&
             static_cast<std::uint16_t>(sender.SequenceNumber() - before) < kKeyFramePackets) {
        if (TSteadyClock::now() > deadline) return;
        std::this_thread::sleep_for(100us);
      }
    }
  }

  std::shared_ptr<TLiveSessionManager> SessionManager() const {
    const std::lock_guard lock(lock_);
    return sessions_;
  }

  // Sends the input while reading what comes back (the server answers while the client is still
  // sending), then closes the sending side and reads until the server closes.
  std::string Exchange(std::string_view input, TSteadyClock::time_point deadline) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) Fail("no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
      Fail("cannot connect to the service");
    }
    std::string answers;
    bool sending = true;
    for (;;) {
      if (sending && input.empty()) {
        ::shutdown(fd, SHUT_WR);
        sending = false;
      }
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - TSteadyClock::now());
      if (left.count() <= 0) Fail("the server kept the connection open after the input ended");
      pollfd events{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
      if (::poll(&events, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
        Fail("poll failed");
      if (sending && (events.revents & (POLLOUT | POLLERR | POLLHUP))) {
        const ssize_t sent = ::send(fd, input.data(), input.size(), MSG_NOSIGNAL);
        if (sent > 0) {
          input.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
          // The server closed the connection before it took everything: a refused request.
          sending = false;
        }
      }
      if (events.revents & (POLLIN | POLLERR | POLLHUP)) {
        char chunk[8192];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
          answers.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          break;  // closed by the server, or reset because it left input unread
        }
      }
    }
    ::close(fd);
    return answers;
  }

  // Every byte the server wrote belongs to a complete response (status line, header fields, blank
  // line, and exactly the body its Content-Length announced) or to an interleaved unit of video
  // RTP or of its RTCP (a compound packet starting with a sender report). A reset connection may
  // cut the last one short.
  static void CheckAnswers(std::string_view answers) {
    while (!answers.empty()) {
      if (answers.front() == '$') {
        if (answers.size() < 4) return;
        const std::size_t length = static_cast<std::size_t>(static_cast<std::uint8_t>(answers[2]))
                                       << 8 |
                                   static_cast<std::uint8_t>(answers[3]);
        if (answers[1] != 0 && answers[1] != 1)
          Fail("interleaved unit on another channel than video's");
        if (answers.size() < 4 + length) return;
        if (answers[1] == 1 && (length < 28 || static_cast<std::uint8_t>(answers[4]) != 0x80 ||
                                static_cast<std::uint8_t>(answers[5]) != 200)) {
          Fail("interleaved unit on the RTCP channel holds no sender report");
        }
        if (answers[1] == 0 && (length < 13 || static_cast<std::uint8_t>(answers[4]) != 0x80 ||
                                (static_cast<std::uint8_t>(answers[5]) & 0x7F) != 96)) {
          Fail("interleaved unit holds no video RTP packet");
        }
        answers.remove_prefix(4 + length);
        continue;
      }
      if (!answers.starts_with("RTSP/1.0 ")) Fail("answer does not start with a status line");
      const std::size_t headEnd = answers.find("\r\n\r\n");
      if (headEnd == std::string_view::npos) return;
      const std::string_view head = answers.substr(0, headEnd + 2);
      for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) Fail("bare LF in an answer");
        if (head[i] == '\r' && head[i + 1] != '\n') Fail("bare CR in an answer");
      }
      std::size_t body = 0;
      const std::vector<std::string> lines = SplitRtspLines(head);
      const std::string& status = lines.front();
      if (status.size() < 13 || status[12] != ' ' ||
          !std::all_of(status.begin() + 9, status.begin() + 12,
                       [](char c) { return c >= '0' && c <= '9'; })) {
        Fail("malformed status line: " + status);
      }
      for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(": ");
        if (colon == std::string::npos) Fail("header line without a name: " + lines[i]);
        if (lines[i].starts_with("Content-Length: ")) {
          const auto length = ParseRtspInteger(std::string_view(lines[i]).substr(colon + 2));
          if (!length || *length <= 0) Fail("bad Content-Length in an answer: " + lines[i]);
          body = static_cast<std::size_t>(*length);
        }
      }
      if (answers.size() < headEnd + 4 + body) return;
      answers.remove_prefix(headEnd + 4 + body);
    }
  }

  std::size_t Disconnects() const {
    const std::lock_guard lock(lock_);
    return disconnects_;
  }

  void ServiceLine(std::string_view line) {
    constexpr std::string_view kFailed = "service excute failed, e=";
    if (line.starts_with(kFailed) && !ExpectedFailure(line.substr(kFailed.size())))
      Fail("unexpected failure: " + std::string(line));
    if (line.find(" execute failed, e=") != std::string_view::npos &&
        line.find("could not be written") == std::string_view::npos) {
      Fail("a handler failed: " + std::string(line));
    }
    if (line.find(" execute sent no response") != std::string_view::npos)
      Fail("a handler did not answer: " + std::string(line));
    if (line.starts_with("disconnect from")) {
      {
        const std::lock_guard lock(lock_);
        ++disconnects_;
      }
      changed_.notify_all();
    }
  }

  static void CheckServletLine(std::string_view line) {
    if (line.starts_with("create session failed") || line.starts_with("start streaming failed"))
      Fail("handler could not serve a well-formed request: " + std::string(line));
  }

  FakeClock clock_;
  ByeCollector byes_;
  FakeDatagramSender datagrams_;
  const std::vector<std::uint8_t> keyFrame_ = MakeKeyFrameRecord();
  std::atomic<int> keyFramesLeft_{0};
  TLiveChannelManager channels_{4};
  TSessionLinks sessionLinks_;
  std::shared_ptr<TLiveSessionManager> sessions_;  // guarded by lock_
  std::atomic<bool> waitedForFmtp_{false};
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::size_t disconnects_ = 0;
  std::uint16_t port_ = 0;
  // Last: its connection threads use everything above.
  std::unique_ptr<TRTSPService> service_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Never destroyed: libFuzzer ends the process from its own threads' exit paths.
  static TBench* const bench = new TBench;
  bench->Run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
