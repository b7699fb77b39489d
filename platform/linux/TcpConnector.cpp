#include "platform/TcpConnector.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// One attempt on one address: a non-blocking connect waited for with poll, so that an address
// that never answers costs no more than the time left. The socket goes back to blocking, as an
// accepted one is.
int ConnectOne(const addrinfo& address, std::chrono::steady_clock::time_point deadline,
               std::string& error) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd writable{fd, POLLOUT, 0};
    int ready = 0;
    do {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ready = ::poll(&writable, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    } while (ready < 0 && errno == EINTR);
    int failure = 0;
    socklen_t length = sizeof failure;
    if (ready == 0) {
      failure = ETIMEDOUT;
    } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
      failure = errno;
    }
    result = failure == 0 ? 0 : -1;
    errno = failure;
  }
  if (result != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

std::unique_ptr<TTcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                           std::chrono::milliseconds timeout, std::string& error,
                                           TTcpLimits limits) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0) {
    error = "cannot find " + host + ": " + ::gai_strerror(lookup);
    return nullptr;
  }
  error = "no address";
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int fd = ConnectOne(*address, deadline, error);
    if (fd >= 0) {
      ::freeaddrinfo(found);
      return std::make_unique<TTcpConnection>(fd, limits);
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  ::freeaddrinfo(found);
  return nullptr;
}

}  // namespace platform
