// A bye action ends the sessions bound to an RTSP connection that a frame sender found lost. The
// sender notices the loss on the connection's thread, where the session cannot be removed (the
// session owns the sender), so the record travels to the main thread, which removes exactly the
// sessions bound to that connection. Address and port only say in the log who it was: another
// client may use the same port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct ByeActionInfo {
  std::string address;
  int port;
  uint64_t connectionId = 0;  // TRtpConnection::Id of the lost connection
};

class TByeActionPoster {
 public:
  virtual ~TByeActionPoster() = default;
  // Takes ownership of info; callable from any thread, returns without waiting for the receiver.
  virtual void Post(std::unique_ptr<ByeActionInfo> info) = 0;
};

// The process-wide poster. The main window installs the receiver that queues each record to its
// own thread; until then (and after it is removed) records are logged and freed.
class TProcessByeActionPoster : public TByeActionPoster {
 public:
  using Receiver = std::function<void(std::unique_ptr<ByeActionInfo>)>;

  // An empty receiver removes the current one. Returns once no Post is still calling the earlier
  // receiver, so its owner may be destroyed afterwards. The receiver must not call SetReceiver.
  void SetReceiver(Receiver receiver);
  void Post(std::unique_ptr<ByeActionInfo> info) override;

 private:
  std::mutex mutex_;
  Receiver receiver_;
};

// Created on first use and never destroyed, so a sender's thread still running at process exit
// finds it alive.
TProcessByeActionPoster& ByeActionPoster();
