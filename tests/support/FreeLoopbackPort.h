// Free loopback ports for a server a test or fuzz target starts. Header-only, so that targets
// built without the test support library can use it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

// A TCP port on 127.0.0.1 that nothing listens on right now.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A port P with P and P + 1 both free for UDP at the time of the call, as an RTP/RTCP pair needs.
inline int FreeUdpPortPair() {
  const auto bindUdp = [](std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 &&
                       ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    return std::pair{fd, bound ? ntohs(address.sin_port) : std::uint16_t{0}};
  };
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto [first, port] = bindUdp(0);
    bool pair = false;
    if (port != 0 && port != 65535) {
      const auto [second, next] = bindUdp(static_cast<std::uint16_t>(port + 1));
      pair = next != 0;
      if (second >= 0) ::close(second);
    }
    if (first >= 0) ::close(first);
    if (pair) return port;
  }
  throw std::runtime_error("no free pair of UDP ports");
}
