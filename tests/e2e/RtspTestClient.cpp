#include "RtspTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

RtspTestClient::RtspTestClient(int port, int localPort) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(localPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool bound =
      localPort == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || !bound ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
    throw std::runtime_error("cannot connect to the RTSP port");
  }
}

RtspTestClient::~RtspTestClient() {
  Close();
}

void RtspTestClient::Close(bool reset) {
  const linger abrupt{1, 0};
  if (fd_ >= 0 && reset) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RtspTestClient::ReadSome(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  closed_ = closed_ || n <= 0;
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

size_t RtspTestClient::Drain(int ms) {
  size_t total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const size_t before = buffer_.size();
    if (!ReadSome(50)) continue;
    total += buffer_.size() - before;
    buffer_.clear();
  }
  return total;
}

std::vector<RtspTestClient::Unit> RtspTestClient::Collect(int ms) {
  std::vector<Unit> units;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ReadSome(50)) continue;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    size_t at = 0;
    while (buffer_.size() - at >= 4 && buffer_[at] == '$') {
      const size_t length = size_t{static_cast<uint8_t>(buffer_[at + 2])} << 8 |
                            static_cast<uint8_t>(buffer_[at + 3]);
      if (buffer_.size() - at < 4 + length) break;
      const auto* bytes = reinterpret_cast<const uint8_t*>(buffer_.data() + at + 4);
      units.push_back({buffer_[at + 1],
                       {bytes, bytes + length},
                       std::chrono::duration_cast<std::chrono::microseconds>(now).count()});
      at += 4 + length;
    }
    buffer_.erase(0, at);
  }
  return units;
}

bool RtspTestClient::WaitClosed(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!closed_ && std::chrono::steady_clock::now() < deadline) ReadSome(50);
  return closed_;
}

RtspAnswer RtspTestClient::Request(const std::string& method, const std::string& url,
                                   const std::string& extraHeaders) {
  return Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
              "\r\nUser-Agent: vistrel-e2e\r\n" + extraHeaders + "\r\n");
}

RtspAnswer RtspTestClient::Send(const std::string& request) {
  const std::string method = request.substr(0, std::min<size_t>(request.find(' '), 40));
  if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    throw std::runtime_error("cannot send " + method);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    // Interleaved packets ("$", channel, 16-bit length) may stand before the answer.
    while (!buffer_.empty() && buffer_[0] == '$' && buffer_.size() >= 4) {
      const size_t length = static_cast<size_t>(static_cast<uint8_t>(buffer_[2])) << 8 |
                            static_cast<uint8_t>(buffer_[3]);
      if (buffer_.size() < 4 + length) break;
      buffer_.erase(0, 4 + length);
    }
    const size_t end = buffer_.find("\r\n\r\n");
    if (!buffer_.empty() && buffer_[0] != '$' && end != std::string::npos) {
      RtspAnswer answer;
      answer.head = buffer_.substr(0, end + 2);
      const std::string length = answer.Header("Content-Length");
      const size_t bodyLength = length.empty() ? 0 : std::strtoul(length.c_str(), nullptr, 10);
      if (buffer_.size() >= end + 4 + bodyLength) {
        answer.body = buffer_.substr(end + 4, bodyLength);
        buffer_.erase(0, end + 4 + bodyLength);
        answer.status = std::atoi(answer.head.substr(9, 3).c_str());
        return answer;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("no answer to " + method);
    }
    if (!ReadSome(100) && closed_)
      throw std::runtime_error("connection closed, no answer to " + method);
  }
}

std::string RtspAnswer::Header(const std::string& name) const {
  const std::string key = "\r\n" + name + ":";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  size_t start = at + key.size();
  while (start < head.size() && head[start] == ' ') ++start;
  return head.substr(start, head.find("\r\n", start) - start);
}
