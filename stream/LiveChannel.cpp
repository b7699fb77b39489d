#include "LiveChannel.h"

#include <algorithm>

#include "BaseSession.h"
#include "capture/FrameHeader.h"
#include "capture/FramePackage.h"
#include "log/ServiceLog.h"
#include "RtpPacketizer.h"

namespace {

struct AudioFormat {
  int32_t sampleBytes, bitsPerSample, sampleRate;
};

// Audio sample formats by the header's format byte.
constexpr AudioFormat kAudioFormats[] = {
    {1, 8, 8000}, {2, 16, 8000}, {1, 8, 16000}, {2, 16, 16000}};

// Releases the channel's own reference however delivery ends.
struct PackageReference {
  TFramePackage* package;
  ~PackageReference() { package->Release(); }
};

}  // namespace

TLiveChannel::TLiveChannel(int32_t videoCodec) : videoCodec_(videoCodec) {}

void TLiveChannel::AttachSession(const SessionPtr& session) {
  if (!session) return;
  const std::lock_guard guard(lock_);
  if (std::find(sessions_.begin(), sessions_.end(), session) == sessions_.end()) {
    sessions_.push_back(session);
  }
}

void TLiveChannel::DetachSession(const TBaseSession* session) {
  const std::lock_guard guard(lock_);
  std::erase_if(sessions_, [session](const SessionPtr& s) { return s.get() == session; });
}

size_t TLiveChannel::SessionCount() const {
  const std::lock_guard guard(lock_);
  return sessions_.size();
}

void TLiveChannel::LearnCodec(uint8_t codec, uint8_t audioFormat) {
  if (codec >= 1 && codec <= 6) {
    videoCodec_.store(codec);
  } else if (codec >= 128 && codec <= 130) {
    audioCodec_.store(codec);
    if (audioFormat >= 1 && audioFormat <= 4) {
      const AudioFormat& f = kAudioFormats[audioFormat - 1];
      audioSampleBytes_.store(f.sampleBytes);
      audioBitsPerSample_.store(f.bitsPerSample);
      audioSampleRate_.store(f.sampleRate);
    } else {
      audioSampleBytes_.store(0);
    }
  }
}

void TLiveChannel::DispatchFrame(std::span<const uint8_t> frame, int64_t capturedMicros) {
  const std::optional<TFrameHeader> header = ReadFrameHeader(frame);
  if (!header) return;  // shorter than a header: nothing to learn, nothing to send
  if (IsValidFrameHeader(*header)) LearnCodec(header->VideoCodec, header->AudioFormat);

  std::vector<SessionPtr> sessions;
  {
    const std::lock_guard guard(lock_);
    if (sessions_.empty()) return;
    sessions = sessions_;
  }
  const auto payload = FramePayload(frame, *header);
  if (!payload) {
    LogMessage("frame length " + std::to_string(header->DataLen) + " exceeds the frame, dropped");
    return;
  }
  TFramePackage* package = TFramePackage::Create(*payload);
  const PackageReference reference{package};
  package->Track = 1;
  package->Codec = header->VideoCodec;
  package->FrameType = header->FrameType;
  package->CapturedMicros = capturedMicros;
  // Cut into payloads here, once, for every session: each sender only adds its own headers.
  const std::shared_ptr<const TRtpFrame> rtpFrame = TRtpPacketizer::Packetize(*package);
  for (const SessionPtr& session : sessions) {
    if (!session->IsExpired()) session->DeliverFrame(rtpFrame);
  }
}

std::string TLiveChannel::GetAudioRtpMap() const {
  const int32_t codec = audioCodec_.load();
  const char* name = codec == 129 ? "PCMU" : codec == 130 ? "PCMA" : nullptr;
  if (name == nullptr) return "";
  return std::string(name) + "/" + std::to_string(audioSampleRate_.load());
}

const std::string& TLiveChannelManager::LiveChannelName() {
  static const std::string name = "live";
  return name;
}

TLiveChannel* TLiveChannelManager::GetChannel() {
  const std::lock_guard guard(lock_);
  const auto found = channels_.find(LiveChannelName());
  return found == channels_.end() ? nullptr : found->second.get();
}

TLiveChannel& TLiveChannelManager::GetOrCreateChannel() {
  const std::lock_guard guard(lock_);
  std::unique_ptr<TLiveChannel>& channel = channels_[LiveChannelName()];
  if (!channel) channel = std::make_unique<TLiveChannel>(videoCodec_);
  return *channel;
}

