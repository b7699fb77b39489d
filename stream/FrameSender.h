// Turns the frame packages of one track of one session into RTP packets and sends them, interleaved
// on the client's RTSP connection or as UDP datagrams. The producer (the live data generator's
// thread) queues packages through Enqueue; the sender's own thread packetises and sends them, so a
// slow client holds up only its own queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "BuffStream.h"
#include "ByeAction.h"
#include "RtpTransport.h"
#include "capture/FramePackage.h"
#include "capture/ObjectBlockingQueue.h"

class TFrameSendThread;

// What a sender uses from the rest of the process.
struct TFrameSenderLinks {
  // The UDP server's RTP socket; null for a sender that only ever sends interleaved.
  TRtpDatagramSender* datagramSender = nullptr;
  // Asks the desktop encoder for a key frame; runs on the producer's thread. May be empty.
  std::function<void()> requestKeyFrame;
  // Null: the process-wide ByeActionPoster(). Must outlive the sender.
  TByeActionPoster* byeActionPoster = nullptr;
  // Empty: LogMessage.
  std::function<void(std::string_view)> log;
  // How long a key frame offered to a full queue may hold up the producer. The producer feeds
  // every session, and a client that stopped reading would make it wait at every key frame, so by
  // default it does not wait: the key frame is dropped and the track waits for the next one.
  std::chrono::milliseconds keyFrameWait{0};
};

class TFrameSender {
 public:
  // Payload bytes per RTP packet, FU indicator and FU header not counted: 12 + 2 + 1400 bytes
  // stay below the Ethernet MTU.
  static constexpr size_t kMaxRtpPayload = 1400;
  static constexpr int32_t kQueueCapacity = 100;
  static constexpr uint8_t kVideoPayloadType = 96;
  static constexpr uint8_t kAudioPayloadType = 0;
  static constexpr uint8_t kVideoChannel = 0;
  static constexpr uint8_t kAudioChannel = 2;
  static constexpr int32_t kAudioTimestampStep = 267;

  // A video sender. fps (1 to 90000, std::invalid_argument otherwise) sets the time-stamp step of
  // the 90 kHz RTP clock.
  TFrameSender(int32_t fps, TFrameSenderLinks links);
  // Stops the sender; packages still queued are released.
  ~TFrameSender();
  TFrameSender(const TFrameSender&) = delete;
  TFrameSender& operator=(const TFrameSender&) = delete;

  // Turns a new sender into the audio track's sender. Audio travels only interleaved: the session
  // has one client port, so an audio sender has no UDP destination and drops what it cannot send
  // on a connection. Ignored once the sender has started.
  void ConfigureAudio();
  // The client's UDP address and port, also named in the bye action.
  void SetDestination(std::string address, int32_t port);
  void SetSsrc(uint32_t ssrc);
  // Binds the sender to a client's RTSP connection (null unbinds it) and registers the sender's
  // loss handling as the connection's disconnect handler. The connection must outlive the binding;
  // the handler may outlive the sender and then does nothing.
  void SetConnection(TRtpConnection* connection);

  // Starts the send thread with the sequence number reset to 0. Does nothing while the thread
  // runs, and on a stopped or failed sender: neither state is ever cleared.
  void Start();
  // Ends the send thread and waits for it. Callable from any thread but the send thread; a stopped
  // sender stays stopped.
  void Stop();

  // Takes over one reference to package, from one producer thread at a time. A video sender
  // drops packages until a key frame comes, and again after the queue overflowed.
  void Enqueue(TFramePackage* package);

  // The client's connection is gone: the sender stops, counts as failed and posts one bye action.
  void ConnectionLost();

  // Packetises and sends one package on the calling thread. The send thread is its caller while it
  // runs; without a thread, callers may send synchronously. A failure marks the sender failed and
  // is logged, never thrown.
  void SendPackage(const TFramePackage& package);

  uint32_t Ssrc() const { return ssrc_.load(std::memory_order_relaxed); }
  // The RTP time stamp of the next frame and the sequence number of the next packet.
  uint32_t Timestamp() const { return timestamp_.load(std::memory_order_relaxed); }
  uint16_t SequenceNumber() const { return sequenceNumber_.load(std::memory_order_relaxed); }
  int32_t TimestampStep() const { return timestampStep_; }
  uint8_t PayloadType() const { return payloadType_; }
  uint8_t InterleavedChannel() const { return interleavedChannel_; }
  bool IsAudio() const { return audio_; }
  bool Failed() const { return failed_.load(); }
  bool Stopped() const { return stopped_.load(); }
  bool WaitKeyFrame() const { return waitKeyFrame_.load(); }
  bool Running() const;
  int32_t QueuedPackages() const { return queue_.Count(); }
  std::string DestAddress() const;
  int32_t DestPort() const;

 private:
  friend class TFrameSendThread;
  struct TDisconnectLink;

  // The step in progress, named in the failure log line. Numbers are kept apart from the text so
  // that the send loop does not format strings that are only read when something fails.
  struct TStage {
    const char* text = "";
    int64_t size = -1;
    int64_t remain = -1;
  };

  // Send thread side.
  bool ShouldSend() const { return !failed_.load() && !stopped_.load(); }
  void SendNext();
  void SendThreadEnded();

  void DropPackage(TFramePackage* package, std::string_view why);
  std::unique_ptr<ByeActionInfo> MarkConnectionLost();
  void DetachFromConnection();
  void Log(std::string_view text) const;

  void SendH264Frame(std::span<const uint8_t> frame);
  void SendNalUnit(std::span<const uint8_t> nalUnit);
  void SendRtpPacket(std::span<const uint8_t> piece, bool first, bool last, bool single,
                     uint8_t nalHeader);
  void SendChunked(std::span<const uint8_t> data, bool frameEnd);
  void WriteRtpHeader(bool marker);
  void SendBuffer(std::span<const uint8_t> packet);
  void SetStage(const char* text, int64_t size = -1, int64_t remain = -1);
  std::string StageText() const;

  const TFrameSenderLinks links_;
  TByeActionPoster& byeActionPoster_;

  std::atomic<uint32_t> ssrc_;
  std::atomic<uint32_t> timestamp_;
  std::atomic<uint16_t> sequenceNumber_{0};
  // Fixed before the thread starts.
  int32_t timestampStep_;
  uint8_t payloadType_ = kVideoPayloadType;
  uint8_t interleavedChannel_ = kVideoChannel;
  bool audio_ = false;

  mutable std::mutex destinationMutex_;
  std::string destAddress_;
  int32_t destPort_ = 0;

  std::atomic<TRtpConnection*> connection_{nullptr};
  std::shared_ptr<TDisconnectLink> disconnectLink_;

  std::atomic<bool> failed_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> waitKeyFrame_{true};

  // Send thread only.
  bool currentIsKey_ = false;
  TStage stage_;
  TBuffStream packet_{kMaxRtpPayload + 16};
  TBuffStream frame_{kMaxRtpPayload + 20};
  std::string udpAddress_;
  bool dropLogged_ = false;

  TObjectBlockingQueue queue_{kQueueCapacity};
  mutable std::mutex threadMutex_;
  std::unique_ptr<TFrameSendThread> thread_;
};
