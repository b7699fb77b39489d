// One RTSP client receiving the stream: its address and port, the RTSP session name, who owns it,
// the frame senders of its tracks, the connection for interleaved transport and a liveness tick.
// Sessions are shared: whichever thread removes one, the others that still hold it keep it alive
// until they let go.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ByeAction.h"
#include "FrameSender.h"
#include "RtpFrame.h"
#include "RtpTransport.h"
#include "capture/FramePackage.h"
#include "platform/Clock.h"

// What sessions use from the rest of the process; shared by every session of one manager.
struct TSessionLinks {
  int32_t fps = 8;  // frame rate of the video track, for the RTP time stamps
  TRtpDatagramSender* datagramSender = nullptr;  // the UDP server's RTP socket
  // Activates the UDP server (first call only) and returns its RTP port.
  std::function<int32_t()> serverRtpPort;
  // Asks the desktop encoder for a key frame.
  std::function<void()> requestKeyFrame;
  TByeActionPoster* byeActionPoster = nullptr;  // null: the process-wide poster
  const platform::TClock* clock = nullptr;      // null: the system clock
  std::function<void(std::string_view)> log;    // empty: LogMessage
};

// Who asks for a session: the client's address, its RTSP connection (TRtpConnection::Id; 0 for
// none) and, when credentials are asked, the user it gave.
struct TSessionOwner {
  std::string address;
  uint64_t connectionId = 0;
  std::string user;
};

class TBaseSession {
 public:
  // A UDP client silent for this long has gone away.
  static constexpr uint32_t kSessionTimeoutMs = 12000;
  // A session set up and never played only holds memory and keeps a sender ready.
  static constexpr uint32_t kUnplayedTimeoutMs = 60000;

  TBaseSession(const TSessionLinks& links, std::string className);
  virtual ~TBaseSession();
  TBaseSession(const TBaseSession&) = delete;
  TBaseSession& operator=(const TBaseSession&) = delete;

  virtual bool OpenSource() = 0;
  virtual void CloseSource() = 0;
  virtual void PrepareSource() = 0;

  // Opens the source and starts the senders; false when the source does not open.
  bool StartStreaming();
  // Closes the source and stops the senders for good.
  void StopStreaming();

  // The client's UDP RTP port and the video destination port; -1 is ignored.
  void SetClientPort(int32_t port);
  // Binds the senders to the client's RTSP connection for interleaved transport (null: UDP).
  void SetConnection(TRtpConnection* connection);
  void EnableAudioTrack();
  bool HasAudioTrack() const;
  int32_t GetServerRtpPort() const;
  // A sign of life from the client.
  void Touch();
  // The video sender failed; or it was never played within kUnplayedTimeoutMs; or, playing over
  // UDP, its client was silent for kSessionTimeoutMs. A playing interleaved session ends with its
  // connection instead.
  bool IsExpired() const;
  // Whether the requester may use the session: from its owner's connection, or, once that
  // connection has gone, from the owner's address with the owner's user (a player that reconnects
  // for PLAY or TEARDOWN), which then becomes the owner.
  bool ClaimFor(const TSessionOwner& requester);
  // The owner's connection has gone; the session waits to be claimed or to expire.
  void OwnerConnectionGone(uint64_t connectionId);
  uint64_t OwnerConnectionId() const { return ownerConnection_.load(); }
  // Bound for interleaved transport to the connection with this Id.
  bool BoundTo(uint64_t connectionId) const {
    return connectionId != 0 && boundConnection_.load() == connectionId;
  }
  // Hands the frame to the sender of its track, which keeps it as long as it needs it.
  void DeliverFrame(const std::shared_ptr<const TRtpFrame>& frame);
  // DeliverFrame of the package cut into payloads for this session alone; the sender takes a
  // reference to the package of its own.
  void DeliverPackage(TFramePackage* package);

  std::string ClientAddress() const;
  int32_t ClientPort() const { return clientPort_.load(); }
  std::string SessionName() const;
  std::string StreamUri() const;
  void SetStreamUri(std::string uri);
  TRtpConnection* Connection() const;
  bool Playing() const { return playing_.load(); }
  const TFrameSender& VideoSender() const { return *videoSender_; }

 protected:
  // Stops the session for good with its log lines, once: when its manager removes it, so that the
  // lines come before whatever the remover logs next rather than whenever the last holder lets
  // go. The concrete class calls it from its destructor as well, for a session never registered,
  // while its own CloseSource can still be called.
  void Shutdown();
  void Log(std::string_view line) const;

 private:
  friend class TBaseSessionManager;
  void SetIdentity(std::string name, TSessionOwner owner);
  // The running sender of the package's track; null when it would not be sent.
  TFrameSender* SenderFor(const TFramePackage& package) const;

  const TSessionLinks links_;  // a copy: a session may outlive its manager
  const platform::TClock& clock_;
  const std::string className_;
  mutable std::mutex lock_;  // guards the strings and the sender pointers
  std::string clientAddress_;
  std::string sessionName_;
  std::string user_;
  std::string streamUri_;
  TRtpConnection* connection_ = nullptr;
  std::atomic<uint64_t> ownerConnection_{0};
  std::atomic<uint64_t> boundConnection_{0};
  std::atomic<int32_t> clientPort_{0};
  std::atomic<bool> playing_{false};
  std::atomic<uint32_t> lastActiveTick_;
  const uint32_t createdTick_;
  std::unique_ptr<TFrameSender> videoSender_;
  std::unique_ptr<TFrameSender> audioSender_;
  std::mutex shutdownLock_;
  bool shutDown_ = false;  // under shutdownLock_
};
