// Whatever clients send on a few RTSP connections at once: the bytes go over real loopback
// connections to the real service with the program's method handlers, a session manager and a live
// channel; the clients then close their sending sides and read until the server has let every
// connection go. No screen and no encoder are involved: the key frame a PLAY asks for is a made-up
// one, handed to the live channel at once, so RTP leaves on the connection while answers do.
//
// Markers in the input let one client reach for another's session: "@C<n>" sends what follows on
// connection n (0-2; a new one once it has ended), "@E<n>" ends connection n and waits until the
// server has let it go, "@W" waits until the answers have come, and "@S<k>" stands for the k-th
// session name the server has handed out on any connection.
//
// The server must write nothing but whole answers and whole interleaved RTP units, end every
// connection once its input has ended, fail only for the reasons a client can cause, let a session
// be used only from its owner's connection (or taken over once that has gone), keep each connection
// within its limit of sessions, and leave no session bound to or owned by a connection that ended.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
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
#include "stream/BaseSessionManager.h"
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
// Connections a marker may select, and how many one input may open in all.
constexpr std::size_t kSlots = 3;
constexpr std::size_t kMaxConnections = 8;
// Answers quiet for this long are taken as all there is for now; waited for this many times an
// input at most, so that an input full of markers stays quick.
constexpr auto kQuietWait = 10ms;
constexpr int kQuietWaits = 4;

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
    clients_.reserve(kMaxConnections);  // the slots point into it
    quietWaitsLeft_ = kQuietWaits;
    setupSent_ = false;
    deadline_ = TSteadyClock::now() + kConnectionDeadline;
    Exchange(input);
    for (const TClient& client : clients_) ::close(client.fd);
    // Freed within the run that made them, so that libFuzzer sees no memory kept from one input to
    // the next and runs no leak check for it.
    clients_ = {};
    names_ = {};
    lastOwner_ = {};
    std::shared_ptr<TLiveSessionManager> used = SessionManager();
    for (;;) {
      const auto left = used->Sessions();
      if (std::none_of(left.begin(), left.end(), [](const auto& session) {
            return session->Connection() != nullptr || session->OwnerConnectionId() != 0;
          })) {
        break;
      }
      if (TSteadyClock::now() > deadline_)
        Fail("a session stayed bound to, or owned by, a closed connection");
      std::this_thread::sleep_for(1ms);
    }
    // Sessions over UDP outlive their RTSP connection until they time out. The next input starts
    // with a manager of its own, so that its sessions do not count against the inputs after.
    // The connection thread may still be letting go of the old one; nothing else may keep it.
    const std::weak_ptr<TLiveSessionManager> previous = used;
    {
      const std::lock_guard lock(lock_);
      sessions_ = std::make_shared<TLiveSessionManager>(sessionLinks_, channels_);
      gonePorts_ = {};
    }
    used.reset();
    while (!previous.expired()) {
      if (TSteadyClock::now() > deadline_)
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

  struct TClient {
    int fd = -1;
    std::uint16_t port = 0;  // the client's own: the service logs a connection's end by it
    bool sending = true;
    bool reading = true;   // until the server has closed the connection
    std::string unread;    // what came back and is not a whole answer or unit yet
    std::uint64_t id = 0;  // the service's Id of the connection, once an answer has told it
  };

  // Splits the input at its markers and sends each piece on its connection, reading what comes
  // back on every connection meanwhile (the server answers while clients are still sending); then
  // ends the connections one after another.
  void Exchange(std::string_view input) {
    std::array<TClient*, kSlots> slots{};
    std::size_t slot = 0;
    std::string piece;
    const auto flush = [&] {
      // Only a SETUP hands out names; one written in another case is not waited for.
      setupSent_ = setupSent_ || piece.find("SETUP") != std::string::npos;
      if (!piece.empty() && (!slots[slot] || !slots[slot]->sending) &&
          clients_.size() < kMaxConnections) {
        slots[slot] = &Connect();
      }
      while (!piece.empty() && slots[slot] && slots[slot]->sending)
        Pump(kConnectionDeadline, slots[slot], &piece);
      piece.clear();
    };
    for (std::size_t i = 0; i < input.size(); ++i) {
      const std::string_view marker = input.substr(i, 3);
      const char kind = marker.size() > 1 && marker[0] == '@' ? marker[1] : '\0';
      const auto number = static_cast<std::size_t>(marker.size() > 2 ? marker[2] - '0' : -1);
      if (kind != 'W' && ((kind != 'C' && kind != 'E' && kind != 'S') || number > 9)) {
        piece += input[i];
        continue;
      }
      flush();
      i += kind == 'W' ? 1 : 2;
      if (kind == 'W' || (kind == 'S' && number >= names_.size() && setupSent_))
        AwaitQuiet(kind == 'S' ? number : SIZE_MAX);
      if (kind == 'C') slot = number % kSlots;
      if (kind == 'E' && slots[number % kSlots]) Finish(*slots[number % kSlots]);
      if (kind == 'S') piece = names_.empty() ? marker : names_[number % names_.size()];
    }
    flush();
    for (TClient& client : clients_) Finish(client);
  }

  TClient& Connect() {
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
    // Kept open until the input is done, so that no later connection of the input has its port.
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      Fail("no local address");
    return clients_.emplace_back(TClient{.fd = fd, .port = ntohs(address.sin_port)});
  }

  // Ends the client's sending side and waits until the server has let the connection go, so that
  // what is sent next meets its sessions without their owner.
  void Finish(TClient& client) {
    if (client.sending) ::shutdown(client.fd, SHUT_WR);
    client.sending = false;
    while (client.reading) Pump(kConnectionDeadline);
    std::unique_lock lock(lock_);
    if (!changed_.wait_until(lock, deadline_, [&] { return GoneLocked(client); }))
      Fail("the service did not report the end of a connection the client had closed");
  }

  // Reads until the answers have been quiet for kQuietWait (a few times an input, so that an input
  // of markers stays quick), or until the k-th session name has come.
  void AwaitQuiet(std::size_t k) {
    if (quietWaitsLeft_ == 0) return;
    --quietWaitsLeft_;
    while (names_.size() <= k) {
      if (!Pump(kQuietWait)) {
        setupSent_ = false;
        return;
      }
    }
  }

  // Waits up to `wait` for something to read on any connection, or for room to send `out` on
  // `writer`; reads and sends what it can. Whether anything was read.
  bool Pump(std::chrono::milliseconds wait, TClient* writer = nullptr, std::string* out = nullptr) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - TSteadyClock::now());
    if (left.count() <= 0) Fail("the server stopped reading, or kept a connection open at the end");
    std::vector<pollfd> events;
    for (const TClient& client : clients_) {
      events.push_back({client.reading ? client.fd : -1,
                        static_cast<short>(POLLIN | (&client == writer ? POLLOUT : 0)), 0});
    }
    if (::poll(events.data(), events.size(), static_cast<int>(std::min(wait, left).count())) < 0 &&
        errno != EINTR) {
      Fail("poll failed");
    }
    bool read = false;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      TClient& client = clients_[i];
      if (&client == writer && client.sending &&
          (events[i].revents & (POLLOUT | POLLERR | POLLHUP))) {
        const ssize_t sent = ::send(client.fd, out->data(), out->size(), MSG_NOSIGNAL);
        if (sent > 0) {
          out->erase(0, static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
          client.sending = false;  // closed before it took everything: a refused request
        }
      }
      if (events[i].revents & (POLLIN | POLLERR | POLLHUP)) {
        char chunk[8192];
        const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got > 0) {
          client.unread.append(chunk, static_cast<std::size_t>(got));
          client.unread.erase(0, CheckAnswers(client.unread, client));
          read = true;
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          // Closed by the server, or reset because it left input unread.
          client.reading = client.sending = false;
        }
      }
    }
    if (read) CheckSessions();
    return read;
  }

  // Every byte the server wrote belongs to a complete response (status line, header fields, blank
  // line, and exactly the body its Content-Length announced) or to an interleaved unit of video
  // RTP or of its RTCP (a compound packet starting with a sender report). Returns how many bytes
  // were whole; a reset connection may cut the last one short.
  std::size_t CheckAnswers(std::string_view answers, TClient& client) {
    const std::size_t size = answers.size();
    while (!answers.empty()) {
      if (answers.front() == '$') {
        if (answers.size() < 4) break;
        const std::size_t length = static_cast<std::size_t>(static_cast<std::uint8_t>(answers[2]))
                                       << 8 |
                                   static_cast<std::uint8_t>(answers[3]);
        if (answers[1] != 0 && answers[1] != 1)
          Fail("interleaved unit on another channel than video's");
        if (answers.size() < 4 + length) break;
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
      if (headEnd == std::string_view::npos) break;
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
      if (answers.size() < headEnd + 4 + body) break;
      answers.remove_prefix(headEnd + 4 + body);
      OnAnswer(lines, client);
    }
    return size - answers.size();
  }

  // An answer naming a session tells that its connection set the session up or was let use it:
  // while that connection is open, the session is its own and no other's.
  void OnAnswer(const std::vector<std::string>& lines, TClient& client) {
    std::string name;
    for (const std::string& line : lines) {
      if (line.starts_with("Session: ")) name = SessionNameOf(std::string_view(line).substr(9));
    }
    if (name.empty()) return;
    if (std::find(names_.begin(), names_.end(), name) == names_.end()) names_.push_back(name);
    const auto session = SessionManager()->FindSessionByName(name);
    if (!session) return;  // torn down since
    const std::uint64_t owner = session->OwnerConnectionId();
    // Asked after the owner was read: a connection that has gone may have left it to another.
    if (Gone(client)) return;
    const TClient* const other = OpenClientWith(owner);
    if (owner == 0 || (client.id != 0 && client.id != owner) || (other && other != &client))
      Fail("a connection was answered with a session it does not own: " + lines.front());
    client.id = owner;
  }

  // A session changes owner only once its owner's connection has gone; no connection owns more
  // sessions than its share, nor the server more than its limit.
  void CheckSessions() {
    const TSessionLimits limits;
    const auto sessions = SessionManager()->Sessions();
    if (sessions.size() > limits.total) Fail("more sessions than the server's limit");
    std::map<std::uint64_t, std::size_t> owned;
    for (const auto& session : sessions) {
      const std::uint64_t owner = session->OwnerConnectionId();
      if (owner != 0 && ++owned[owner] > limits.perConnection)
        Fail("a connection owns more sessions than its limit");
      std::uint64_t& last = lastOwner_[session->SessionName()];
      if (owner != last && OpenClientWith(last))
        Fail("a session changed owner while its owner's connection was open");
      last = owner;
    }
  }

  // Whether the service has reported the connection's end: from then on its sessions are no
  // longer its own.
  bool Gone(const TClient& client) const {
    const std::lock_guard lock(lock_);
    return GoneLocked(client);
  }
  bool GoneLocked(const TClient& client) const {
    return std::find(gonePorts_.begin(), gonePorts_.end(), client.port) != gonePorts_.end();
  }

  const TClient* OpenClientWith(std::uint64_t id) const {
    for (const TClient& client : clients_) {
      if (id != 0 && client.id == id && !Gone(client)) return &client;
    }
    return nullptr;
  }

  void ServiceLine(std::string_view line) {
    constexpr std::string_view kFailed = "service excute failed, e=";
    if (line.starts_with(kFailed) && !ExpectedFailure(line.substr(kFailed.size())))
      Fail("unexpected failure: " + std::string(line));
    // "<handler> execute ...": anchored after the first word, as other lines quote what was sent.
    const std::string_view afterName = line.substr(std::min(line.find(' '), line.size()));
    if (afterName.starts_with(" execute failed, e=") &&
        afterName.find("could not be written") == std::string_view::npos) {
      Fail("a handler failed: " + std::string(line));
    }
    if (afterName == " execute sent no response")
      Fail("a handler did not answer: " + std::string(line));
    if (line.starts_with("disconnect from ")) {
      // "disconnect from 127.0.0.1:<port>"
      if (const auto port = ParseRtspInteger(line.substr(line.rfind(':') + 1))) {
        const std::lock_guard lock(lock_);
        gonePorts_.push_back(*port);
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
  std::vector<std::int32_t> gonePorts_;  // client ports whose end was reported; guarded by lock_
  // Of the input being run, on the fuzzing thread only.
  std::vector<TClient> clients_;
  std::vector<std::string> names_;                  // the session names handed out, in order
  std::map<std::string, std::uint64_t> lastOwner_;  // each session's owner when last looked at
  int quietWaitsLeft_ = 0;
  bool setupSent_ = false;
  TSteadyClock::time_point deadline_;
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
