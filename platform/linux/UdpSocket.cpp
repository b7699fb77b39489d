#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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
// SO_REUSEADDR only when asked: on a UDP socket it lets two programs share the port silently.
// IP_PKTINFO always, so that each datagram tells the local address it reached.
int BindDatagramSocket(const in_addr& local, std::uint16_t port, bool sharePort) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = local;
  address.sin_port = htons(port);
  if ((sharePort && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
      ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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
    : TUdpSocket(port,
                 handler ? TDatagramArrivalHandler(
                               [handler = std::move(handler)](std::span<const std::uint8_t> bytes,
                                                              const TDatagramArrival& arrival) {
                                 handler(bytes, arrival.address, arrival.port);
                               })
                         : TDatagramArrivalHandler(),
                 TUdpSocketOptions{}) {}

TUdpSocket::TUdpSocket(std::uint16_t port, TDatagramArrivalHandler handler,
                       TUdpSocketOptions options)
    : handler_(std::move(handler)), options_(options), port_(port) {}

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
  const int fd = BindDatagramSocket(local, port, options_.sharePort);
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
  return Send({}, address, port, pieces);
}

bool TUdpSocket::SendGatheredTo(const std::string& address, std::uint16_t port,
                                std::span<const std::span<const std::uint8_t>> pieces) {
  return Send({}, address, port, pieces);
}

bool TUdpSocket::SendFrom(const std::string& localAddress, const std::string& address,
                          std::uint16_t port, std::span<const std::uint8_t> bytes) {
  const std::span<const std::uint8_t> pieces[] = {bytes};
  return Send(localAddress, address, port, pieces);
}

bool TUdpSocket::Send(const std::string& localAddress, const std::string& address,
                      std::uint16_t port, std::span<const std::span<const std::uint8_t>> pieces) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
    SetError("not an IPv4 address: \"" + address + "\"");
    return false;
  }
  // The source address travels with the datagram rather than as a socket option, so that
  // threads sending from different addresses at once cannot mix them up; for a multicast
  // destination the system then picks the interface that holds it.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  in_pktinfo source{};
  if (!localAddress.empty() &&
      ::inet_pton(AF_INET, localAddress.c_str(), &source.ipi_spec_dst) != 1) {
    SetError("not an IPv4 address: \"" + localAddress + "\"");
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
  if (!localAddress.empty()) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof source);
    std::memcpy(CMSG_DATA(header), &source, sizeof source);
  }
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

std::size_t TUdpSocket::SendBatchTo(const std::string& address, std::uint16_t port,
                                    std::span<const TDatagramPieces> datagrams) {
  if (datagrams.empty()) return 0;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
    SetError("not an IPv4 address: \"" + address + "\"");
    return 0;
  }
  // Each sending thread keeps its own headers and vectors: senders run on threads of their own,
  // and once the first frames grew them, a batch allocates nothing.
  thread_local std::vector<mmsghdr> messages;
  thread_local std::vector<iovec> vectors;
  std::size_t pieceCount = 0;
  for (const TDatagramPieces pieces : datagrams) pieceCount += pieces.size();
  messages.resize(std::max(messages.size(), datagrams.size()));
  vectors.resize(std::max(vectors.size(), pieceCount));
  std::size_t nextVector = 0;
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    iovec* first = vectors.data() + nextVector;
    for (const std::span<const std::uint8_t> piece : datagrams[i]) {
      // iovec has no const; sendmmsg only reads through it.
      vectors[nextVector++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
    }
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &target;
    messages[i].msg_hdr.msg_namelen = sizeof target;
    messages[i].msg_hdr.msg_iov = first;
    messages[i].msg_hdr.msg_iovlen = datagrams[i].size();
  }
  std::shared_lock lock(descriptorLock_);
  if (socket_ < 0) {
    SetError("UDP socket not open");
    return 0;
  }
  // The system takes at most UIO_MAXIOV messages per call.
  constexpr std::size_t kMaxMessages = 1024;
  std::size_t sent = 0;
  while (sent < datagrams.size()) {
    const auto count = static_cast<unsigned>(std::min(datagrams.size() - sent, kMaxMessages));
    const int result = ::sendmmsg(socket_, messages.data() + sent, count, MSG_NOSIGNAL);
    if (result > 0) {
      sent += static_cast<std::size_t>(result);
    } else if (result < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  // The rest one by one: the first refusal then names the datagram it belongs to, and those
  // behind a datagram the batch alone stumbled on still go out.
  for (; sent < datagrams.size(); ++sent) {
    ssize_t result = -1;
    do {
      result = ::sendmsg(socket_, &messages[sent].msg_hdr, MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
      SetError(SystemErrorText("sendmsg", errno));
      break;
    }
  }
  return sent;
}

bool TUdpSocket::JoinMulticastGroup(const std::string& group, const std::string& interfaceAddress) {
  ip_mreq membership{};
  if (::inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr) != 1 ||
      ::inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1) {
    SetError("not an IPv4 group and interface address: \"" + group + "\" on \"" + interfaceAddress +
             "\"");
    return false;
  }
  std::shared_lock lock(descriptorLock_);
  if (socket_ < 0) {
    SetError("UDP socket not open");
    return false;
  }
  // Without this the system hands the socket every group any socket of the machine joined.
  const int off = 0;
  if (::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
      ::setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    const int error = errno;
    SetError(SystemErrorText(("join " + group + " on " + interfaceAddress).c_str(), error));
    return false;
  }
  return true;
}

void TUdpSocket::ReceiveLoop(int socket, int wakeup) {
  // The largest possible UDP payload, so that no datagram is cut short unless asked.
  std::array<std::uint8_t, 65536> buffer;
  const std::size_t readable =
      std::min(buffer.size(), std::max<std::size_t>(options_.maxDatagram, 1));
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control;
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
    iovec vector{buffer.data(), readable};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t received = ::recvmsg(socket, &message, MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // Errors queued on the socket (an ICMP report of an earlier send) are consumed by the
      // failed call; anything persistent must not turn this loop into a busy spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (!handler_) continue;
    TDatagramArrival arrival;
    arrival.address = AddressText(source.sin_addr);
    arrival.port = ntohs(source.sin_port);
    arrival.cut = (message.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(header), sizeof info);
      arrival.localAddress = AddressText(info.ipi_spec_dst);
      arrival.interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
    }
    try {
      handler_(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received)),
               arrival);
    } catch (...) {
      // The handler's owner reports its own failures; one bad datagram must not end receiving.
    }
  }
}

}  // namespace platform
