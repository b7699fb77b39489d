// A bench for the RTSP service: a service on 127.0.0.1 with handlers that record what reaches
// them, a real session manager on fake links, and a plain socket client that reads answers with
// bounded waits.
#pragma once

#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FreeLoopbackPort.h"
#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "rtsp/RtspHeaderList.h"
#include "rtsp/RtspRequestContext.h"
#include "rtsp/RtspService.h"
#include "stream/ByeAction.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"

namespace service_test {

using namespace std::chrono_literals;
using TMilliseconds = std::chrono::milliseconds;


// Waits until count lines starting with prefix have been logged.
inline bool WaitForLine(const LineLog& log, std::string_view prefix, size_t count = 1,
                        TMilliseconds timeout = 5000ms) {
  return WaitUntil([&] { return log.Count(prefix) >= count; }, timeout);
}

// What one handler saw of one request.
struct TSeenRequest {
  std::string servlet;
  std::string method;
  std::string uri;
  std::vector<std::string> body;
  int32_t cseq = 0;
  // Only compared, never followed: the connection belongs to the server's thread.
  const TRtpConnection* connection = nullptr;
  bool connectionOpen = false;
  std::string peerAddress;
  int32_t peerPort = 0;
};

class RequestRecorder {
 public:
  void Add(TSeenRequest seen) {
    const std::lock_guard guard(lock_);
    seen_.push_back(std::move(seen));
  }
  std::vector<TSeenRequest> Seen() const {
    const std::lock_guard guard(lock_);
    return seen_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<TSeenRequest> seen_;
};

// Answers 200 unless given an action of its own.
class RecordingServlet : public TRtspServlet {
 public:
  using TAction = std::function<void(TRtspContext&)>;
  RecordingServlet(std::string name, RequestRecorder& recorder, TAction action)
      : name_(std::move(name)), recorder_(recorder), action_(std::move(action)) {}
  std::string GetName() const override { return name_; }
  void Execute(TRtspContext& context) override {
    const TRtspRequest& request = context.Request();
    recorder_.Add({name_, request.Method(), request.Uri(), request.Content(), request.GetCSeq(),
                   context.Connection(),
                   context.Connection() != nullptr && context.Connection()->IsOpen(),
                   context.PeerAddress(), context.PeerPort()});
    if (action_) {
      action_(context);
    } else {
      context.SendResponse(kRtspOk);
    }
  }

 private:
  const std::string name_;
  RequestRecorder& recorder_;
  const TAction action_;
};

struct TResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case, values trimmed
  std::string body;
  std::string Header(std::string name) const {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

inline std::string Request(std::string_view method, int cseq, std::string_view extra = {}) {
  return std::string(method) + " rtsp://127.0.0.1/live RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\n" + std::string(extra) + "\r\n";
}

// A client on a plain socket, so that it can send what no RTSP library would.
class TestClient {
 public:
  explicit TestClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 &&
                 ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  uint16_t LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
  }

  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  // The next answer; interleaved frames in front of it are counted and skipped. Nothing when the
  // connection ends or the time is up first.
  std::optional<TResponse> ReadResponse(TMilliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (!buffer_.empty() && buffer_[0] == '$') {
        if (buffer_.size() < 4) {
          if (!Fill(deadline)) return std::nullopt;
          continue;
        }
        const size_t length = static_cast<size_t>(static_cast<unsigned char>(buffer_[2])) << 8 |
                              static_cast<unsigned char>(buffer_[3]);
        if (buffer_.size() < 4 + length) {
          if (!Fill(deadline)) return std::nullopt;
          continue;
        }
        buffer_.erase(0, 4 + length);
        ++framesSeen_;
        continue;
      }
      const size_t end = buffer_.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (!Fill(deadline)) return std::nullopt;
        continue;
      }
      TResponse response = ParseHead(buffer_.substr(0, end));
      const size_t length =
          static_cast<size_t>(std::atoi(response.Header("Content-Length").c_str()));
      while (buffer_.size() < end + 4 + length) {
        if (!Fill(deadline)) return std::nullopt;
      }
      response.body = buffer_.substr(end + 4, length);
      buffer_.erase(0, end + 4 + length);
      return response;
    }
  }

  // True once the server has closed the connection; whatever arrives before is dropped.
  bool WaitClosed(TMilliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Fill(deadline)) buffer_.clear();
    return closedByPeer_;
  }

  // Reads for a while and tells whether interleaved data arrived.
  size_t FramesSeen() const { return framesSeen_; }

 private:
  static TResponse ParseHead(const std::string& head) {
    TResponse response;
    size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
      size_t end = head.find("\r\n", start);
      if (end == std::string::npos) end = head.size();
      const std::string line = head.substr(start, end - start);
      start = end + 2;
      if (first) {
        first = false;
        if (line.starts_with("RTSP/1.0 ")) response.status = std::atoi(line.c_str() + 9);
        continue;
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      response.headers.emplace(name, line.substr(value));
    }
    return response;
  }

  // Waits for more bytes; false on the end of the connection or of the time.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0 || closedByPeer_) return false;
    const auto left =
        std::chrono::duration_cast<TMilliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd readable{fd_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
      closedByPeer_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closedByPeer_ = false;
  std::string buffer_;
  size_t framesSeen_ = 0;
};

// The service with one recording handler per method of the program, a session manager whose
// sessions talk only to fakes, and its log kept in memory.
class ServiceBench {
 public:
  using TActions = std::map<std::string, RecordingServlet::TAction>;

  explicit ServiceBench(TActions actions = {}, platform::TTcpLimits limits = {},
                        TMilliseconds firstRequestLimit = 10000ms,
                        std::function<TRtspCredentials()> credentials = {},
                        TMilliseconds idleLimit = 60000ms) {
    TSessionLinks sessionLinks;
    sessionLinks.fps = 25;
    sessionLinks.clock = &clock;
    sessionLinks.byeActionPoster = &byes;
    sessionLinks.log = sessionLog.Sink();
    sessionLinks.requestKeyFrame = [] {};
    sessionLinks.serverRtpPort = [] { return 6554; };
    sessions = std::make_shared<TLiveSessionManager>(sessionLinks, channels);

    std::vector<std::unique_ptr<TRtspServlet>> servlets;
    for (const char* name : {"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN"}) {
      servlets.push_back(std::make_unique<RecordingServlet>(name, recorder, actions[name]));
    }
    TRtspServiceLinks links;
    links.sessions = [this] { return std::shared_ptr<TBaseSessionManager>(sessions); };
    links.freeSessions = [this] {
      disconnectsBeforeFree = log.Count("disconnect from");
      ++freeSessionsCalls;
    };
    links.clock = &clock;
    links.log = log.Sink();
    links.tcpLimits = limits;
    links.firstRequestLimit = firstRequestLimit;
    links.listenAddress = "127.0.0.1";
    links.credentials = std::move(credentials);
    links.idleLimit = idleLimit;
    links.idleCheckInterval = std::min(idleLimit / 4, TMilliseconds(1000));
    service = std::make_unique<TRTSPService>(std::move(servlets), std::move(links));
  }
  ~ServiceBench() { service.reset(); }

  // Activates on a free port of 127.0.0.1; 0 when none could be had.
  uint16_t Start() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      const uint16_t port = FreeLoopbackPort();
      service->SetPort(port);
      service->SetActive(true);
      if (service->IsActive()) return port;
    }
    return 0;
  }

  FakeClock clock;
  ByeCollector byes;
  LineLog log;
  LineLog sessionLog;
  RequestRecorder recorder;
  std::atomic<int> freeSessionsCalls{0};
  std::atomic<size_t> disconnectsBeforeFree{0};
  TLiveChannelManager channels{4};
  std::shared_ptr<TLiveSessionManager> sessions;
  std::unique_ptr<TRTSPService> service;
};

}  // namespace service_test
