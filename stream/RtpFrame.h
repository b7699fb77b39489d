// One frame of one track cut into RTP payloads, made once and shared by every viewer's sender. The
// payloads are not copied: each packet names a piece of the frame package's bytes, with the FU-A
// indicator and header (when fragmented) kept beside it, so senders gather them straight from the
// package behind their own RTP headers. Immutable once made, so any number of send threads read it
// at once; the last holder gives the package reference up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/FramePackage.h"

class TRtpFrame {
 public:
  struct TPacket {
    size_t bodyOffset = 0;  // in the package's bytes
    size_t bodyLength = 0;
    std::array<uint8_t, 2> prefix{};  // FU indicator and FU header of a fragment
    uint8_t prefixLength = 0;
    bool marker = false;
  };

  // Takes a reference to package of its own, held until the frame is destroyed.
  TRtpFrame(TFramePackage& package, std::vector<TPacket> packets, bool advancesClock);
  ~TRtpFrame();
  TRtpFrame(const TRtpFrame&) = delete;
  TRtpFrame& operator=(const TRtpFrame&) = delete;

  size_t PacketCount() const noexcept { return packets_.size(); }
  const TPacket& Packet(size_t index) const { return packets_[index]; }
  // The payload of one packet is its prefix followed by its body.
  std::span<const uint8_t> Prefix(size_t index) const {
    return std::span(packets_[index].prefix).first(packets_[index].prefixLength);
  }
  std::span<const uint8_t> Body(size_t index) const {
    return {package_.Data() + packets_[index].bodyOffset, packets_[index].bodyLength};
  }
  bool Marker(size_t index) const { return packets_[index].marker; }
  // Whether the track's RTP clock moves on by one frame once this frame has gone out.
  bool AdvancesClock() const noexcept { return advancesClock_; }
  // The package the payloads point into, with its kind and capture time.
  const TFramePackage& Package() const noexcept { return package_; }

 private:
  TFramePackage& package_;
  const std::vector<TPacket> packets_;
  const bool advancesClock_;
};
