#include "FrameSender.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include "FrameLatencyLog.h"
#include "FrameSendThread.h"
#include "capture/Rounding.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "platform/Clock.h"

namespace {

constexpr int32_t kQueueWaitMs = 20;
constexpr auto kIdlePause = std::chrono::milliseconds(2);
// How often a key frame waiting for room looks at the queue again.
constexpr uint32_t kRtpClockRate = 90000;

constexpr uint8_t kRtpVersion2 = 0x80;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kInterleavedMagic = 0x24;  // '$'
constexpr uint8_t kFuAType = 28;
constexpr uint8_t kFuStartBit = 0x80;
constexpr uint8_t kFuEndBit = 0x40;
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalIdrSlice = 5;

// A failure to get a packet out; the message ends up in the failure log line.
class TSendError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::mt19937& RandomEngine() {
  thread_local std::mt19937 engine{std::random_device{}()};
  return engine;
}

// Four bytes of 0 to 254 each.
uint32_t RandomSsrc() {
  std::uniform_int_distribution<uint32_t> byte(0, 254);
  uint32_t ssrc = 0;
  for (int i = 0; i < 4; ++i) ssrc = (ssrc << 8) | byte(RandomEngine());
  return ssrc;
}

uint32_t RandomTimestamp() {
  return std::uniform_int_distribution<uint32_t>(0, 16777214)(RandomEngine());
}

// A start code needs four bytes at pos, even the three-byte one, so the byte after it (the NAL
// header) always exists.
size_t StartCodeAt(std::span<const uint8_t> frame, size_t pos) {
  if (frame.size() < 4 || pos > frame.size() - 4) return 0;
  if (frame[pos] != 0 || frame[pos + 1] != 0) return 0;
  if (frame[pos + 2] == 1) return 3;
  if (frame[pos + 2] == 0 && frame[pos + 3] == 1) return 4;
  return 0;
}

// The start code in front of a frame's first unit. Unlike StartCodeAt it also takes a start code
// with nothing (or only a header) behind it: such a frame has nothing to send, and reading the
// start code's own bytes as a NAL unit would send garbage.
size_t LeadingStartCode(std::span<const uint8_t> frame) {
  if (frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 1) {
    return 4;
  }
  if (frame.size() >= 3 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1) return 3;
  return 0;
}

}  // namespace

// The connection's disconnect handler reaches the sender through this, so that a connection
// reporting its loss after the sender is gone (or bound elsewhere) finds nothing to call.
struct TFrameSender::TDisconnectLink {
  std::mutex mutex;
  TFrameSender* sender;
};

TFrameSender::TFrameSender(int32_t fps, TFrameSenderLinks links)
    : links_(std::move(links)),
      byeActionPoster_(links_.byeActionPoster ? *links_.byeActionPoster : ByeActionPoster()),
      ssrc_(RandomSsrc()),
      timestamp_(RandomTimestamp()),
      timestampStep_(0) {
  if (fps < 1 || fps > static_cast<int32_t>(kRtpClockRate)) {
    throw std::invalid_argument("frame sender: frame rate out of range: " + std::to_string(fps));
  }
  timestampStep_ = static_cast<int32_t>(RoundHalfEven(kRtpClockRate, fps));
}

TFrameSender::~TFrameSender() {
  DetachFromConnection();
  Stop();
}

void TFrameSender::ConfigureAudio() {
  const std::lock_guard lock(threadMutex_);
  if (thread_) {
    Log("configure audio failed, e=sender already started");
    return;
  }
  audio_ = true;
  timestamp_.store(RandomTimestamp());
  timestampStep_ = kAudioTimestampStep;
  payloadType_ = kAudioPayloadType;
  interleavedChannel_ = kAudioChannel;
  waitKeyFrame_.store(false);
}

void TFrameSender::SetDestination(std::string address, int32_t port) {
  const std::lock_guard lock(destinationMutex_);
  destAddress_ = std::move(address);
  destPort_ = port;
}

std::string TFrameSender::DestAddress() const {
  const std::lock_guard lock(destinationMutex_);
  return destAddress_;
}

int32_t TFrameSender::DestPort() const {
  const std::lock_guard lock(destinationMutex_);
  return destPort_;
}

void TFrameSender::SetSsrc(uint32_t ssrc) {
  ssrc_.store(ssrc, std::memory_order_relaxed);
}

void TFrameSender::SetConnection(TRtpConnection* connection) {
  DetachFromConnection();
  connection_.store(connection);
  if (!connection) return;
  disconnectLink_ = std::make_shared<TDisconnectLink>();
  disconnectLink_->sender = this;
  connection->SetDisconnectHandler([link = disconnectLink_] {
    std::unique_ptr<ByeActionInfo> info;
    TByeActionPoster* poster = nullptr;
    {
      const std::lock_guard lock(link->mutex);
      if (!link->sender) return;
      info = link->sender->MarkConnectionLost();
      poster = &link->sender->byeActionPoster_;
    }
    // Posted outside the lock: a receiver that removes the session right away destroys the sender,
    // whose destructor takes the lock.
    if (info) poster->Post(std::move(info));
  });
}

void TFrameSender::DetachFromConnection() {
  if (!disconnectLink_) return;
  {
    const std::lock_guard lock(disconnectLink_->mutex);
    disconnectLink_->sender = nullptr;
  }
  disconnectLink_.reset();
}

bool TFrameSender::Running() const {
  const std::lock_guard lock(threadMutex_);
  return thread_ && !thread_->Finished();
}

void TFrameSender::Start() {
  const std::lock_guard lock(threadMutex_);
  if (thread_ || stopped_.load() || failed_.load()) return;
  sequenceNumber_.store(0);
  thread_ = std::make_unique<TFrameSendThread>(*this);
}

void TFrameSender::Stop() {
  stopped_.store(true);
  // Held while joining, so that a second Stop on another thread also returns only once the thread
  // has ended.
  const std::lock_guard lock(threadMutex_);
  // Closed even without a thread: nothing queued from now on would ever be taken.
  queue_.CloseQueue();
  if (thread_) {
    thread_->Terminate();
    thread_->Join();
    thread_.reset();
  }
}

void TFrameSender::Enqueue(TFramePackage* package) {
  if (!package) {
    Log("enqueue failed, e=null package");
    return;
  }
  if (!ShouldSend()) {
    // Nobody will take it off the queue any more.
    package->Release();
    return;
  }
  const bool key = package->IsKeyFrame();
  if (waitKeyFrame_.load()) {
    if (!key) {
      DropPackage(package, "wait i frame, drop");
      // A key frame helps only once the backlog has drained; asked for while this client's queue
      // is still full, it would only be dropped again, and every other client would pay for the
      // extra key frames in bandwidth.
      if (links_.requestKeyFrame && queue_.Count() <= kQueueCapacity / 2) links_.requestKeyFrame();
      return;
    }
    waitKeyFrame_.store(false);
  }
  if (!key && queue_.IsFull()) {
    if (package->IsVideo()) waitKeyFrame_.store(true);
    DropPackage(package, "full, drop");
    return;
  }
  // A key frame may wait for room only as long as configured (by default not at all): the
  // producer feeds every session, so a client that stopped reading must not hold it up.
  const auto waitMs = static_cast<int32_t>(links_.keyFrameWait.count());
  const QueueResult result = queue_.InsertFor(package, key ? waitMs : kQueueNoWait);
  if (result == QueueResult::Done) return;
  if (package->IsVideo()) waitKeyFrame_.store(true);
  if (result == QueueResult::WriteTimeOut || result == QueueResult::WriteFull) {
    DropPackage(package, "full, drop");
  } else {
    DropPackage(package, std::string("enqueue failed, e=") + InsertErrorMessage(result));
  }
}

void TFrameSender::DropPackage(TFramePackage* package, std::string_view why) {
  package->Release();
  Log(why);
}

void TFrameSender::ConnectionLost() {
  if (std::unique_ptr<ByeActionInfo> info = MarkConnectionLost()) {
    byeActionPoster_.Post(std::move(info));
  }
}

std::unique_ptr<ByeActionInfo> TFrameSender::MarkConnectionLost() {
  // One bye action per sender, however many times the loss is reported.
  if (stopped_.exchange(true)) return nullptr;
  failed_.store(true);
  auto info = std::make_unique<ByeActionInfo>();
  {
    const std::lock_guard lock(destinationMutex_);
    info->address = destAddress_;
    info->port = destPort_;
  }
  Log("detect disconnect event, ip=" + info->address + ", port=" + std::to_string(info->port));
  return info;
}

void TFrameSender::SendNext() {
  TFramePackage* package = queue_.Take(kQueueWaitMs);
  if (!package) {
    std::this_thread::sleep_for(kIdlePause);
    return;
  }
  const std::unique_ptr<TFramePackage, void (*)(TFramePackage*)> held(
      package, [](TFramePackage* p) { p->Release(); });
  SendPackage(*package);
}

void TFrameSender::SendThreadEnded() {
  // A thread that ended on its own sends nothing any more; the session must see the sender as
  // failed rather than as one that quietly swallows every frame.
  if (!stopped_.load()) failed_.store(true);
}

void TFrameSender::Log(std::string_view text) const {
  try {
    if (links_.log) {
      links_.log(text);
    } else {
      LogMessage(text);
    }
  } catch (...) {
    // Logging must not end a send thread or the producer.
  }
}

void TFrameSender::SendPackage(const TFramePackage& package) {
  try {
    SetStage("prepare");
    const std::span<const uint8_t> data(package.Data(), package.Size());
    if (package.Codec == static_cast<uint32_t>(kEncodeTypeH264)) {
      currentIsKey_ = package.IsKeyFrame();
      SetStage("send h264");
      SendH264Frame(data);
    } else {
      SetStage("send other");
      SendChunked(data, package.Track != 0);
    }
    if (package.CapturedMicros != 0 && package.IsVideo() && !failed_.load() && !stopped_.load()) {
      FrameLatencyLog().Record(package.CapturedMicros, platform::MonotonicMicroseconds());
    }
  } catch (const std::exception& e) {
    failed_.store(true);
    Log(StageText() + " send package failed, e=" + e.what());
  }
}

// A key frame goes out as its leading units (parameter sets and the like), each on its own, then
// everything from the first IDR slice on as one unit; any other frame goes out as one unit.
// Start codes in the last bytes of a frame are not looked for.
void TFrameSender::SendH264Frame(std::span<const uint8_t> frame) {
  SetStage("check skip start mark");
  size_t pos = LeadingStartCode(frame);
  if (currentIsKey_) {
    SetStage("find next nalu");
    for (;;) {
      size_t codeAt = 0;
      size_t codeLength = 0;
      for (size_t p = pos; p + 6 < frame.size(); ++p) {
        codeLength = StartCodeAt(frame, p);
        if (codeLength > 0) {
          codeAt = p;
          break;
        }
      }
      if (codeLength == 0) break;
      const bool idr = (frame[codeAt + codeLength] & kNalTypeMask) == kNalIdrSlice;
      const size_t length = codeAt - pos;
      if (length > 0) {
        SetStage("send one nalu, size=", static_cast<int64_t>(length));
        SendNalUnit(frame.subspan(pos, length));
      }
      SetStage("check skip start mark loop");
      pos = codeAt + codeLength;
      if (idr) break;
      SetStage("find next nalu loop");
    }
  }
  SetStage("send one nalu");
  if (pos < frame.size()) SendNalUnit(frame.subspan(pos));
  SetStage("inc timestamp");
  timestamp_.fetch_add(static_cast<uint32_t>(timestampStep_), std::memory_order_relaxed);
}

void TFrameSender::SendNalUnit(std::span<const uint8_t> nalUnit) {
  if (nalUnit.empty()) return;
  const uint8_t header = nalUnit[0];
  const std::span<const uint8_t> body = nalUnit.subspan(1);
  const bool single = body.size() <= kMaxRtpPayload;
  for (size_t offset = 0; offset < body.size();) {
    const size_t size = std::min(kMaxRtpPayload, body.size() - offset);
    const size_t remain = body.size() - offset - size;
    SetStage("send one rtp, size=", static_cast<int64_t>(size), static_cast<int64_t>(remain));
    SendRtpPacket(body.subspan(offset, size), offset == 0, remain == 0, single, header);
    offset += size;
  }
}

void TFrameSender::SendRtpPacket(std::span<const uint8_t> piece, bool first, bool last, bool single,
                                 uint8_t nalHeader) {
  packet_.Clear();
  SetStage("write rtp head");
  WriteRtpHeader(last);
  SetStage("write rtp fu indicator");
  const uint8_t type = nalHeader & kNalTypeMask;
  packet_.WriteByteValue(single ? nalHeader : static_cast<uint8_t>((nalHeader & 0xE0) | kFuAType));
  if (!single) {
    if (first) {
      SetStage("write rtp fu header, first");
      packet_.WriteByteValue(static_cast<uint8_t>(kFuStartBit | type));
    } else {
      SetStage("write rtp fu header, other");
      packet_.WriteByteValue(last ? static_cast<uint8_t>(kFuEndBit | type) : type);
    }
  }
  SetStage("write rtp buf data");
  packet_.Write(piece);
  SetStage("send rtp buf data");
  SendBuffer(packet_.ToBytes());
  SetStage("send rtp buf data end, inc seq");
  sequenceNumber_.fetch_add(1, std::memory_order_relaxed);
}

// Payloads other than H.264 go out in pieces without any codec-specific payload header.
void TFrameSender::SendChunked(std::span<const uint8_t> data, bool frameEnd) {
  for (size_t offset = 0; offset < data.size();) {
    const size_t size = std::min(kMaxRtpPayload, data.size() - offset);
    packet_.Clear();
    WriteRtpHeader(frameEnd && offset + size == data.size());
    packet_.Write(data.subspan(offset, size));
    SendBuffer(packet_.ToBytes());
    sequenceNumber_.fetch_add(1, std::memory_order_relaxed);
    offset += size;
  }
  if (frameEnd) {
    timestamp_.fetch_add(static_cast<uint32_t>(timestampStep_), std::memory_order_relaxed);
  }
}

void TFrameSender::WriteRtpHeader(bool marker) {
  packet_.WriteByteValue(kRtpVersion2);
  packet_.WriteByteValue(marker ? static_cast<uint8_t>(payloadType_ | kMarkerBit) : payloadType_);
  packet_.WriteWordBE(sequenceNumber_.load(std::memory_order_relaxed));
  packet_.WriteLongBE(timestamp_.load(std::memory_order_relaxed));
  packet_.WriteLongBE(ssrc_.load(std::memory_order_relaxed));
}

void TFrameSender::SendBuffer(std::span<const uint8_t> packet) {
  if (stopped_.load()) return;
  if (TRtpConnection* connection = connection_.load()) {
    // A closed connection reports its loss and stops the sender; falling back to UDP towards a
    // client that asked for interleaved transport would only send packets nobody reads.
    if (!connection->IsOpen()) {
      if (!std::exchange(dropLogged_, true)) Log("connection closed, drop");
      return;
    }
    SetStage("send buffer-->prepare head");
    if (packet.size() > UINT16_MAX) throw TSendError("packet too long for interleaving");
    frame_.Clear();
    frame_.WriteByteValue(kInterleavedMagic);
    frame_.WriteByteValue(interleavedChannel_);
    frame_.WriteWordBE(static_cast<uint16_t>(packet.size()));
    frame_.Write(packet);
    SetStage("send buffer-->write data");
    if (!connection->WriteAll(frame_.ToBytes())) throw TSendError("connection write failed");
    SetStage("send buffer-->write data end");
    return;
  }
  if (audio_) {
    if (!std::exchange(dropLogged_, true)) Log("audio without connection, drop");
    return;
  }
  SetStage("send buffer-->send datagram");
  if (!links_.datagramSender) throw TSendError("no rtp socket");
  int32_t port = 0;
  {
    const std::lock_guard lock(destinationMutex_);
    udpAddress_ = destAddress_;  // reuses the copy's storage: no allocation per packet
    port = destPort_;
  }
  if (port < 1 || port > UINT16_MAX) {
    throw TSendError("invalid destination port " + std::to_string(port));
  }
  if (!links_.datagramSender->SendDatagram(udpAddress_, static_cast<uint16_t>(port), packet)) {
    throw TSendError("datagram to " + udpAddress_ + ":" + std::to_string(port) + " not sent");
  }
}

void TFrameSender::SetStage(const char* text, int64_t size, int64_t remain) {
  stage_ = TStage{text, size, remain};
}

std::string TFrameSender::StageText() const {
  std::string text = stage_.text;
  if (stage_.size >= 0) text += std::to_string(stage_.size);
  if (stage_.remain >= 0) text += ", remain=" + std::to_string(stage_.remain);
  return text;
}
