// A bye action ends the session of a client whose RTSP connection a frame sender found lost. The
// sender notices the loss on the connection's thread, where the session cannot be removed (the
// session owns the sender), so the record travels to the main thread, which looks the session up
// by address and port and removes it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct ByeActionInfo {
  std::string address;
  int port;
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
