// Puts one viewer's RTP headers (its own sequence numbers, time stamps and SSRC) in front of the
// payloads a frame shares with every other viewer, and sends the lot: interleaved on the client's
// RTSP connection as one gathered write per frame, or as one gathered datagram per packet. The
// shared payloads are never copied. It also keeps what the viewer's RTCP sender reports say: the
// packets and bytes sent and which RTP time goes with which moment.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "RtpFrame.h"
#include "RtpTransport.h"
#include "platform/Clock.h"

// A failure to get a frame out; the message ends up in the failure log line.
class TSendError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the RTP headers and the interleaved framing of one track say.
struct TRtpTrack {
  uint8_t payloadType = 96;
  uint8_t interleavedChannel = 0;
  int32_t timestampStep = 3600;
  // Audio travels only interleaved: the session has one client port.
  bool audio = false;
  // Frames with a capture time land on the RTP time of their capture slot, so that a slot no frame
  // was made for (a slow encode, a stall) leaves its gap. 0: every frame is one step on.
  int32_t framesPerSecond = 0;
  uint32_t clockRate = 90000;  // RTP clock ticks per second
};

class TRtpFrameWriter {
 public:
  // log: told of packets dropped on the way out, once per writer; must not throw. clock: the wall
  // clock of the reports and the clock capture times are taken on. cname: the reports' CNAME.
  TRtpFrameWriter(TRtpDatagramSender* datagramSender, uint32_t ssrc, uint32_t timestamp,
                  std::function<void(std::string_view)> log, const platform::TClock& clock,
                  std::string cname);
  TRtpFrameWriter(const TRtpFrameWriter&) = delete;
  TRtpFrameWriter& operator=(const TRtpFrameWriter&) = delete;

  // Only while nothing is being sent.
  void SetTrack(const TRtpTrack& track, uint32_t timestamp);
  const TRtpTrack& Track() const { return track_; }

  void SetDestination(std::string address, int32_t port);
  std::string DestAddress() const;
  int32_t DestPort() const;
  void SetSsrc(uint32_t ssrc) { ssrc_.store(ssrc, std::memory_order_relaxed); }
  void ResetSequence() { sequenceNumber_.store(0, std::memory_order_relaxed); }

  uint32_t Ssrc() const { return ssrc_.load(std::memory_order_relaxed); }
  uint32_t Timestamp() const { return timestamp_.load(std::memory_order_relaxed); }
  uint16_t SequenceNumber() const { return sequenceNumber_.load(std::memory_order_relaxed); }

  // Sends the frame's packets to the connection, or as datagrams without one; with dropOnly set
  // nothing goes out. Either way each packet takes a sequence number and a frame that ends moves
  // the clock on, unless sending fails: that throws TSendError. With report set, a sender report
  // follows the packets, in the same write when interleaved; returns whether one did. One thread
  // at a time.
  bool Send(const TRtpFrame& frame, TRtpConnection* connection, bool dropOnly, bool report = false);
  // As Send to an open connection, except that the write may not wait for room (see
  // TRtpConnection::TryWriteGathered): true when the frame went out whole; false when the rest is
  // owed, and FinishSend must send it before anything else goes out on this writer. Throws
  // TSendError as Send.
  bool SendWithoutWaiting(const TRtpFrame& frame, TRtpConnection& connection);
  // Sends what SendWithoutWaiting left owing, to the same connection, waiting as Send does; the
  // frame must still be alive. Nothing when nothing is owed.
  void FinishSend(TRtpConnection& connection);
  // A sender report on its own, with goodbye also the goodbye; nothing before a first packet went
  // out. Returns whether it went out. One thread at a time, as Send.
  bool SendReport(TRtpConnection* connection, bool goodbye);
  uint32_t PacketCount() const { return packetCount_.load(std::memory_order_relaxed); }
  uint32_t OctetCount() const { return octetCount_.load(std::memory_order_relaxed); }
  // The step a failure happened in, for the failure log line.
  const char* Stage() const { return stage_; }

 private:
  // The interleaved prefix and the RTP header of one packet.
  using THeader = std::array<uint8_t, 16>;

  std::span<const uint8_t> WriteHeader(const TRtpFrame& frame, size_t index, bool interleaved);
  void PlaceInTime(const TRtpFrame& frame);
  void Count(const TRtpFrame& frame, size_t packets);
  // Fills report_ (and its interleaved prefix) from what has been sent up to now.
  void BuildReport(bool goodbye);
  // The frame's packets (and the report) as pieces_ of one interleaved write; returns its size.
  size_t GatherInterleaved(const TRtpFrame& frame, bool report);
  // Moves the sequence numbers and the clock past a frame handed to the connection.
  void Advance(const TRtpFrame& frame);
  void SendDatagrams(const TRtpFrame& frame);
  bool SendReportDatagram(bool goodbye);
  int32_t CopyDestination();
  void DropOnce(std::string_view why);

  TRtpDatagramSender* const datagramSender_;
  const std::function<void(std::string_view)> log_;
  const platform::TClock& clock_;
  const std::string cname_;
  TRtpTrack track_;

  std::atomic<uint32_t> ssrc_;
  std::atomic<uint32_t> timestamp_;
  std::atomic<uint16_t> sequenceNumber_{0};
  std::atomic<uint32_t> packetCount_{0};
  std::atomic<uint32_t> octetCount_{0};

  mutable std::mutex destinationMutex_;
  std::string destAddress_;
  int32_t destPort_ = 0;

  // Sending thread only; kept between frames so that sending does not allocate once they grew.
  std::vector<THeader> headers_;
  std::vector<std::span<const uint8_t>> pieces_;
  std::vector<TBytePieces> datagrams_;
  std::string udpAddress_;
  bool dropLogged_ = false;
  // Bytes of pieces_ sent when SendWithoutWaiting left the rest owing.
  std::optional<size_t> owed_;
  const char* stage_ = "prepare";

  // Where frames sit on the RTP clock; sending thread only. A slot is one frame interval counted
  // from the first frame with a capture time, which got originTimestamp_.
  bool hasOrigin_ = false;
  bool midFrame_ = false;  // the last frame's package goes on in the next one
  int64_t originMicros_ = 0;
  uint32_t originTimestamp_ = 0;
  int64_t nextSlot_ = 0;  // the earliest slot the next frame may take
  // The RTP time of the last frame and when it was captured (or sent, without a capture time).
  bool sentAny_ = false;
  uint32_t lastFrameTimestamp_ = 0;
  int64_t lastFrameMicros_ = 0;
  std::array<uint8_t, 4> reportPrefix_{};
  std::vector<uint8_t> report_;
};
