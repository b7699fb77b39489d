#include "platform/TcpConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {
namespace {

using TSteadyClock = std::chrono::steady_clock;

TTcpEndpoint EndpointOf(const sockaddr_in& address) {
  TTcpEndpoint endpoint;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) != nullptr) {
    endpoint.address = text;
  }
  endpoint.port = ntohs(address.sin_port);
  return endpoint;
}

template <typename NameFunction>
TTcpEndpoint QueryEndpoint(int socket, NameFunction name) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (name(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return {};
  }
  return EndpointOf(address);
}

// Milliseconds left until the deadline, rounded up so that a wait never ends just before it.
int MillisecondsUntil(TSteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TSteadyClock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

}  // namespace

TTcpConnection::TTcpConnection(int socket, TTcpLimits limits) : socket_(socket), limits_(limits) {
  peer_ = QueryEndpoint(socket_, ::getpeername);
  local_ = QueryEndpoint(socket_, ::getsockname);
  // Every write is a complete unit (an answer, an RTP packet); holding a short one back until
  // the previous one is acknowledged would only add latency to the live stream.
  const int on = 1;
  ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

TTcpConnection::~TTcpConnection() {
  Close();
  ::close(socket_);
}

void TTcpConnection::Close() {
  // shutdown rather than close: other threads may be inside recv, send or poll on the
  // descriptor, and a closed descriptor number could be reused under them. shutdown wakes them
  // instead; the descriptor itself is released with the object.
  if (open_.exchange(false, std::memory_order_acq_rel)) ::shutdown(socket_, SHUT_RDWR);
}

void TTcpConnection::Fail(const std::string& message) {
  Close();
  throw TTcpError(message);
}

void TTcpConnection::Fill() {
  std::array<char, 8192> chunk;
  for (;;) {
    if (!IsOpen()) Fail("connection closed");
    if (readDeadline_) {
      pollfd readable{socket_, POLLIN, 0};
      const int ready = ::poll(&readable, 1, MillisecondsUntil(*readDeadline_));
      if (ready < 0 && errno != EINTR) Fail(std::string("wait for input: ") + std::strerror(errno));
      if (ready <= 0) {
        if (TSteadyClock::now() >= *readDeadline_) Fail("read time limit reached");
        continue;
      }
    }
    const ssize_t received = ::recv(socket_, chunk.data(), chunk.size(), 0);
    if (received > 0) {
      input_.append(chunk.data(), static_cast<std::size_t>(received));
      return;
    }
    if (received == 0) Fail(IsOpen() ? "connection closed by the peer" : "connection closed");
    const int error = errno;
    if (error == EINTR) continue;
    Fail(std::string("receive failed: ") + std::strerror(error));
  }
}

std::string TTcpConnection::ReadLine() {
  std::optional<std::string> line = TryReadLine();
  if (!line) Fail("line longer than " + std::to_string(limits_.maxLineLength) + " characters");
  return std::move(*line);
}

std::optional<std::string> TTcpConnection::TryReadLine() {
  std::size_t searchFrom = inputStart_;
  for (;;) {
    const std::size_t end = input_.find('\n', searchFrom);
    if (end != std::string::npos) {
      std::size_t length = end - inputStart_;
      if (length > 0 && input_[end - 1] == '\r') --length;
      if (length > limits_.maxLineLength) return std::nullopt;
      std::string line = input_.substr(inputStart_, length);
      inputStart_ = end + 1;
      if (inputStart_ == input_.size()) {
        input_.clear();
        inputStart_ = 0;
      }
      return line;
    }
    // One more character may be the carriage return of the line's end.
    if (input_.size() - inputStart_ > limits_.maxLineLength + 1) return std::nullopt;
    // Unread input moves to the front before the buffer grows, so it holds at most one line and
    // one chunk.
    if (inputStart_ > 0) {
      input_.erase(0, inputStart_);
      inputStart_ = 0;
    }
    searchFrom = input_.size();
    Fill();
  }
}

std::vector<std::uint8_t> TTcpConnection::ReadBytes(std::size_t count) {
  if (count > limits_.maxBlockLength) {
    Fail("block of " + std::to_string(count) + " bytes exceeds the limit of " +
         std::to_string(limits_.maxBlockLength));
  }
  // Grown as the bytes arrive, not reserved up front from the peer's announcement.
  std::vector<std::uint8_t> bytes;
  while (bytes.size() < count) {
    if (inputStart_ == input_.size()) {
      input_.clear();
      inputStart_ = 0;
      Fill();
    }
    const std::size_t take = std::min(count - bytes.size(), input_.size() - inputStart_);
    const auto* from = reinterpret_cast<const std::uint8_t*>(input_.data() + inputStart_);
    bytes.insert(bytes.end(), from, from + take);
    inputStart_ += take;
  }
  return bytes;
}

void TTcpConnection::DiscardInput() {
  input_.clear();
  inputStart_ = 0;
  std::array<char, 8192> chunk;
  // Bounded, so that a peer sending without pause cannot keep the caller here.
  for (int round = 0; round < 128 && IsOpen(); ++round) {
    const ssize_t received = ::recv(socket_, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (received > 0) continue;
    if (received < 0 && errno == EINTR) continue;
    if (received == 0) Close();
    return;
  }
}

bool TTcpConnection::WriteAll(std::string_view text) {
  return WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool TTcpConnection::WriteAll(std::span<const std::uint8_t> bytes) {
  const std::span<const std::uint8_t> pieces[] = {bytes};
  return WriteAllGathered(pieces);
}

bool TTcpConnection::WriteAllGathered(std::span<const std::span<const std::uint8_t>> pieces) {
  if (!IsOpen()) return false;
  const auto deadline = TSteadyClock::now() + limits_.writeTimeout;
  if (!TakeWriteTurn(deadline)) return false;
  std::size_t sent = 0;
  return EndWrite(SendAll(pieces, sent, deadline));
}

std::optional<std::size_t> TTcpConnection::TryWriteGathered(
    std::span<const std::span<const std::uint8_t>> pieces) {
  if (!IsOpen()) return std::nullopt;
  {
    std::lock_guard lock(writeTurnLock_);
    if (writing_) return 0;
    writing_ = true;
  }
  std::size_t sent = 0;
  // A deadline already passed: one look at the socket, no waiting.
  const TSendEnd end = SendAll(pieces, sent, TSteadyClock::time_point{});
  if (end == TSendEnd::Failed) {
    EndWrite(end);
    return std::nullopt;
  }
  if (end == TSendEnd::Sent || sent == 0) GiveWriteTurnBack();
  return sent;
}

bool TTcpConnection::FinishWriteGathered(std::span<const std::span<const std::uint8_t>> pieces,
                                         std::size_t sent) {
  // The turn is ours since the unit began, also when the connection closed meanwhile.
  return EndWrite(SendAll(pieces, sent, TSteadyClock::now() + limits_.writeTimeout));
}

bool TTcpConnection::EndWrite(TSendEnd end) {
  GiveWriteTurnBack();
  if (end == TSendEnd::Sent) return true;
  Close();
  return false;
}

bool TTcpConnection::TakeWriteTurn(TSteadyClock::time_point deadline) {
  std::unique_lock lock(writeTurnLock_);
  if (!writeTurnFree_.wait_until(lock, deadline, [this] { return !writing_; })) {
    // The writer ahead of this one is stuck on a peer that does not read.
    lock.unlock();
    Close();
    return false;
  }
  writing_ = true;
  return true;
}

void TTcpConnection::GiveWriteTurnBack() {
  {
    std::lock_guard lock(writeTurnLock_);
    writing_ = false;
  }
  writeTurnFree_.notify_one();
}

TTcpConnection::TSendEnd TTcpConnection::SendAll(
    std::span<const std::span<const std::uint8_t>> pieces, std::size_t& sent,
    TSteadyClock::time_point deadline) {
  // Up to this many pieces per system call (the usual IOV_MAX); a longer list takes several.
  constexpr std::size_t kMaxVectors = 1024;
  std::array<iovec, kMaxVectors> vectors;
  std::size_t next = 0;        // the first piece not completely sent
  std::size_t skipped = sent;  // bytes of that piece already sent
  while (next < pieces.size() && skipped >= pieces[next].size()) skipped -= pieces[next++].size();
  while (next < pieces.size()) {
    if (!IsOpen()) return TSendEnd::Failed;
    std::size_t count = 0;
    for (std::size_t i = next; i < pieces.size() && count < kMaxVectors; ++i) {
      const std::span<const std::uint8_t> piece =
          i == next ? pieces[i].subspan(skipped) : pieces[i];
      if (piece.empty()) continue;
      // iovec has no const; sendmsg only reads through it.
      vectors[count++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
    }
    if (count == 0) return TSendEnd::Sent;
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = count;
    // Non-blocking sends with a bounded wait in between, so that the time limit holds for the
    // whole unit, not only for each system call. MSG_NOSIGNAL: a peer that is gone must not end
    // the process with SIGPIPE.
    const ssize_t result = ::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (result >= 0) {
      auto taken = static_cast<std::size_t>(result);
      sent += taken;
      while (next < pieces.size() && taken >= pieces[next].size() - skipped) {
        taken -= pieces[next].size() - skipped;
        skipped = 0;
        ++next;
      }
      skipped += taken;
      continue;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return TSendEnd::Failed;
    const int wait = MillisecondsUntil(deadline);
    if (wait == 0) return TSendEnd::TimedOut;
    pollfd writable{socket_, POLLOUT, 0};
    if (::poll(&writable, 1, wait) < 0 && errno != EINTR) return TSendEnd::Failed;
  }
  return TSendEnd::Sent;
}

void TTcpConnection::SetDisconnectHandler(std::function<void()> handler) {
  std::lock_guard lock(disconnectLock_);
  disconnectHandler_ = std::move(handler);
}

void TTcpConnection::NotifyDisconnected() {
  std::lock_guard lock(disconnectLock_);
  if (disconnectNotified_) return;
  disconnectNotified_ = true;
  // Moved out first: the handler may replace itself while it runs. Run under the lock, so that
  // SetDisconnectHandler in another thread waits until it finished.
  const std::function<void()> handler = std::move(disconnectHandler_);
  disconnectHandler_ = nullptr;
  if (handler) handler();
}

}  // namespace platform
