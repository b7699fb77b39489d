// The fan-out point between the capture pipeline and the clients: every encoded frame is copied
// once into a shared frame package, cut once into RTP payloads and offered to every attached
// session, whose senders only add their own RTP headers. The channel also keeps
// what it learnt of the stream's codecs for the session description.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

class TBaseSession;

class TLiveChannel {
 public:
  using SessionPtr = std::shared_ptr<TBaseSession>;

  // videoCodec: the configured encoder type, until frames say otherwise.
  explicit TLiveChannel(int32_t videoCodec);

  void AttachSession(const SessionPtr& session);
  void DetachSession(const TBaseSession* session);
  size_t SessionCount() const;

  // frame: a frame header followed by the encoded bytes. Expired sessions are passed over; their
  // manager's sweep removes them.
  void DispatchFrame(std::span<const uint8_t> frame, int64_t capturedMicros = 0);

  // "PCMU/8000" and the like; empty unless the audio codec has a name in the description.
  std::string GetAudioRtpMap() const;
  int32_t VideoCodec() const { return videoCodec_.load(); }
  int32_t AudioCodec() const { return audioCodec_.load(); }
  int32_t AudioSampleBytes() const { return audioSampleBytes_.load(); }
  int32_t AudioBitsPerSample() const { return audioBitsPerSample_.load(); }
  int32_t AudioSampleRate() const { return audioSampleRate_.load(); }

 private:
  void LearnCodec(uint8_t codec, uint8_t audioFormat);

  // Guards the list only; delivery works on a copy, so sessions attach and detach from other
  // threads while a frame is being handed out.
  mutable std::mutex lock_;
  std::vector<SessionPtr> sessions_;
  std::atomic<int32_t> videoCodec_;
  std::atomic<int32_t> audioCodec_{-1};
  std::atomic<int32_t> audioSampleBytes_{0};
  std::atomic<int32_t> audioBitsPerSample_{0};
  std::atomic<int32_t> audioSampleRate_{0};
};

// Channels by name; the system has one, "live".
class TLiveChannelManager {
 public:
  explicit TLiveChannelManager(int32_t videoCodec) : videoCodec_(videoCodec) {}
  static const std::string& LiveChannelName();
  TLiveChannel* GetChannel();
  TLiveChannel& GetOrCreateChannel();

 private:
  const int32_t videoCodec_;
  std::mutex lock_;
  std::map<std::string, std::unique_ptr<TLiveChannel>> channels_;
};
