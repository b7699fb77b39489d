#include "RtspUdpServer.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <shared_mutex>
#include <utility>

#include "log/ServiceLog.h"

namespace {

constexpr int kMaxPort = 65535;

bool IsValidPort(int port) {
  return port > 0 && port <= kMaxPort;
}

// A socket for a port outside the valid range is never opened; port 0 stands in for it.
std::uint16_t SocketPort(int port) {
  return IsValidPort(port) ? static_cast<std::uint16_t>(port) : std::uint16_t{0};
}

// RTCP packet types 200 (sender report) to 204 sit where an RTP packet has its marker bit and
// payload type; with the marker set our payload types 96 and 0 read 224 and 128.
bool IsRtcpPacket(TBytePieces pieces) {
  for (const std::span<const uint8_t> piece : pieces) {
    if (piece.size() >= 2) return piece[0] >> 6 == 2 && piece[1] >= 200 && piece[1] <= 204;
    if (!piece.empty()) return false;
  }
  return false;
}

// The listener slot. Receive threads call the listener while holding the lock shared, so that
// emptying the slot waits until no call of the old listener is left.
struct TListenerSlot {
  std::shared_mutex lock;
  TDatagramListener listener;
};

TListenerSlot& ListenerSlot() {
  // Never destroyed: receive threads may still consult it while the process exits.
  static TListenerSlot* const slot = new TListenerSlot;
  return *slot;
}

}  // namespace

TRTSPUDPServer::TRTSPUDPServer(int rtpPort, std::string bindAddress)
    : rtpPort_(rtpPort),
      // Out-of-range ports stay out of range instead of overflowing.
      rtcpPort_(rtpPort < kMaxPort ? rtpPort + 1 : kMaxPort + 1),
      // "0.0.0.0" is every address already; kept empty so the log and the socket agree.
      bindAddress_(bindAddress == "0.0.0.0" ? std::string() : std::move(bindAddress)),
      rtpSocket_(SocketPort(rtpPort),
                 [this](std::span<const std::uint8_t>, const std::string& address,
                        std::uint16_t port) { DatagramReceived(false, address, port); }),
      rtcpSocket_(SocketPort(RtcpPort()),
                  [this](std::span<const std::uint8_t>, const std::string& address,
                         std::uint16_t port) { DatagramReceived(true, address, port); }) {
  char line[64];
  std::snprintf(line, sizeof line, "server port=%d, rtcp port=%d", RtpPort(), RtcpPort());
  LogMessage(bindAddress_.empty() ? std::string(line) : line + (", address=" + bindAddress_));
}

TRTSPUDPServer::~TRTSPUDPServer() {
  rtpSocket_.Close();
  rtcpSocket_.Close();
}

bool TRTSPUDPServer::Activate() {
  std::lock_guard lock(activateLock_);
  if (!activated_) {
    activated_ = true;
    OpenSocket(rtpSocket_, RtpPort(), "rtp");
    OpenSocket(rtcpSocket_, RtcpPort(), "rtcp");
  }
  return rtpSocket_.IsOpen() && rtcpSocket_.IsOpen();
}

void TRTSPUDPServer::OpenSocket(platform::TUdpSocket& socket, int port, const char* name) {
  std::string error;
  if (!IsValidPort(port)) {
    error = "port " + std::to_string(port) + " out of range";
  } else if (!socket.Open(bindAddress_)) {
    error = socket.LastError();
  } else {
    return;
  }
  // Clients are still told this port; without their datagrams reaching it their UDP sessions
  // expire, and this line says why.
  LogMessage(std::string(name) + " socket open failed, e=" + error);
}

bool TRTSPUDPServer::SendDatagram(const std::string& address, uint16_t port,
                                  std::span<const uint8_t> bytes) {
  const std::span<const uint8_t> pieces[] = {bytes};
  return SendGathered(address, port, pieces);
}

bool TRTSPUDPServer::SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) {
  platform::TUdpSocket& socket = IsRtcpPacket(pieces) ? rtcpSocket_ : rtpSocket_;
  return socket.SendGatheredTo(address, port, pieces);
}

size_t TRTSPUDPServer::SendBatch(const std::string& address, uint16_t port,
                                 std::span<const TBytePieces> datagrams) {
  if (datagrams.empty()) return 0;
  // A batch is one frame's packets of one kind; its first tells which.
  platform::TUdpSocket& socket = IsRtcpPacket(datagrams.front()) ? rtcpSocket_ : rtpSocket_;
  return socket.SendBatchTo(address, port, datagrams);
}

void TRTSPUDPServer::SetDatagramListener(TDatagramListener listener) {
  TListenerSlot& slot = ListenerSlot();
  std::unique_lock lock(slot.lock);
  slot.listener = std::move(listener);
}

void TRTSPUDPServer::DatagramReceived(bool onRtcpSocket, const std::string& address,
                                      std::uint16_t port) {
  try {
    // RTCP comes from the port after the client's RTP port, which is what its session is
    // known by.
    const int sessionPort = onRtcpSocket ? port - 1 : port;
    TListenerSlot& slot = ListenerSlot();
    std::shared_lock lock(slot.lock);
    if (slot.listener) slot.listener(address, sessionPort);
  } catch (const std::exception& error) {
    LogMessage(std::string("rtcp server read failed, e=") + error.what());
  } catch (...) {
    LogMessage("rtcp server read failed, e=unknown error");
  }
}
