// The packetizer cutting frames into RTP payloads, and a frame sender putting them on the wire,
// interleaved on a connection or as datagrams, for video and audio tracks, H.264 and the other
// codecs. The frames come either as bare payloads or as the records the desktop encoder hands the
// live channel (frame header, then payload), read the way the channel reads them.
//
// Every packet must be well-formed RTP of this sender (version, payload type, consecutive
// sequence numbers, one time stamp per frame, its SSRC, at most the payload limit), interleaved
// units must announce their own length, the packets must carry exactly the packetizer's payloads
// and markers, and the payload must be the frame's: H.264 units whole once their fragments are
// joined, other codecs' bytes in order and complete.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/FrameHeader.h"
#include "capture/FramePackage.h"
#include "config/Settings.h"
#include "stream/ByeAction.h"
#include "stream/FrameSender.h"
#include "stream/RtpPacketizer.h"
#include "stream/RtpTransport.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeDatagramSender.h"
#include "tests/support/FakeRtpConnection.h"

namespace {

using TBytes = std::vector<uint8_t>;

constexpr std::size_t kRtpHeaderBytes = 12;
constexpr uint8_t kFuA = 28;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "rtp_packetizer_fuzz: %s\n", what.c_str());
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

struct TPacket {
  bool marker = false;
  std::span<const uint8_t> payload;
};

// The RTP packets of what the sender wrote, each checked against the sender's own numbers.
std::vector<TPacket> ReadPackets(const std::vector<TBytes>& written, bool interleaved,
                                 const TFrameSender& sender, uint16_t firstSequence,
                                 uint32_t timestamp) {
  std::vector<TPacket> packets;
  for (const TBytes& bytes : written) {
    std::span<const uint8_t> packet(bytes);
    if (interleaved) {
      Check(packet.size() >= 4 && packet[0] == '$', "interleaved unit without its mark");
      Check(packet[1] == sender.InterleavedChannel(), "interleaved unit on the wrong channel");
      Check(static_cast<std::size_t>(packet[2] << 8 | packet[3]) == packet.size() - 4,
            "interleaved unit announces another length");
      packet = packet.subspan(4);
    }
    Check(packet.size() > kRtpHeaderBytes, "packet without payload");
    Check(packet.size() <= kRtpHeaderBytes + 2 + TFrameSender::kMaxRtpPayload, "packet too long");
    Check(packet[0] == 0x80, "not plain version 2 RTP");
    Check((packet[1] & 0x7F) == sender.PayloadType(), "wrong payload type");
    const auto sequence = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
    Check(sequence == static_cast<uint16_t>(firstSequence + packets.size()),
          "sequence numbers not consecutive");
    const uint32_t stamp = static_cast<uint32_t>(packet[4]) << 24 |
                           static_cast<uint32_t>(packet[5]) << 16 |
                           static_cast<uint32_t>(packet[6]) << 8 | packet[7];
    Check(stamp == timestamp, "time stamp changed within a frame");
    const uint32_t ssrc = static_cast<uint32_t>(packet[8]) << 24 |
                          static_cast<uint32_t>(packet[9]) << 16 |
                          static_cast<uint32_t>(packet[10]) << 8 | packet[11];
    Check(ssrc == sender.Ssrc(), "wrong SSRC");
    packets.push_back({(packet[1] & 0x80) != 0, packet.subspan(kRtpHeaderBytes)});
  }
  return packets;
}

// The NAL units as a receiver rebuilds them: single packets as they are, fragments joined.
std::vector<TBytes> JoinNalUnits(const std::vector<TPacket>& packets) {
  std::vector<TBytes> units;
  std::optional<TBytes> joining;
  for (const TPacket& packet : packets) {
    const uint8_t indicator = packet.payload[0];
    if ((indicator & 0x1F) != kFuA) {
      Check(!joining, "a single unit inside a fragmented one");
      units.emplace_back(packet.payload.begin(), packet.payload.end());
      continue;
    }
    Check(packet.payload.size() >= 3, "fragment without data");
    const uint8_t header = packet.payload[1];
    const bool start = (header & 0x80) != 0;
    const bool end = (header & 0x40) != 0;
    Check(!(start && end), "a fragment both starts and ends its unit");
    Check((header & 0x20) == 0, "reserved bit set in a fragment header");
    Check(start == !joining, "fragments out of order");
    Check(!packet.marker || end, "the marker inside a fragmented unit");
    if (start) joining = TBytes{static_cast<uint8_t>((indicator & 0xE0) | (header & 0x1F))};
    Check((*joining)[0] == ((indicator & 0xE0) | (header & 0x1F)), "fragments of different units");
    joining->insert(joining->end(), packet.payload.begin() + 2, packet.payload.end());
    if (end) {
      units.push_back(std::move(*joining));
      joining.reset();
    }
  }
  Check(!joining, "a fragmented unit left unfinished");
  return units;
}

std::size_t StartCodeAt(std::span<const uint8_t> frame, std::size_t position) {
  const std::span<const uint8_t> rest = frame.subspan(position);
  if (rest.size() >= 3 && rest[0] == 0 && rest[1] == 0 && rest[2] == 1) return 3;
  if (rest.size() >= 4 && rest[0] == 0 && rest[1] == 0 && rest[2] == 0 && rest[3] == 1) return 4;
  return 0;
}

// A unit whose own header says FU-A could not be told from a fragment on the receiving side; such
// frames are garbage to any player and only their packet form is checked.
bool MayHoldFuAHeader(std::span<const uint8_t> frame) {
  if (frame.empty()) return false;
  for (std::size_t i = 0; i < std::min<std::size_t>(frame.size(), 5); ++i)
    if ((frame[i] & 0x1F) == kFuA) return true;
  for (std::size_t i = 0; i + 3 < frame.size(); ++i)
    if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && (frame[i + 3] & 0x1F) == kFuA)
      return true;
  return false;
}

// What lies between the units the sender took out of the frame: start codes, and units of a lone
// header byte, which carry nothing to send. A unit follows a start code, or opens a frame that has
// none in front; only the frame's tail may end otherwise.
bool IsGap(std::span<const uint8_t> frame, std::size_t from, std::size_t to, bool tail) {
  if (from == to) return tail || (from == 0 && StartCodeAt(frame, 0) == 0);
  std::size_t i = from;
  bool afterStartCode = from == 0;
  while (i < to) {
    const std::size_t code = StartCodeAt(frame.first(to), i);
    if (code > 0) {
      i += code;
      afterStartCode = true;
    } else if (afterStartCode && (i + 1 == to ? tail : StartCodeAt(frame.first(to), i + 1) > 0)) {
      i += 1;
      afterStartCode = false;
    } else {
      return false;
    }
  }
  return afterStartCode || tail;
}

// Whether units[k...] can be found in the frame from cursor on, in order, with only gaps around
// them. A unit may be found at several places (one of "00 00" also occurs inside start codes and
// runs of zeros), so every place is tried; dead ends are remembered.
bool UnitsFollow(std::span<const uint8_t> frame, const std::vector<TBytes>& units, std::size_t k,
                 std::size_t cursor, std::set<std::pair<std::size_t, std::size_t>>& deadEnds) {
  if (k == units.size()) return IsGap(frame, cursor, frame.size(), true);
  if (deadEnds.contains({k, cursor})) return false;
  const TBytes& unit = units[k];
  for (std::size_t q = cursor; q + unit.size() <= frame.size(); ++q) {
    if (std::equal(unit.begin(), unit.end(), frame.begin() + static_cast<std::ptrdiff_t>(q)) &&
        IsGap(frame, cursor, q, false) &&
        UnitsFollow(frame, units, k + 1, q + unit.size(), deadEnds))
      return true;
  }
  deadEnds.insert({k, cursor});
  return false;
}

// The units, in the order sent, must be pieces of the frame with nothing but gaps around them.
void CheckUnitsCoverFrame(std::span<const uint8_t> frame, const std::vector<TBytes>& units) {
  std::set<std::pair<std::size_t, std::size_t>> deadEnds;
  if (UnitsFollow(frame, units, 0, 0, deadEnds)) return;
  // The failure message alone would leave whoever reproduces it to decode the input by hand.
  const auto dump = [](const char* name, std::span<const uint8_t> bytes) {
    std::fprintf(stderr, "%s (%zu bytes):", name, bytes.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(bytes.size(), 64); ++i)
      std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, "%s\n", bytes.size() > 64 ? " ..." : "");
  };
  dump("frame", frame);
  for (const TBytes& unit : units) dump("unit", unit);
  Fail("the units sent are not the frame's units: bytes lost, changed or added");
}

struct TFrame {
  TBytes payload;
  uint32_t codec = 0;
  uint32_t frameType = 0;
  uint8_t track = 0;
};

// A frame as the desktop encoder records it, read the way the live channel reads it; nothing when
// the channel would drop it.
std::optional<TFrame> ReadRecord(std::span<const uint8_t> record) {
  const std::optional<TFrameHeader> header = ReadFrameHeader(record);
  if (!header) return std::nullopt;
  const auto payload = FramePayload(record, *header);
  if (!payload) return std::nullopt;
  Check(payload->data() == record.data() + kFrameHeaderSize, "payload not behind the header");
  return TFrame{TBytes(payload->begin(), payload->end()), header->VideoCodec, header->FrameType, 1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool interleaved = input.ConsumeBool();
  const bool audio = input.ConsumeBool();
  const bool asRecord = input.ConsumeBool();
  const bool connectionClosed = input.ConsumeProbability<float>() < 0.05f;
  const std::size_t writesAllowed = input.ConsumeProbability<float>() < 0.1f
                                        ? input.ConsumeIntegralInRange<std::size_t>(0, 8)
                                        : SIZE_MAX;
  const int32_t fps = input.ConsumeIntegralInRange<int32_t>(1, 90000);
  const int32_t port = input.ConsumeBool() ? input.ConsumeIntegral<int32_t>() : 5000;
  const std::size_t frameCount = input.ConsumeIntegralInRange<std::size_t>(1, 3);

  std::vector<TFrame> frames;
  for (std::size_t i = 0; i < frameCount && input.remaining_bytes() > 0; ++i) {
    TFrame frame;
    if (!asRecord) {
      frame.codec = input.ConsumeBool() ? static_cast<uint32_t>(kEncodeTypeH264)
                                        : input.ConsumeIntegralInRange<uint32_t>(0, 255);
      frame.frameType = input.ConsumeIntegralInRange<uint32_t>(0, 25);
      frame.track = input.ConsumeBool() ? 1 : 0;
    }
    const std::string bytes = i + 1 == frameCount ? input.ConsumeRemainingBytesAsString()
                                                  : input.ConsumeRandomLengthString(8192);
    if (asRecord) {
      const std::optional<TFrame> read =
          ReadRecord(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      if (!read) continue;
      frame = *read;
    } else {
      frame.payload.assign(bytes.begin(), bytes.end());
    }
    frames.push_back(std::move(frame));
  }

  FakeRtpConnection connection;
  connection.open = !connectionClosed;
  connection.writesLeft = writesAllowed;
  FakeDatagramSender datagrams;
  datagrams.sendsLeft = writesAllowed;
  ByeCollector byes;
  TFrameSenderLinks links;
  links.datagramSender = &datagrams;
  links.byeActionPoster = &byes;
  links.log = [](std::string_view) {};
  TFrameSender sender(fps, links);
  if (audio) sender.ConfigureAudio();
  sender.SetDestination("127.0.0.1", port);
  if (interleaved) sender.SetConnection(&connection);

  for (const TFrame& frame : frames) {
    TFramePackage* package = TFramePackage::Create(frame.payload);
    package->Codec = frame.codec;
    package->FrameType = frame.frameType;
    package->Track = frame.track;
    const uint16_t sequence = sender.SequenceNumber();
    const uint32_t timestamp = sender.Timestamp();
    const std::shared_ptr<const TRtpFrame> rtpFrame = TRtpPacketizer::Packetize(*package);
    package->Release();
    connection.TakeWrites();
    datagrams.datagrams.clear();
    sender.SendFrame(*rtpFrame);

    // Interleaved, a whole frame goes out in one write: its units are read back one by one.
    std::vector<TBytes> written;
    for (const TBytes& write : connection.TakeWrites()) {
      for (TBytes& unit : InterleavedUnits(write)) written.push_back(std::move(unit));
    }
    Check(!interleaved || datagrams.datagrams.empty(), "datagrams beside the connection");
    for (const FakeDatagram& datagram : datagrams.datagrams) {
      Check(datagram.port >= 1, "datagram to port 0");
      written.push_back(datagram.bytes);
    }
    const std::vector<TPacket> packets =
        ReadPackets(written, interleaved, sender, sequence, timestamp);
    Check(packets.size() <= rtpFrame->PacketCount(), "more packets than payloads");
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const TPacket& packet = packets[i];
      const std::span<const uint8_t> prefix = rtpFrame->Prefix(i), body = rtpFrame->Body(i);
      Check(packet.payload.size() == prefix.size() + body.size() &&
                std::equal(prefix.begin(), prefix.end(), packet.payload.begin()) &&
                std::equal(body.begin(), body.end(),
                           packet.payload.begin() + static_cast<std::ptrdiff_t>(prefix.size())),
            "a packet's payload is not the packetizer's");
      Check(packet.marker == rtpFrame->Marker(i), "a packet's marker is not the packetizer's");
    }
    // A failed write ends the sender's thread; what it sent up to there was checked above.
    if (sender.Failed()) break;
    const bool h264 = frame.codec == static_cast<uint32_t>(kEncodeTypeH264);
    const bool frameEnds = h264 || frame.track != 0;
    Check(sender.Timestamp() ==
              timestamp + (frameEnds ? static_cast<uint32_t>(sender.TimestampStep()) : 0u),
          "time stamp moved by other than one frame");
    // Packets for a closed connection, or audio without one, are dropped on the way out.
    const bool sent = interleaved ? connection.open.load() : !audio;
    if (!sent) {
      Check(packets.empty(), "packets where none can go");
      continue;
    }
    Check(packets.size() == rtpFrame->PacketCount(), "payloads left unsent");
    Check(sender.SequenceNumber() == static_cast<uint16_t>(sequence + packets.size()),
          "sequence number moved by other than the packets sent");
    const std::span<const uint8_t> payload(frame.payload);
    if (h264) {
      for (std::size_t i = 0; i < packets.size(); ++i) {
        Check(packets[i].marker == (i + 1 == packets.size()),
              "the marker not on exactly the last packet of the access unit");
      }
      if (MayHoldFuAHeader(payload)) continue;
      CheckUnitsCoverFrame(payload, JoinNalUnits(packets));
    } else {
      TBytes joined;
      for (std::size_t i = 0; i < packets.size(); ++i) {
        const TPacket& packet = packets[i];
        Check(packet.payload.size() <= TFrameSender::kMaxRtpPayload, "chunk too long");
        Check(packet.marker == (frame.track != 0 && i + 1 == packets.size()),
              "marker not on exactly the last chunk of a frame");
        joined.insert(joined.end(), packet.payload.begin(), packet.payload.end());
      }
      Check(std::equal(joined.begin(), joined.end(), payload.begin(), payload.end()),
            "chunks do not add up to the frame");
    }
  }
  return 0;
}
