// The two UDP sockets of the UDP transport: the RTP socket every frame sender sends its datagrams
// from, and the RTCP socket beside it. A datagram a client sends to either one only tells that
// the client is still there; its contents are not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "RtpTransport.h"
#include "platform/UdpSocket.h"

// Told of each datagram's source address and the client's RTP port it stands for.
using TDatagramListener = std::function<void(const std::string& address, int port)>;

class TRTSPUDPServer final : public TRtpDatagramSender {
 public:
  // The RTP socket gets rtpPort, the RTCP socket the port after it, both on bindAddress (empty or
  // "0.0.0.0": every local address); nothing is bound before Activate. Ports and address stay as
  // given for the object's life.
  explicit TRTSPUDPServer(int rtpPort, std::string bindAddress = {});
  // Closes both sockets; returns once their receive threads have ended.
  ~TRTSPUDPServer() override;
  TRTSPUDPServer(const TRTSPUDPServer&) = delete;
  TRTSPUDPServer& operator=(const TRTSPUDPServer&) = delete;

  // The first call opens the RTP socket, then the RTCP socket; a socket that cannot be opened
  // (port in use) is logged and stays closed, and is not tried again during this object's life.
  // Every call returns whether both sockets are open.
  bool Activate();

  int RtpPort() const { return rtpPort_; }
  int RtcpPort() const { return rtcpPort_; }

  const std::string& BindAddress() const { return bindAddress_; }

  // Sends from the RTP socket, or an RTCP packet (sender report, goodbye) from the RTCP socket, so
  // that clients see it come from the port they were told for RTCP; told apart by the packet type
  // as with RTP and RTCP on one port, which our RTP payload types never resemble. False before a
  // successful activation or when the system refuses.
  bool SendDatagram(const std::string& address, uint16_t port, std::span<const uint8_t> bytes);
  bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) override;
  // From the socket the first datagram belongs on, in as few system calls as the system allows.
  size_t SendBatch(const std::string& address, uint16_t port,
                   std::span<const TBytePieces> datagrams) override;

  // Fills or (with an empty function) empties the process-wide listener slot, which outlives
  // every server object. The listener runs on the sockets' receive threads. Once this returns,
  // the listener it replaced is neither running nor called again, so its owner may go away; call
  // it therefore without holding a lock that the listener takes, and not from the listener.
  static void SetDatagramListener(TDatagramListener listener);

 private:
  void DatagramReceived(bool onRtcpSocket, const std::string& address, std::uint16_t port);
  void OpenSocket(platform::TUdpSocket& socket, int port, const char* name);

  const int rtpPort_;
  const int rtcpPort_;
  const std::string bindAddress_;
  platform::TUdpSocket rtpSocket_;
  platform::TUdpSocket rtcpSocket_;

  std::mutex activateLock_;  // a second SETUP waits for the first activation to finish
  bool activated_ = false;
};
