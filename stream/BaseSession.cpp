#include "BaseSession.h"

#include <exception>
#include <utility>

#include "log/ServiceLog.h"

TBaseSession::TBaseSession(const TSessionLinks& links, std::string className)
    : links_(links),
      clock_(links.clock ? *links.clock : platform::SystemClock()),
      className_(std::move(className)),
      lastActiveTick_(clock_.TickCount()),
      createdTick_(lastActiveTick_.load()) {
  TFrameSenderLinks senderLinks;
  senderLinks.datagramSender = links_.datagramSender;
  senderLinks.requestKeyFrame = links_.requestKeyFrame;
  senderLinks.byeActionPoster = links_.byeActionPoster;
  senderLinks.log = links_.log;
  senderLinks.clock = links_.clock;
  videoSender_ = std::make_unique<TFrameSender>(links_.fps, senderLinks);
}

TBaseSession::~TBaseSession() = default;

void TBaseSession::Log(std::string_view line) const {
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}

void TBaseSession::SetIdentity(std::string name, TSessionOwner owner) {
  const std::lock_guard guard(lock_);
  sessionName_ = std::move(name);
  clientAddress_ = std::move(owner.address);
  user_ = std::move(owner.user);
  ownerConnection_.store(owner.connectionId);
}

bool TBaseSession::ClaimFor(const TSessionOwner& requester) {
  const std::lock_guard guard(lock_);
  const uint64_t owner = ownerConnection_.load();
  if (requester.connectionId != 0 && requester.connectionId == owner) return true;
  // While its owner is connected, a session is nobody else's, whatever address they share: two
  // players behind one NAT address are two clients.
  if (owner != 0 || requester.address != clientAddress_ || requester.user != user_) return false;
  ownerConnection_.store(requester.connectionId);
  return true;
}

void TBaseSession::OwnerConnectionGone(uint64_t connectionId) {
  uint64_t expected = connectionId;
  ownerConnection_.compare_exchange_strong(expected, 0);
}

bool TBaseSession::StartStreaming() {
  if (!OpenSource()) {
    Log("open video handle failed");
    return false;
  }
  Log("open video handle ok");
  PrepareSource();
  {
    const std::lock_guard guard(lock_);
    videoSender_->SetDestination(clientAddress_, clientPort_.load());
    videoSender_->Start();
    if (audioSender_) {
      audioSender_->SetSsrc(videoSender_->Ssrc());
      audioSender_->Start();
    }
  }
  playing_.store(true);
  if (links_.requestKeyFrame) links_.requestKeyFrame();
  return true;
}

void TBaseSession::StopStreaming() {
  try {
    CloseSource();
  } catch (const std::exception&) {
    // Closing the source must not keep the senders running.
  }
  if (!playing_.exchange(false)) return;
  videoSender_->Stop();
  TFrameSender* audio = nullptr;
  {
    const std::lock_guard guard(lock_);
    audio = audioSender_.get();
  }
  if (audio) audio->Stop();
}

void TBaseSession::SetClientPort(int32_t port) {
  if (port == -1) return;
  clientPort_.store(port);
  {
    const std::lock_guard guard(lock_);
    videoSender_->SetDestination(clientAddress_, port);
  }
  Log("set port to " + std::to_string(port));
}

void TBaseSession::SetConnection(TRtpConnection* connection) {
  const std::lock_guard guard(lock_);
  connection_ = connection;
  boundConnection_.store(connection ? connection->Id() : 0);
  videoSender_->SetConnection(connection);
  if (audioSender_) audioSender_->SetConnection(connection);
}

void TBaseSession::EnableAudioTrack() {
  const std::lock_guard guard(lock_);
  if (audioSender_) return;
  TFrameSenderLinks senderLinks;
  senderLinks.datagramSender = links_.datagramSender;
  senderLinks.byeActionPoster = links_.byeActionPoster;
  senderLinks.log = links_.log;
  senderLinks.clock = links_.clock;
  audioSender_ = std::make_unique<TFrameSender>(links_.fps, senderLinks);
  audioSender_->ConfigureAudio();
}

bool TBaseSession::HasAudioTrack() const {
  const std::lock_guard guard(lock_);
  return audioSender_ != nullptr;
}

int32_t TBaseSession::GetServerRtpPort() const {
  return links_.serverRtpPort ? links_.serverRtpPort() : 0;
}

void TBaseSession::Touch() {
  lastActiveTick_.store(clock_.TickCount());
}

bool TBaseSession::IsExpired() const {
  if (videoSender_->Failed()) return true;
  const uint32_t now = clock_.TickCount();
  if (!playing_.load()) return platform::TicksElapsed(createdTick_, now) >= kUnplayedTimeoutMs;
  if (Connection() != nullptr) return false;
  return platform::TicksElapsed(lastActiveTick_.load(), now) >= kSessionTimeoutMs;
}

TFrameSender* TBaseSession::SenderFor(const TFramePackage& package) const {
  if (!playing_.load()) return nullptr;
  TFrameSender* sender = nullptr;
  if (package.IsVideo()) {
    sender = videoSender_.get();
  } else if (package.IsAudio()) {
    const std::lock_guard guard(lock_);
    sender = audioSender_.get();
  }
  return sender == nullptr || sender->Failed() ? nullptr : sender;
}

void TBaseSession::DeliverFrame(const std::shared_ptr<const TRtpFrame>& frame) {
  if (!frame) return;
  if (TFrameSender* sender = SenderFor(frame->Package())) sender->Enqueue(frame);
}

void TBaseSession::DeliverPackage(TFramePackage* package) {
  if (package == nullptr) return;
  if (TFrameSender* sender = SenderFor(*package))
    sender->Enqueue(TRtpPacketizer::Packetize(*package));
}

std::string TBaseSession::ClientAddress() const {
  const std::lock_guard guard(lock_);
  return clientAddress_;
}

std::string TBaseSession::SessionName() const {
  const std::lock_guard guard(lock_);
  return sessionName_;
}

std::string TBaseSession::StreamUri() const {
  const std::lock_guard guard(lock_);
  return streamUri_;
}

void TBaseSession::SetStreamUri(std::string uri) {
  const std::lock_guard guard(lock_);
  streamUri_ = std::move(uri);
}

TRtpConnection* TBaseSession::Connection() const {
  const std::lock_guard guard(lock_);
  return connection_;
}

void TBaseSession::Shutdown() {
  // A second caller returns only once the first has finished: the connection thread that ends a
  // session another thread is removing frees the connection right after, so its senders must
  // have stopped writing to it by then.
  const std::lock_guard once(shutdownLock_);
  if (std::exchange(shutDown_, true)) return;
  try {
    Log(className_ + " destroy-->");
    StopStreaming();
    Log("stop");
    // Stopped for good also when it never played, which releases every frame still queued. The
    // sender objects themselves stay until the session goes: other threads may still hold the
    // session and ask its senders.
    videoSender_->Stop();
    TFrameSender* audio = nullptr;
    {
      const std::lock_guard guard(lock_);
      audio = audioSender_.get();
    }
    if (audio) audio->Stop();
    Log("free sender");
    Log("free buffer");
    Log("free session " + SessionName());
  } catch (const std::exception&) {
    // The session goes all the same; what is left is released with the object.
  }
}
