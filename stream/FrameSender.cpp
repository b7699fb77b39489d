#include "FrameSender.h"

#include <cstdint>
#include <exception>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include "FrameLatencyLog.h"
#include "capture/Rounding.h"
#include "log/ServiceLog.h"
#include "platform/Clock.h"
#include "platform/HostName.h"

namespace {

// Stopping closes the queue, which ends the wait at once; the time-out only bounds how long a
// thread idles between looks at its state. Short waits would wake every viewer's thread several
// times per frame for nothing, and with a hundred viewers those wake-ups cost more than sending.
constexpr int32_t kQueueWaitMs = 1000;
constexpr auto kIdlePause = std::chrono::milliseconds(2);
constexpr uint32_t kRtpClockRate = 90000;

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

constexpr uint32_t kAudioClockRate = 8000;

// Names this program on this machine in the sender reports, so a player can tell its streams
// from another sender's; the same for every track and session, as it should be.
const std::string& Cname() {
  static const std::string cname = [] {
    const std::string host = platform::HostName();
    return "vistrel@" + (host.empty() ? std::string("localhost") : host);
  }();
  return cname;
}

int32_t VideoTimestampStep(int32_t fps) {
  if (fps < 1 || fps > static_cast<int32_t>(kRtpClockRate)) {
    throw std::invalid_argument("frame sender: frame rate out of range: " + std::to_string(fps));
  }
  return static_cast<int32_t>(RoundHalfEven(kRtpClockRate, fps));
}

}  // namespace

TFrameSender::TFrameSender(int32_t fps, TFrameSenderLinks links)
    : links_(std::move(links)),
      clock_(links_.clock ? *links_.clock : platform::SystemClock()),
      writer_(
          links_.datagramSender, RandomSsrc(), RandomTimestamp(),
          [this](std::string_view text) { Log(text); }, clock_, Cname()),
      queue_({.capacity = kQueueCapacity,
              .requestKeyFrame = links_.requestKeyFrame,
              .keyFrameWait = links_.keyFrameWait,
              .log = [this](std::string_view text) { Log(text); }}),
      binding_([this] { return MarkConnectionLost(); },
               links_.byeActionPoster ? *links_.byeActionPoster : ByeActionPoster()) {
  writer_.SetTrack({.payloadType = kVideoPayloadType,
                    .interleavedChannel = kVideoChannel,
                    .timestampStep = VideoTimestampStep(fps),
                    .audio = false,
                    .framesPerSecond = fps},
                   writer_.Timestamp());
}

TFrameSender::~TFrameSender() {
  binding_.Unbind();
  // No goodbye here: with the connection unbound it would go by UDP, also to an interleaved
  // client. Sessions stop their senders before they let go of them.
  StopSending(false);
}

void TFrameSender::ConfigureAudio() {
  const std::lock_guard lock(threadMutex_);
  if (thread_) {
    Log("configure audio failed, e=sender already started");
    return;
  }
  writer_.SetTrack({.payloadType = kAudioPayloadType,
                    .interleavedChannel = kAudioChannel,
                    .timestampStep = kAudioTimestampStep,
                    .audio = true,
                    .clockRate = kAudioClockRate},
                   RandomTimestamp());
  queue_.WaitForKeyFrames(false);
}

void TFrameSender::SetDestination(std::string address, int32_t port) {
  writer_.SetDestination(std::move(address), port);
}

bool TFrameSender::Running() const {
  const std::lock_guard lock(threadMutex_);
  return thread_ && !thread_->Finished();
}

void TFrameSender::Start() {
  const std::lock_guard lock(threadMutex_);
  if (thread_ || stopped_.load() || failed_.load()) return;
  writer_.ResetSequence();
  started_.store(true);
  thread_ = std::make_unique<TFrameSendThread>(
      TFrameSendWork{.canSend = [this] { return ShouldSend(); },
                     .step = [this] { SendNext(); },
                     .error = [this](std::string_view text) { Log(text); },
                     .ended = [this] { SendThreadEnded(); }});
}

void TFrameSender::Stop() {
  StopSending(true);
}

void TFrameSender::StopSending(bool goodbye) {
  stopped_.store(true);
  // Held while joining, so that a second Stop on another thread also returns only once the thread
  // has ended.
  const std::lock_guard lock(threadMutex_);
  // Closed even without a thread: nothing queued from now on would ever be taken.
  queue_.Close();
  if (!thread_) return;
  thread_->Terminate();
  thread_->Join();
  thread_.reset();
  // A producer sending at once still shares the writer; the rest of a frame it began must go out,
  // or the connection's turn to write would never come back.
  const std::lock_guard sending(sendMutex_);
  FinishOwedFrame();
  // A failed sender has no client left to tell.
  if (!goodbye || failed_.load()) return;
  try {
    writer_.SendReport(binding_.Connection(), true);
  } catch (const std::exception& e) {
    Log(std::string("send goodbye failed, e=") + e.what());
  }
}

void TFrameSender::Enqueue(std::shared_ptr<const TRtpFrame> frame) {
  if (!frame) {
    Log("enqueue failed, e=null package");
    return;
  }
  // Nobody will take it off the queue any more.
  if (!ShouldSend() || SendAtOnce(frame)) return;
  queue_.Offer(std::move(frame));
}

bool TFrameSender::SendAtOnce(const std::shared_ptr<const TRtpFrame>& frame) {
  // UDP sends may block, and the queue's policy decides while the track waits for a key frame.
  TRtpConnection* connection = binding_.Connection();
  if (connection == nullptr || !started_.load() || queue_.WaitingForKeyFrame()) return false;
  const std::unique_lock lock(sendMutex_, std::try_to_lock);
  // The send thread is busy, owes the rest of a frame or has frames waiting: this one goes behind
  // them. A due report goes out from the send thread, in the same write as its frame.
  if (!lock.owns_lock() || owedFrame_ || queue_.Count() > 0 || ReportDue() || !ShouldSend()) {
    return false;
  }
  try {
    if (writer_.SendWithoutWaiting(*frame, *connection)) {
      RecordLatency(*frame);
    } else {
      owedFrame_ = frame;
      owedConnection_ = connection;
      queue_.Wake();
    }
  } catch (const std::exception& e) {
    SendFailed(e);
  }
  return true;
}

void TFrameSender::FinishOwedFrame() {
  if (!owedFrame_) return;
  const std::shared_ptr<const TRtpFrame> frame = std::move(owedFrame_);
  owedFrame_.reset();
  // Also for a sender that failed or stopped meanwhile: only the end of this write gives the
  // connection's turn back. A closed connection ends it at once.
  try {
    writer_.FinishSend(*owedConnection_);
    RecordLatency(*frame);
  } catch (const std::exception& e) {
    SendFailed(e);
  }
}

void TFrameSender::Enqueue(TFramePackage* package) {
  if (!package) {
    Log("enqueue failed, e=null package");
    return;
  }
  const std::unique_ptr<TFramePackage, void (*)(TFramePackage*)> held(
      package, [](TFramePackage* p) { p->Release(); });
  if (!ShouldSend()) return;
  Enqueue(TRtpPacketizer::Packetize(*package));
}

std::unique_ptr<ByeActionInfo> TFrameSender::MarkConnectionLost() {
  // One bye action per sender, however many times the loss is reported.
  if (stopped_.exchange(true)) return nullptr;
  failed_.store(true);
  // Wakes the send thread, which has nothing to send any more.
  queue_.Close();
  auto info = std::make_unique<ByeActionInfo>();
  info->address = writer_.DestAddress();
  info->port = writer_.DestPort();
  info->connectionId = binding_.ConnectionId();
  Log("detect disconnect event, ip=" + info->address + ", port=" + std::to_string(info->port));
  return info;
}

void TFrameSender::SendNext() {
  // The wait holds no lock, so that the producer may send at once meanwhile.
  queue_.Wait(kQueueWaitMs);
  bool idle = false;
  {
    const std::lock_guard sending(sendMutex_);
    idle = !owedFrame_;
    FinishOwedFrame();
    if (const std::shared_ptr<const TRtpFrame> frame = queue_.Take(0)) {
      SendAndReport(*frame, true);
      idle = false;
    } else {
      ReportWhileIdle();
    }
  }
  if (idle) std::this_thread::sleep_for(kIdlePause);
}

bool TFrameSender::ReportDue() const {
  return !reported_ || clock_.MonotonicMicros() >= nextReportMicros_;
}

void TFrameSender::ReportSent() {
  reported_ = true;
  nextReportMicros_ = clock_.MonotonicMicros() + kReportInterval.count();
}

void TFrameSender::ReportWhileIdle() {
  if (!ShouldSend() || !ReportDue()) return;
  try {
    if (writer_.SendReport(binding_.Connection(), false)) ReportSent();
  } catch (const std::exception& e) {
    // A lost report is no reason to stop the stream; a dead connection shows with the next frame.
    Log(std::string("send sender report failed, e=") + e.what());
  }
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

void TFrameSender::SendFrame(const TRtpFrame& frame) {
  const std::lock_guard sending(sendMutex_);
  SendAndReport(frame, false);
}

void TFrameSender::SendAndReport(const TRtpFrame& frame, bool mayReport) {
  try {
    if (writer_.Send(frame, binding_.Connection(), stopped_.load(), mayReport && ReportDue())) {
      ReportSent();
    }
    RecordLatency(frame);
  } catch (const std::exception& e) {
    SendFailed(e);
  }
}

void TFrameSender::RecordLatency(const TRtpFrame& frame) const {
  const TFramePackage& package = frame.Package();
  if (package.CapturedMicros != 0 && package.IsVideo() && ShouldSend()) {
    FrameLatencyLog().Record(package.CapturedMicros, platform::MonotonicMicroseconds());
  }
}

void TFrameSender::SendFailed(const std::exception& e) {
  failed_.store(true);
  Log(std::string(writer_.Stage()) + " send package failed, e=" + e.what());
}
