// Puts one viewer's RTP headers (its own sequence numbers, time stamps and SSRC) in front of the
// payloads a frame shares with every other viewer, and sends the lot: interleaved on the client's
// RTSP connection as one gathered write per frame, or as one gathered datagram per packet. The
// shared payloads are never copied.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "RtpFrame.h"
#include "RtpTransport.h"

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
};

class TRtpFrameWriter {
 public:
  // log: told of packets dropped on the way out, once per writer; must not throw.
  TRtpFrameWriter(TRtpDatagramSender* datagramSender, uint32_t ssrc, uint32_t timestamp,
                  std::function<void(std::string_view)> log);
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
  // the clock on, unless sending fails: that throws TSendError. One thread at a time.
  void Send(const TRtpFrame& frame, TRtpConnection* connection, bool dropOnly);
  // The step a failure happened in, for the failure log line.
  const char* Stage() const { return stage_; }

 private:
  // The interleaved prefix and the RTP header of one packet.
  using THeader = std::array<uint8_t, 16>;

  std::span<const uint8_t> WriteHeader(const TRtpFrame& frame, size_t index, bool interleaved);
  void SendInterleaved(const TRtpFrame& frame, TRtpConnection& connection);
  void SendDatagrams(const TRtpFrame& frame);
  void DropOnce(std::string_view why);

  TRtpDatagramSender* const datagramSender_;
  const std::function<void(std::string_view)> log_;
  TRtpTrack track_;

  std::atomic<uint32_t> ssrc_;
  std::atomic<uint32_t> timestamp_;
  std::atomic<uint16_t> sequenceNumber_{0};

  mutable std::mutex destinationMutex_;
  std::string destAddress_;
  int32_t destPort_ = 0;

  // Sending thread only; kept between frames so that sending does not allocate once they grew.
  std::vector<THeader> headers_;
  std::vector<std::span<const uint8_t>> pieces_;
  std::string udpAddress_;
  bool dropLogged_ = false;
  const char* stage_ = "prepare";
};
