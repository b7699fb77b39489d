// A frame sender through the calls its session makes: RTP bytes on a fake connection, the queue's
// drop policy, the send thread, failures and the loss of the connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "capture/FrameType.h"
#include "config/Settings.h"
#include "stream/FrameSender.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeDatagramSender.h"
#include "tests/support/FakeRtpConnection.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

uint32_t BE(const Bytes& b, size_t at, size_t n) {
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) value = value << 8 | b[at + i];
  return value;
}

struct Packet {
  uint8_t channel, payloadType;
  bool marker;
  uint32_t sequence, timestamp, ssrc;
  Bytes payload;
};

// Takes the packets written so far, checking that each write is a row of framed packets.
std::vector<Packet> Packets(FakeRtpConnection& connection) {
  std::vector<Packet> packets;
  for (const Bytes& write : connection.TakeWrites()) {
    for (const Bytes& w : InterleavedUnits(write)) {
      EXPECT_TRUE(w.size() >= 16 && w[0] == '$' && BE(w, 2, 2) == w.size() - 4 && w[4] == 0x80);
      if (w.size() < 16) continue;
      packets.push_back({w[1], static_cast<uint8_t>(w[5] & 0x7F), (w[5] & 0x80) != 0, BE(w, 6, 2),
                         BE(w, 8, 4), BE(w, 12, 4), Bytes(w.begin() + 16, w.end())});
    }
  }
  return packets;
}

class CountingPackage : public TFramePackage {
 public:
  CountingPackage(const Bytes& bytes, std::atomic<int>& frees)
      : TFramePackage(bytes), frees_(frees) {}

 protected:
  ~CountingPackage() override { ++frees_; }

 private:
  std::atomic<int>& frees_;
};

bool WaitUntil(const std::function<bool()>& done) {
  for (const auto end = std::chrono::steady_clock::now() + 10s; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

enum Kind { Key, Other, Audio };
const Bytes kStart = {0, 0, 0, 1};

// A NAL unit whose body never holds two zeros in a row or ends in zero, so that no start code
// appears where none was put, and whose bytes differ from their neighbours.
Bytes Nal(uint8_t header, size_t bodySize) {
  Bytes b{header};
  for (size_t i = 0; i < bodySize; ++i)
    b.push_back(static_cast<uint8_t>(header + i * 7 + (i >> 8)));
  if (b.back() == 0) b.back() = 0x80;
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class FrameSenderTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeSender(); }
  void MakeSender(int32_t fps = 25, std::chrono::milliseconds keyFrameWait = 50ms) {
    sender.reset();
    TFrameSenderLinks links{&udp, [this] { ++keyRequests; }, &poster,
                            [this](std::string_view text) {
                              const std::lock_guard lock(logMutex);
                              log.emplace_back(text);
                            },
                            keyFrameWait};
    sender = std::make_unique<TFrameSender>(fps, links);
    sender->SetDestination("127.0.0.1", 5004);
    sender->SetConnection(&connection);
  }
  TFramePackage* Package(Kind kind, const Bytes& data = {0x41, 0x9A, 0x02}, uint8_t track = 1) {
    ++created;
    auto* p = new CountingPackage(data, frees);
    p->Track = track;
    p->Codec = kind == Audio ? 129u : uint32_t{kEncodeTypeH264};
    p->FrameType = kind == Key     ? kKeyVideoFrameType
                   : kind == Other ? kOtherVideoFrameType
                                   : kAudioFrameType;
    return p;
  }
  std::vector<Packet> SendNow(TFramePackage* package) {
    sender->SendPackage(*package);
    package->Release();
    return Packets(connection);
  }
  std::vector<std::string> Log() {
    const std::lock_guard lock(logMutex);
    return std::exchange(log, {});
  }

  FakeRtpConnection connection;
  FakeDatagramSender udp;
  ByeCollector poster;
  std::mutex logMutex;
  std::vector<std::string> log;
  std::atomic<int> keyRequests = 0, frees = 0;
  int created = 0;
  std::unique_ptr<TFrameSender> sender;
};

struct NalCase {
  uint8_t header;
  size_t size;                                       // header byte included
  std::vector<std::tuple<Bytes, size_t, bool>> out;  // prefix, body bytes, marker
};

TEST_F(FrameSenderTest, NalUnitsGoWholeOrAsFuAFragmentsOf1400Bytes) {
  const std::vector<NalCase> cases = {
      {0x41, 2, {{{0x41}, 1, true}}},
      {0x41, 1401, {{{0x41}, 1400, true}}},
      {0x65, 1402, {{{0x7C, 0x85}, 1400, false}, {{0x7C, 0x45}, 1, true}}},
      {0x41, 2801, {{{0x5C, 0x81}, 1400, false}, {{0x5C, 0x41}, 1400, true}}},
      {0x21,
       2802,
       {{{0x3C, 0x81}, 1400, false}, {{0x3C, 0x01}, 1400, false}, {{0x3C, 0x41}, 1, true}}},
  };
  for (const NalCase& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes nal = Nal(c.header, c.size - 1);
    const uint32_t sequence = sender->SequenceNumber(), timestamp = sender->Timestamp();
    const std::vector<Packet> packets = SendNow(Package(Other, Cat({kStart, nal})));
    ASSERT_EQ(packets.size(), c.out.size());
    size_t offset = 1;
    for (size_t i = 0; i < packets.size(); ++i) {
      const auto& [prefix, length, marker] = c.out[i];
      const auto body = nal.begin() + static_cast<std::ptrdiff_t>(offset);
      EXPECT_EQ(packets[i].payload,
                Cat({prefix, Bytes(body, body + static_cast<std::ptrdiff_t>(length))}));
      offset += length;
      EXPECT_EQ(packets[i].marker, marker);
      EXPECT_EQ(packets[i].sequence, sequence + i);
      EXPECT_EQ(packets[i].timestamp, timestamp);
      EXPECT_EQ(packets[i].ssrc, sender->Ssrc());
      EXPECT_EQ(packets[i].payloadType, 96);
      EXPECT_EQ(packets[i].channel, 0);
    }
    EXPECT_EQ(sender->Timestamp(), timestamp + 3600);
    // As datagrams (headers of two and three pieces in one batch): the same payloads.
    sender->SetConnection(nullptr);
    udp.datagrams.clear();
    SendNow(Package(Other, Cat({kStart, nal})));
    sender->SetConnection(&connection);
    ASSERT_EQ(udp.datagrams.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(Bytes(udp.datagrams[i].bytes.begin() + 12, udp.datagrams[i].bytes.end()),
                packets[i].payload);
    }
  }
}

TEST_F(FrameSenderTest, ShortFramesSendWhatFollowsTheStartCodeOrNothing) {
  const std::vector<std::pair<Bytes, Bytes>> cases = {
      {{0x41, 0x9A, 0x02}, {0x41, 0x9A, 0x02}},  // no start code: sent whole
      {{}, {}},
      {{0, 0, 1}, {}},
      {{0, 0, 0, 1}, {}},
      {{0, 0, 0, 1, 0x41}, {}},  // a NAL header without body
      {{0, 0, 1, 0x41, 0x9A}, {0x41, 0x9A}},
  };
  for (const auto& [frame, payload] : cases) {
    for (const Kind kind : {Key, Other}) {
      const std::vector<Packet> packets = SendNow(Package(kind, frame));
      ASSERT_EQ(packets.size(), payload.empty() ? 0u : 1u) << testing::PrintToString(frame);
      if (!payload.empty()) {
        EXPECT_EQ(packets[0].payload, payload);
      }
    }
  }
  EXPECT_FALSE(sender->Failed());
}

TEST_F(FrameSenderTest, KeyFrameSplitsAtStartCodesUpToTheIdrSlice) {
  const Bytes sps = Nal(0x67, 12), pps = Nal(0x68, 4), idr = Nal(0x65, 300), slice = Nal(0x41, 40);
  const std::vector<std::pair<Bytes, std::vector<Bytes>>> cases = {
      {Cat({kStart, sps, kStart, pps, kStart, idr}), {sps, pps, idr}},
      {Cat({{0, 0, 1}, sps, {0, 0, 1}, pps, {0, 0, 1}, slice}), {sps, pps, slice}},
      {Cat({kStart, sps, kStart, {0x09}, kStart, idr}), {sps, idr}},  // header-only unit: nothing
      {Cat({kStart, sps, kStart, idr, kStart, slice}), {sps, Cat({idr, kStart, slice})}},
  };
  for (const auto& [frame, units] : cases) {
    std::vector<Bytes> payloads;
    const std::vector<Packet> packets = SendNow(Package(Key, frame));
    for (const Packet& packet : packets) {
      payloads.push_back(packet.payload);
      EXPECT_EQ(packet.marker, &packet == &packets.back()) << "the marker ends the access unit";
    }
    EXPECT_EQ(payloads, units);
  }
}

struct ChunkCase {
  size_t size;
  uint8_t track;
  std::vector<std::pair<size_t, bool>> out;  // payload size, marker
  bool advancesClock;
};

TEST_F(FrameSenderTest, ChunksCarryOtherPayloadsAsTheyAre) {
  const std::vector<ChunkCase> cases = {
      {1400, 1, {{1400, true}}, true},
      {1401, 1, {{1400, false}, {1, true}}, true},
      {0, 1, {}, true},
      {1401, 0, {{1400, false}, {1, false}}, false},
  };
  for (const ChunkCase& c : cases) {
    const auto& [size, track, out, advances] = c;
    const Bytes data = size ? Nal(0x30, size - 1) : Bytes{};
    const uint32_t timestamp = sender->Timestamp();
    TFramePackage* package = Package(Key, data, track);
    package->Codec = kEncodeTypeMpeg4;
    const std::vector<Packet> packets = SendNow(package);
    ASSERT_EQ(packets.size(), out.size());
    Bytes joined;
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(std::make_pair(packets[i].payload.size(), packets[i].marker), out[i]);
      joined.insert(joined.end(), packets[i].payload.begin(), packets[i].payload.end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(sender->Timestamp(), advances ? timestamp + 3600 : timestamp);
  }
}

TEST_F(FrameSenderTest, TimestampStepFollowsTheFrameRate) {
  const std::vector<std::pair<int32_t, uint32_t>> steps = {
      {7, 12857}, {8, 11250}, {25, 3600}, {30, 3000}};
  for (const auto& [fps, step] : steps) {
    MakeSender(fps);
    const std::vector<Packet> first = SendNow(Package(Other)), second = SendNow(Package(Other));
    EXPECT_EQ(second.at(0).timestamp - first.at(0).timestamp, step) << fps << " fps";
  }
  EXPECT_THROW(MakeSender(0), std::invalid_argument);
}

TEST_F(FrameSenderTest, AudioGoesOnChannel2WithItsOwnClock) {
  sender->ConfigureAudio();
  const Packet first = SendNow(Package(Audio)).at(0), second = SendNow(Package(Audio)).at(0);
  EXPECT_EQ(std::make_tuple(first.channel, first.payloadType, first.marker),
            std::make_tuple(uint8_t{2}, uint8_t{0}, true));
  EXPECT_EQ(second.timestamp - first.timestamp, 267u);
}

TEST_F(FrameSenderTest, SequenceWrapsAndRestartsAtZeroOnStart) {
  std::vector<uint32_t> sequences;
  for (int i = 0; i < 65537; ++i) {
    const std::vector<Packet> packets = SendNow(Package(Other));
    if (i < 1 || i > 65534) sequences.push_back(packets.at(0).sequence);
  }
  EXPECT_EQ(sequences, (std::vector<uint32_t>{0, 65535, 0}));
  sender->Start();
  sender->Enqueue(Package(Key));
  ASSERT_TRUE(WaitUntil([&] { return connection.WriteCount() == 1; }));
  EXPECT_EQ(Packets(connection)[0].sequence, 0u);
}

struct DropCase {
  bool audio, prefill;  // prefill: a queue full to capacity (not started, so nothing leaves it)
  std::vector<Kind> offered;
  std::vector<std::string> log;
  int keyRequests;
  bool waitsForKey;
};

TEST_F(FrameSenderTest, DropPolicy) {
  const std::string wait = "wait i frame, drop", full = "full, drop";
  const std::vector<DropCase> cases = {
      {false, false, {Other, Other, Key, Other}, {wait, wait}, 2, false},
      // While the backlog is still full, no key frame is asked for: it could not be queued.
      {false, true, {Other, Other}, {full, wait}, 0, true},
      {false, true, {Key, Other}, {full, wait}, 0, true},  // no room within the key frame wait
      {true, true, {Audio, Audio}, {full, full}, 0, false},
  };
  for (const DropCase& c : cases) {
    MakeSender();
    if (c.audio) sender->ConfigureAudio();
    for (int i = 0; c.prefill && i < TFrameSender::kQueueCapacity; ++i) {
      sender->Enqueue(Package(c.audio ? Audio : i == 0 ? Key : Other));
    }
    const int queued = sender->QueuedPackages(), freed = frees;
    keyRequests = 0;
    Log();
    for (const Kind kind : c.offered) sender->Enqueue(Package(kind));
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(keyRequests, c.keyRequests);
    EXPECT_EQ(sender->WaitKeyFrame(), c.waitsForKey);
    EXPECT_EQ(frees - freed, static_cast<int>(c.log.size()));
    EXPECT_EQ(sender->QueuedPackages(), queued + static_cast<int>(c.offered.size() - c.log.size()));
  }
  sender.reset();
  EXPECT_EQ(frees, created) << "queued packages are released with the sender";
}

TEST_F(FrameSenderTest, KeyFrameWaitsForRoomTheThreadMakes) {
  MakeSender(25, 10s);
  for (int i = 0; i < TFrameSender::kQueueCapacity; ++i) sender->Enqueue(Package(Key));
  std::atomic<bool> queued = false;
  std::thread producer([&] {
    sender->Enqueue(Package(Key));
    queued = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(queued);
  sender->Start();
  producer.join();
  EXPECT_TRUE(WaitUntil([&] { return connection.WriteCount() == 101; }));
  EXPECT_TRUE(Log().empty());
}

struct FailureCase {
  std::function<void(FakeRtpConnection&, FakeDatagramSender&, TFrameSender&)> arrange;
  bool failed;
  std::string log;  // start of each line
  int lines;        // of two packages: a failure is logged each time, a drop once
  int datagrams;
};

TEST_F(FrameSenderTest, FailuresAndDrops) {
  const std::vector<FailureCase> cases = {
      {[](auto& c, auto&, auto&) { c.writeOk = false; }, true,
       "send buffer-->write data send package failed, e=", 2, 0},
      {[](auto&, auto&, auto& s) { s.SetConnection(nullptr); }, false, "", 0, 2},
      {[](auto&, auto& u, auto& s) {
         s.SetConnection(nullptr);
         u.succeeds = false;
       },
       true, "send buffer-->send datagram send package failed, e=", 2, 2},
      {[](auto& c, auto&, auto&) { c.open = false; }, false, "connection closed, drop", 1, 0},
      {[](auto&, auto&, auto& s) {
         s.SetConnection(nullptr);
         s.ConfigureAudio();
       },
       false, "audio without connection, drop", 1, 0},
  };
  for (const FailureCase& c : cases) {
    connection.writeOk = connection.open = udp.succeeds = true;
    udp.attempts = 0;
    MakeSender();
    c.arrange(connection, udp, *sender);
    Log();
    for (int i = 0; i < 2; ++i) SendNow(Package(sender->IsAudio() ? Audio : Key));
    EXPECT_EQ(sender->Failed(), c.failed);
    EXPECT_EQ(udp.attempts, c.datagrams);
    if (c.datagrams) {
      EXPECT_EQ(udp.target, "127.0.0.1:5004");
    }
    const std::vector<std::string> lines = Log();
    EXPECT_EQ(lines.size(), static_cast<size_t>(c.lines));
    for (const std::string& line : lines) EXPECT_EQ(line.rfind(c.log, 0), 0u) << line;
  }
}

TEST_F(FrameSenderTest, ThreadEndedByAnUnexpectedErrorCountsAsFailed) {
  connection.throws = true;
  sender->Start();
  sender->Enqueue(Package(Key));
  ASSERT_TRUE(WaitUntil([&] { return !sender->Running(); }));
  EXPECT_TRUE(sender->Failed());
  EXPECT_EQ(Log(), std::vector<std::string>{"send rtp thread error, E:unknown exception"});
  sender->Enqueue(Package(Key));
  EXPECT_EQ(frees, 2) << "the package in progress and the one refused later are both released";
}

TEST_F(FrameSenderTest, LostConnectionStopsTheSenderAndPostsOneByeAction) {
  sender->Start();
  connection.Disconnect();
  connection.Disconnect();
  ASSERT_EQ(poster.posted.size(), 1u);
  EXPECT_EQ(poster.posted[0].address + ":" + std::to_string(poster.posted[0].port),
            "127.0.0.1:5004");
  EXPECT_TRUE(sender->Failed() && sender->Stopped());
  EXPECT_EQ(Log(), std::vector<std::string>{"detect disconnect event, ip=127.0.0.1, port=5004"});
  EXPECT_TRUE(WaitUntil([&] { return !sender->Running(); }));

  // A connection the sender no longer uses, or one outliving it, reaches no sender.
  MakeSender();
  FakeRtpConnection other;
  sender->SetConnection(&other);
  connection.Disconnect();
  EXPECT_FALSE(sender->Stopped());
  sender.reset();
  other.Disconnect();
  EXPECT_EQ(poster.posted.size(), 1u);
}

}  // namespace
