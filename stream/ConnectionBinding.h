// A sender's tie to its client's RTSP connection: which connection interleaved packets go to, and
// what happens when the connection reports its loss. The connection may outlive the sender, or be
// bound to another one by then, so its disconnect handler reaches the sender only through a link
// the binding cuts when it lets go.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "ByeAction.h"
#include "RtpTransport.h"

class TConnectionBinding {
 public:
  // markLost: records the loss in the sender; returns the bye action to post, or null when the
  // loss was already handled. It runs on the connection's thread, or on ReportLoss's caller.
  TConnectionBinding(std::function<std::unique_ptr<ByeActionInfo>()> markLost,
                     TByeActionPoster& poster);
  // Unbinds.
  ~TConnectionBinding();
  TConnectionBinding(const TConnectionBinding&) = delete;
  TConnectionBinding& operator=(const TConnectionBinding&) = delete;

  // Binds to the connection (null unbinds) and registers the loss handling as its disconnect
  // handler. The connection must outlive the binding.
  void Bind(TRtpConnection* connection);
  // From then on, a connection reporting its loss finds nothing to call.
  void Unbind();
  TRtpConnection* Connection() const { return connection_.load(); }
  // The Id of the connection bound last, kept after Unbind so the loss can still name it; 0 when
  // none was ever bound.
  uint64_t ConnectionId() const { return connectionId_.load(); }

  // The connection is gone: marks the loss and posts its one bye action.
  void ReportLoss();

 private:
  struct TLink;

  const std::function<std::unique_ptr<ByeActionInfo>()> markLost_;
  TByeActionPoster& poster_;
  std::atomic<TRtpConnection*> connection_{nullptr};
  std::atomic<uint64_t> connectionId_{0};
  std::shared_ptr<TLink> link_;
};
