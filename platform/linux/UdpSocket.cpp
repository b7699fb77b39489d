#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

std::string SystemErrorText(const char* what, int error) {
  std::string text = what;
  text += ": ";
  text += std::strerror(error);
  return text;
}

std::string AddressText(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return {};
  return text;
}

// Binds a fresh datagram socket to the port on the local address; -1 with errno set on failure.
// No SO_REUSEADDR: on a UDP socket it would let two programs share the port silently.
int BindDatagramSocket(const in_addr& local, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = local;
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace

TUdpSocket::TUdpSocket(std::uint16_t port, TDatagramHandler handler)
    : handler_(std::move(handler)), port_(port) {}

TUdpSocket::~TUdpSocket() {
  Close();
}

bool TUdpSocket::Open(const std::string& bindAddress) {
  std::lock_guard openClose(openCloseLock_);
  if (IsOpen()) return true;

  in_addr local{};
  local.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && ::inet_pton(AF_INET, bindAddress.c_str(), &local) != 1) {
    SetError("not an IPv4 address: \"" + bindAddress + "\"");
    return false;
  }
  const std::uint16_t port = Port();
  const int fd = BindDatagramSocket(local, port);
  if (fd < 0) {
    const int error = errno;
    const std::string where = bindAddress.empty() ? std::string() : " on " + bindAddress;
    SetError(SystemErrorText(("bind UDP port " + std::to_string(port) + where).c_str(), error));
    return false;
  }
  const int wakeup = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeup < 0) {
    const int error = errno;
    SetError(SystemErrorText("eventfd", error));
    ::close(fd);
    return false;
  }
  try {
    receiver_ = std::thread(&TUdpSocket::ReceiveLoop, this, fd, wakeup);
  } catch (const std::system_error& error) {
    SetError(std::string("start receive thread: ") + error.what());
    ::close(wakeup);
    ::close(fd);
    return false;
  }
  std::unique_lock lock(descriptorLock_);
  if (port_ == 0) port_ = BoundPort(fd);
  socket_ = fd;
  wakeup_ = wakeup;
  return true;
}

void TUdpSocket::Close() {
  std::lock_guard openClose(openCloseLock_);
  if (!receiver_.joinable()) return;
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot block or fail short unless the counter overflows, which a
  // single close never approaches.
  [[maybe_unused]] const ssize_t written = ::write(wakeup_, &one, sizeof one);
  // The descriptors stay valid while the thread ends, so a handler that answers through SendTo
  // meanwhile neither blocks this wait nor touches a released descriptor.
  receiver_.join();
  std::unique_lock lock(descriptorLock_);
  ::close(socket_);
  ::close(wakeup_);
  socket_ = -1;
  wakeup_ = -1;
}

bool TUdpSocket::IsOpen() const {
  std::shared_lock lock(descriptorLock_);
  return socket_ >= 0;
}

std::uint16_t TUdpSocket::Port() const {
  std::shared_lock lock(descriptorLock_);
  return port_;
}

std::string TUdpSocket::LastError() const {
  std::lock_guard lock(errorLock_);
  return lastError_;
}

void TUdpSocket::SetError(std::string text) const {
  std::lock_guard lock(errorLock_);
  lastError_ = std::move(text);
}

bool TUdpSocket::SendTo(const std::string& address, std::uint16_t port,
                        std::span<const std::uint8_t> bytes) {
  const std::span<const std::uint8_t> pieces[] = {bytes};
  return SendGatheredTo(address, port, pieces);
}

bool TUdpSocket::SendGatheredTo(const std::string& address, std::uint16_t port,
                                std::span<const std::span<const std::uint8_t>> pieces) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
    SetError("not an IPv4 address: \"" + address + "\"");
    return false;
  }
  // An RTP datagram is a header and a payload or two; anything longer is rare enough to allocate.
  std::array<iovec, 8> few;
  std::vector<iovec> many;
  iovec* vectors = few.data();
  if (pieces.size() > few.size()) {
    many.resize(pieces.size());
    vectors = many.data();
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    // iovec has no const; sendmsg only reads through it.
    vectors[i] = {const_cast<std::uint8_t*>(pieces[i].data()), pieces[i].size()};
  }
  msghdr message{};
  message.msg_name = &target;
  message.msg_namelen = sizeof target;
  message.msg_iov = vectors;
  message.msg_iovlen = pieces.size();
  std::shared_lock lock(descriptorLock_);
  if (socket_ < 0) {
    SetError("UDP socket not open");
    return false;
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
    if (sent >= 0) return true;
    const int error = errno;
    if (error == EINTR) continue;
    SetError(SystemErrorText("sendmsg", error));
    return false;
  }
}

void TUdpSocket::ReceiveLoop(int socket, int wakeup) {
  // The largest possible UDP payload, so that no datagram is cut short.
  std::array<std::uint8_t, 65536> buffer;
  for (;;) {
    std::array<pollfd, 2> waits{{{socket, POLLIN, 0}, {wakeup, POLLIN, 0}}};
    const int ready = ::poll(waits.data(), waits.size(), -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[1].revents != 0) return;
    if (waits[0].revents == 0) continue;

    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    const ssize_t received = ::recvfrom(socket, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // Errors queued on the socket (an ICMP report of an earlier send) are consumed by the
      // failed call; anything persistent must not turn this loop into a busy spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (!handler_) continue;
    try {
      handler_(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received)),
               AddressText(source.sin_addr), ntohs(source.sin_port));
    } catch (...) {
      // The handler's owner reports its own failures; one bad datagram must not end receiving.
    }
  }
}

}  // namespace platform
