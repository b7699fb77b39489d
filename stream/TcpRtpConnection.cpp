#include "TcpRtpConnection.h"

#include <utility>

bool TTcpRtpConnection::IsOpen() const {
  return connection_.IsOpen();
}

bool TTcpRtpConnection::WriteGathered(TBytePieces pieces) {
  return connection_.WriteAllGathered(pieces);
}

std::optional<size_t> TTcpRtpConnection::TryWriteGathered(TBytePieces pieces) {
  return connection_.TryWriteGathered(pieces);
}

bool TTcpRtpConnection::FinishGathered(TBytePieces pieces, size_t sent) {
  return connection_.FinishWriteGathered(pieces, sent);
}

void TTcpRtpConnection::SetDisconnectHandler(std::function<void()> handler) {
  connection_.SetDisconnectHandler(std::move(handler));
}
