#include "RtpFrameWriter.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

constexpr uint8_t kRtpVersion2 = 0x80;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kInterleavedMagic = 0x24;  // '$'
constexpr size_t kRtpHeaderSize = 12;
constexpr size_t kInterleavedPrefixSize = 4;

void PutBE(uint8_t* at, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    at[bytes - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

TRtpFrameWriter::TRtpFrameWriter(TRtpDatagramSender* datagramSender, uint32_t ssrc,
                                 uint32_t timestamp, std::function<void(std::string_view)> log)
    : datagramSender_(datagramSender), log_(std::move(log)), ssrc_(ssrc), timestamp_(timestamp) {}

void TRtpFrameWriter::SetTrack(const TRtpTrack& track, uint32_t timestamp) {
  track_ = track;
  timestamp_.store(timestamp, std::memory_order_relaxed);
}

void TRtpFrameWriter::SetDestination(std::string address, int32_t port) {
  const std::lock_guard lock(destinationMutex_);
  destAddress_ = std::move(address);
  destPort_ = port;
}

std::string TRtpFrameWriter::DestAddress() const {
  const std::lock_guard lock(destinationMutex_);
  return destAddress_;
}

int32_t TRtpFrameWriter::DestPort() const {
  const std::lock_guard lock(destinationMutex_);
  return destPort_;
}

void TRtpFrameWriter::Send(const TRtpFrame& frame, TRtpConnection* connection, bool dropOnly) {
  stage_ = "prepare";
  if (!dropOnly && frame.PacketCount() > 0) {
    if (connection) {
      // A closed connection reports its loss and stops the sender; falling back to UDP towards a
      // client that asked for interleaved transport would only send packets nobody reads.
      if (connection->IsOpen()) {
        SendInterleaved(frame, *connection);
      } else {
        DropOnce("connection closed, drop");
      }
    } else if (track_.audio) {
      DropOnce("audio without connection, drop");
    } else {
      SendDatagrams(frame);
    }
  }
  sequenceNumber_.fetch_add(static_cast<uint16_t>(frame.PacketCount()), std::memory_order_relaxed);
  if (frame.AdvancesClock()) {
    timestamp_.fetch_add(static_cast<uint32_t>(track_.timestampStep), std::memory_order_relaxed);
  }
}

std::span<const uint8_t> TRtpFrameWriter::WriteHeader(const TRtpFrame& frame, size_t index,
                                                      bool interleaved) {
  THeader& header = headers_[index];
  const size_t payloadSize = frame.Prefix(index).size() + frame.Body(index).size();
  header[0] = kInterleavedMagic;
  header[1] = track_.interleavedChannel;
  PutBE(&header[2], static_cast<uint32_t>(kRtpHeaderSize + payloadSize), 2);
  header[4] = kRtpVersion2;
  header[5] = frame.Marker(index) ? static_cast<uint8_t>(track_.payloadType | kMarkerBit)
                                  : track_.payloadType;
  const auto sequence =
      static_cast<uint16_t>(sequenceNumber_.load(std::memory_order_relaxed) + index);
  PutBE(&header[6], sequence, 2);
  PutBE(&header[8], timestamp_.load(std::memory_order_relaxed), 4);
  PutBE(&header[12], ssrc_.load(std::memory_order_relaxed), 4);
  const std::span<const uint8_t> whole(header);
  return interleaved ? whole : whole.subspan(kInterleavedPrefixSize);
}

void TRtpFrameWriter::SendInterleaved(const TRtpFrame& frame, TRtpConnection& connection) {
  const size_t count = frame.PacketCount();
  headers_.resize(std::max(headers_.size(), count));
  pieces_.clear();
  for (size_t i = 0; i < count; ++i) {
    pieces_.push_back(WriteHeader(frame, i, true));
    if (!frame.Prefix(i).empty()) pieces_.push_back(frame.Prefix(i));
    pieces_.push_back(frame.Body(i));
  }
  // The whole frame as one write: fewer system calls, and no RTSP answer between its packets.
  stage_ = "send buffer-->write data";
  if (!connection.WriteGathered(pieces_)) throw TSendError("connection write failed");
}

void TRtpFrameWriter::SendDatagrams(const TRtpFrame& frame) {
  stage_ = "send buffer-->send datagram";
  if (!datagramSender_) throw TSendError("no rtp socket");
  int32_t port = 0;
  {
    const std::lock_guard lock(destinationMutex_);
    udpAddress_ = destAddress_;  // reuses the copy's storage: no allocation per frame
    port = destPort_;
  }
  if (port < 1 || port > UINT16_MAX) {
    throw TSendError("invalid destination port " + std::to_string(port));
  }
  const size_t count = frame.PacketCount();
  headers_.resize(std::max(headers_.size(), count));
  for (size_t i = 0; i < count; ++i) {
    pieces_.clear();
    pieces_.push_back(WriteHeader(frame, i, false));
    if (!frame.Prefix(i).empty()) pieces_.push_back(frame.Prefix(i));
    pieces_.push_back(frame.Body(i));
    if (!datagramSender_->SendGathered(udpAddress_, static_cast<uint16_t>(port), pieces_)) {
      // The datagrams that went out keep their sequence numbers.
      sequenceNumber_.fetch_add(static_cast<uint16_t>(i), std::memory_order_relaxed);
      throw TSendError("datagram to " + udpAddress_ + ":" + std::to_string(port) + " not sent");
    }
  }
}

void TRtpFrameWriter::DropOnce(std::string_view why) {
  if (!std::exchange(dropLogged_, true)) log_(why);
}
