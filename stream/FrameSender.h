// Sends the frames of one track of one session as RTP packets, interleaved on the client's RTSP
// connection or as UDP datagrams. The producer (the live data generator's thread) queues frames
// through Enqueue; the sender's own thread sends them, so a slow client holds up only its own
// queue. A frame for an interleaved client that keeps up goes straight into its connection from
// the producer's thread instead: waking a thread per viewer and frame would cost more than the
// send. What the connection does not take at once is left to the send thread. The frames arrive
// already cut into payloads (TRtpPacketizer), once for every viewer; the sender only adds its own
// RTP headers. The send thread also sends the track's RTCP sender reports: the first right after
// the first packet, then every kReportInterval; stopping a sender that sent says goodbye.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ByeAction.h"
#include "ConnectionBinding.h"
#include "FrameQueue.h"
#include "FrameSendThread.h"
#include "RtpFrame.h"
#include "RtpFrameWriter.h"
#include "RtpPacketizer.h"
#include "RtpTransport.h"
#include "capture/FramePackage.h"
#include "platform/Clock.h"

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
  // The wall clock of the sender reports and the clock frame capture times are taken on. Null:
  // the system clock. Must outlive the sender.
  const platform::TClock* clock = nullptr;
};

class TFrameSender {
 public:
  static constexpr size_t kMaxRtpPayload = TRtpPacketizer::kMaxRtpPayload;
  static constexpr int32_t kQueueCapacity = 100;
  static constexpr uint8_t kVideoPayloadType = 96;
  static constexpr uint8_t kAudioPayloadType = 0;
  static constexpr uint8_t kVideoChannel = 0;
  static constexpr uint8_t kAudioChannel = 2;
  static constexpr int32_t kAudioTimestampStep = 267;
  static constexpr std::chrono::microseconds kReportInterval = std::chrono::seconds(5);

  // A video sender. fps (1 to 90000, std::invalid_argument otherwise) sets the time-stamp step of
  // the 90 kHz RTP clock.
  TFrameSender(int32_t fps, TFrameSenderLinks links);
  // Stops the sender; frames still queued are released.
  ~TFrameSender();
  TFrameSender(const TFrameSender&) = delete;
  TFrameSender& operator=(const TFrameSender&) = delete;

  // Turns a new sender into the audio track's sender. Audio travels only interleaved: the session
  // has one client port, so an audio sender has no UDP destination and drops what it cannot send
  // on a connection. Ignored once the sender has started.
  void ConfigureAudio();
  // The client's UDP address and port, also named in the bye action.
  void SetDestination(std::string address, int32_t port);
  void SetSsrc(uint32_t ssrc) { writer_.SetSsrc(ssrc); }
  // Binds the sender to a client's RTSP connection (null unbinds it) and registers the sender's
  // loss handling as the connection's disconnect handler. The connection must outlive the binding;
  // the handler may outlive the sender and then does nothing.
  void SetConnection(TRtpConnection* connection) { binding_.Bind(connection); }

  // Starts the send thread with the sequence number reset to 0. Does nothing while the thread
  // runs, and on a stopped or failed sender: neither state is ever cleared.
  void Start();
  // Ends the send thread and waits for it, then says goodbye (RTCP BYE) to the client if the
  // sender had started, sent and not failed. Callable from any thread but the send thread; a
  // stopped sender stays stopped.
  void Stop();

  // Queues a shared frame, or sends it at once when nothing is waiting and the connection takes it
  // without waiting; from one producer thread at a time. A video sender drops frames until a key
  // frame comes, and again after the queue overflowed.
  void Enqueue(std::shared_ptr<const TRtpFrame> frame);
  // Takes over one reference to package and queues it, cut into payloads for this sender alone.
  void Enqueue(TFramePackage* package);

  // The client's connection is gone: the sender stops, counts as failed and posts one bye action.
  void ConnectionLost() { binding_.ReportLoss(); }

  // Sends one frame on the calling thread. The send thread is its caller while it runs; without
  // a thread, callers may send synchronously. A failure marks the sender failed and is logged,
  // never thrown.
  void SendFrame(const TRtpFrame& frame);
  // SendFrame of the package cut into payloads for this sender alone.
  void SendPackage(TFramePackage& package) { SendFrame(*TRtpPacketizer::Packetize(package)); }

  uint32_t Ssrc() const { return writer_.Ssrc(); }
  // RTP packets and payload bytes sent so far, as the sender reports tell them.
  uint32_t PacketCount() const { return writer_.PacketCount(); }
  uint32_t OctetCount() const { return writer_.OctetCount(); }
  // The RTP time stamp of the next frame and the sequence number of the next packet.
  uint32_t Timestamp() const { return writer_.Timestamp(); }
  uint16_t SequenceNumber() const { return writer_.SequenceNumber(); }
  int32_t TimestampStep() const { return writer_.Track().timestampStep; }
  uint8_t PayloadType() const { return writer_.Track().payloadType; }
  uint8_t InterleavedChannel() const { return writer_.Track().interleavedChannel; }
  bool IsAudio() const { return writer_.Track().audio; }
  bool Failed() const { return failed_.load(); }
  bool Stopped() const { return stopped_.load(); }
  bool WaitKeyFrame() const { return queue_.WaitingForKeyFrame(); }
  bool Running() const;
  int32_t QueuedPackages() const { return queue_.Count(); }
  std::string DestAddress() const { return writer_.DestAddress(); }
  int32_t DestPort() const { return writer_.DestPort(); }

 private:
  bool ShouldSend() const { return !failed_.load() && !stopped_.load(); }
  void SendNext();
  // Sends the frame on the producer's thread when that needs no waiting; false when it must be
  // queued instead.
  bool SendAtOnce(const std::shared_ptr<const TRtpFrame>& frame);
  // The rest of the frame SendAtOnce left to the send thread. Under sendMutex_.
  void FinishOwedFrame();
  void RecordLatency(const TRtpFrame& frame) const;
  void SendFailed(const std::exception& e);
  // Sends the frame, with a sender report behind it when one is due and mayReport.
  void SendAndReport(const TRtpFrame& frame, bool mayReport);
  bool ReportDue() const;
  void ReportSent();
  // A due report while no frame comes; send thread only.
  void ReportWhileIdle();
  void StopSending(bool goodbye);
  void SendThreadEnded();
  std::unique_ptr<ByeActionInfo> MarkConnectionLost();
  void Log(std::string_view text) const;

  const TFrameSenderLinks links_;
  const platform::TClock& clock_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> stopped_{false};
  TRtpFrameWriter writer_;
  TFrameQueue queue_;
  TConnectionBinding binding_;

  mutable std::mutex threadMutex_;
  std::unique_ptr<TFrameSendThread> thread_;
  std::atomic<bool> started_{false};

  // Held by whoever uses the writer: the send thread, or the producer sending at once. The send
  // thread takes a frame off the queue only while holding it, so a frame sent at once never
  // overtakes a queued one.
  std::mutex sendMutex_;
  // Under sendMutex_: the frame whose rest the writer owes, kept alive for the write, and the
  // connection it began on; whether a report went out, and when the next one is due.
  std::shared_ptr<const TRtpFrame> owedFrame_;
  TRtpConnection* owedConnection_ = nullptr;
  bool reported_ = false;
  int64_t nextReportMicros_ = 0;
};
