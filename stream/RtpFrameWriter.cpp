#include "RtpFrameWriter.h"

#include <algorithm>
#include <string>
#include <utility>

#include "RtcpSenderReport.h"

namespace {

constexpr uint8_t kRtpVersion2 = 0x80;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kInterleavedMagic = 0x24;  // '$'
constexpr size_t kRtpHeaderSize = 12;
constexpr size_t kInterleavedPrefixSize = 4;
constexpr int64_t kMicrosPerSecond = 1'000'000;

void PutBE(uint8_t* at, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    at[bytes - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

TRtpFrameWriter::TRtpFrameWriter(TRtpDatagramSender* datagramSender, uint32_t ssrc,
                                 uint32_t timestamp, std::function<void(std::string_view)> log,
                                 const platform::TClock& clock, std::string cname)
    : datagramSender_(datagramSender),
      log_(std::move(log)),
      clock_(clock),
      cname_(std::move(cname)),
      ssrc_(ssrc),
      timestamp_(timestamp) {}

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

bool TRtpFrameWriter::Send(const TRtpFrame& frame, TRtpConnection* connection, bool dropOnly,
                           bool report) {
  stage_ = "prepare";
  PlaceInTime(frame);
  bool reported = false;
  if (!dropOnly && frame.PacketCount() > 0) {
    if (connection) {
      // A closed connection reports its loss and stops the sender; falling back to UDP towards a
      // client that asked for interleaved transport would only send packets nobody reads.
      if (connection->IsOpen()) {
        GatherInterleaved(frame, report);
        // The whole frame as one write: fewer system calls, and no RTSP answer between its
        // packets.
        if (!connection->WriteGathered(pieces_)) throw TSendError("connection write failed");
        reported = report;
      } else {
        DropOnce("connection closed, drop");
      }
    } else if (track_.audio) {
      DropOnce("audio without connection, drop");
    } else {
      SendDatagrams(frame);
      reported = report && SendReportDatagram(false);
    }
  }
  Advance(frame);
  return reported;
}

bool TRtpFrameWriter::SendWithoutWaiting(const TRtpFrame& frame, TRtpConnection& connection) {
  stage_ = "prepare";
  PlaceInTime(frame);
  if (frame.PacketCount() > 0 && !connection.IsOpen()) {
    DropOnce("connection closed, drop");
  } else if (frame.PacketCount() > 0) {
    const size_t size = GatherInterleaved(frame, false);
    const std::optional<size_t> sent = connection.TryWriteGathered(pieces_);
    if (!sent) throw TSendError("connection write failed");
    if (*sent < size) owed_ = *sent;
  }
  Advance(frame);
  return !owed_;
}

void TRtpFrameWriter::FinishSend(TRtpConnection& connection) {
  if (!owed_) return;
  const size_t sent = *std::exchange(owed_, std::nullopt);
  stage_ = "send buffer-->write data";
  // Nothing sent yet: the write never began and waits for its turn like any other.
  const bool done =
      sent == 0 ? connection.WriteGathered(pieces_) : connection.FinishGathered(pieces_, sent);
  if (!done) throw TSendError("connection write failed");
}

void TRtpFrameWriter::Advance(const TRtpFrame& frame) {
  sequenceNumber_.fetch_add(static_cast<uint16_t>(frame.PacketCount()), std::memory_order_relaxed);
  midFrame_ = !frame.AdvancesClock();
  if (frame.AdvancesClock()) {
    timestamp_.fetch_add(static_cast<uint32_t>(track_.timestampStep), std::memory_order_relaxed);
    ++nextSlot_;
  }
}

void TRtpFrameWriter::PlaceInTime(const TRtpFrame& frame) {
  const int64_t captured = frame.Package().CapturedMicros;
  if (midFrame_) return;  // the rest of a frame keeps the frame's time
  if (captured != 0 && track_.framesPerSecond > 0) {
    if (!hasOrigin_) {
      hasOrigin_ = true;
      originMicros_ = captured;
      originTimestamp_ = timestamp_.load(std::memory_order_relaxed);
      nextSlot_ = 0;
    }
    // The nearest slot to the capture time; never one already taken, so that two frames made in
    // one slot (a late one and the next on time) still get distinct, rising times.
    const int64_t elapsed = std::max<int64_t>(captured - originMicros_, 0);
    const int64_t slot = std::max(
        nextSlot_, (elapsed * track_.framesPerSecond + kMicrosPerSecond / 2) / kMicrosPerSecond);
    nextSlot_ = slot;
    // The RTP clock wraps at 2^32, and so does the offset.
    const auto offset = static_cast<uint32_t>(static_cast<uint64_t>(slot * track_.timestampStep));
    timestamp_.store(originTimestamp_ + offset, std::memory_order_relaxed);
  }
  lastFrameTimestamp_ = timestamp_.load(std::memory_order_relaxed);
  lastFrameMicros_ = captured != 0 ? captured : clock_.MonotonicMicros();
}

void TRtpFrameWriter::Count(const TRtpFrame& frame, size_t packets) {
  uint32_t octets = 0;
  for (size_t i = 0; i < packets; ++i) {
    octets += static_cast<uint32_t>(frame.Prefix(i).size() + frame.Body(i).size());
  }
  packetCount_.fetch_add(static_cast<uint32_t>(packets), std::memory_order_relaxed);
  octetCount_.fetch_add(octets, std::memory_order_relaxed);
  sentAny_ = sentAny_ || packets > 0;
}

void TRtpFrameWriter::BuildReport(bool goodbye) {
  stage_ = "build sender report";
  // The RTP time of this moment: the last frame's time plus what has passed since its capture.
  const int64_t now = clock_.MonotonicMicros();
  const int64_t since = std::max<int64_t>(now - lastFrameMicros_, 0);
  const auto ticks =
      static_cast<uint32_t>(static_cast<uint64_t>(since) * track_.clockRate / kMicrosPerSecond);
  TRtcpSenderReport::Build({.ssrc = Ssrc(),
                            .utcMicros = clock_.UtcMicroseconds(),
                            .rtpTimestamp = lastFrameTimestamp_ + ticks,
                            .packetCount = PacketCount(),
                            .octetCount = OctetCount()},
                           cname_, goodbye, report_);
  reportPrefix_[0] = kInterleavedMagic;
  reportPrefix_[1] = static_cast<uint8_t>(track_.interleavedChannel + 1);  // RTCP: the odd one
  PutBE(&reportPrefix_[2], static_cast<uint32_t>(report_.size()), 2);
}

bool TRtpFrameWriter::SendReport(TRtpConnection* connection, bool goodbye) {
  if (!sentAny_) return false;
  if (connection) {
    if (!connection->IsOpen()) return false;
    BuildReport(goodbye);
    const std::span<const uint8_t> pieces[] = {reportPrefix_, report_};
    return connection->WriteGathered(pieces);
  }
  return !track_.audio && SendReportDatagram(goodbye);
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

size_t TRtpFrameWriter::GatherInterleaved(const TRtpFrame& frame, bool report) {
  const size_t count = frame.PacketCount();
  headers_.resize(std::max(headers_.size(), count));
  pieces_.clear();
  for (size_t i = 0; i < count; ++i) {
    pieces_.push_back(WriteHeader(frame, i, true));
    if (!frame.Prefix(i).empty()) pieces_.push_back(frame.Prefix(i));
    pieces_.push_back(frame.Body(i));
  }
  Count(frame, count);
  if (report) {
    BuildReport(false);
    pieces_.push_back(reportPrefix_);
    pieces_.push_back(report_);
  }
  stage_ = "send buffer-->write data";
  size_t size = 0;
  for (const std::span<const uint8_t> piece : pieces_) size += piece.size();
  return size;
}

int32_t TRtpFrameWriter::CopyDestination() {
  const std::lock_guard lock(destinationMutex_);
  udpAddress_ = destAddress_;  // reuses the copy's storage: no allocation per frame
  return destPort_;
}

bool TRtpFrameWriter::SendReportDatagram(bool goodbye) {
  // RTCP goes to the port after the client's RTP port, the one its SETUP named for it.
  const int32_t port = CopyDestination() + 1;
  if (!datagramSender_ || port < 2 || port > UINT16_MAX) return false;
  BuildReport(goodbye);
  const std::span<const uint8_t> pieces[] = {report_};
  return datagramSender_->SendGathered(udpAddress_, static_cast<uint16_t>(port), pieces);
}

void TRtpFrameWriter::SendDatagrams(const TRtpFrame& frame) {
  stage_ = "send buffer-->send datagram";
  if (!datagramSender_) throw TSendError("no rtp socket");
  const int32_t port = CopyDestination();
  if (port < 1 || port > UINT16_MAX) {
    throw TSendError("invalid destination port " + std::to_string(port));
  }
  const size_t count = frame.PacketCount();
  headers_.resize(std::max(headers_.size(), count));
  pieces_.clear();
  for (size_t i = 0; i < count; ++i) {
    pieces_.push_back(WriteHeader(frame, i, false));
    if (!frame.Prefix(i).empty()) pieces_.push_back(frame.Prefix(i));
    pieces_.push_back(frame.Body(i));
  }
  // Cut only once every piece is in: growing pieces_ moves them.
  datagrams_.clear();
  const std::span<const std::span<const uint8_t>> all(pieces_);
  for (size_t i = 0, at = 0; i < count; ++i) {
    const size_t size = frame.Prefix(i).empty() ? 2 : 3;
    datagrams_.push_back(all.subspan(at, size));
    at += size;
  }
  // The whole frame in one batch: one system call per frame rather than one per packet.
  const size_t sent = std::min(
      count, datagramSender_->SendBatch(udpAddress_, static_cast<uint16_t>(port), datagrams_));
  // The datagrams that went out keep their sequence numbers.
  Count(frame, sent);
  if (sent < count) {
    sequenceNumber_.fetch_add(static_cast<uint16_t>(sent), std::memory_order_relaxed);
    throw TSendError("datagram to " + udpAddress_ + ":" + std::to_string(port) + " not sent");
  }
}

void TRtpFrameWriter::DropOnce(std::string_view why) {
  if (!std::exchange(dropLogged_, true)) log_(why);
}
