// The RTSP TCP connection of one client as its RTP senders see it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "RtpTransport.h"
#include "platform/TcpConnection.h"

class TTcpRtpConnection final : public TRtpConnection {
 public:
  // Refers to the connection, which must outlive this object.
  explicit TTcpRtpConnection(platform::TTcpConnection& connection) : connection_(connection) {}

  bool IsOpen() const override;
  // Fails within the connection's write time-out when the client stops reading, and closes the
  // connection then, which in turn ends it on its own thread with the disconnect notification.
  bool WriteGathered(TBytePieces pieces) override;
  std::optional<size_t> TryWriteGathered(TBytePieces pieces) override;
  bool FinishGathered(TBytePieces pieces, size_t sent) override;
  void SetDisconnectHandler(std::function<void()> handler) override;

  platform::TTcpConnection& Connection() const { return connection_; }

 private:
  platform::TTcpConnection& connection_;
};
