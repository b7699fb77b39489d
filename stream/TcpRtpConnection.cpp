#include "TcpRtpConnection.h"

#include <utility>

bool TTcpRtpConnection::IsOpen() const {
  return connection_.IsOpen();
}

bool TTcpRtpConnection::WriteGathered(TBytePieces pieces) {
  return connection_.WriteAllGathered(pieces);
}

void TTcpRtpConnection::SetDisconnectHandler(std::function<void()> handler) {
  connection_.SetDisconnectHandler(std::move(handler));
}
