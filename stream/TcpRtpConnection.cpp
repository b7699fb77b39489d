#include "TcpRtpConnection.h"

#include <utility>

bool TTcpRtpConnection::IsOpen() const {
  return connection_.IsOpen();
}

bool TTcpRtpConnection::WriteAll(std::span<const uint8_t> bytes) {
  return connection_.WriteAll(bytes);
}

void TTcpRtpConnection::SetDisconnectHandler(std::function<void()> handler) {
  connection_.SetDisconnectHandler(std::move(handler));
}
