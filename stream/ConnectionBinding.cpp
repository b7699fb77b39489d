#include "ConnectionBinding.h"

#include <mutex>
#include <utility>

struct TConnectionBinding::TLink {
  std::mutex mutex;
  TConnectionBinding* binding = nullptr;
};

TConnectionBinding::TConnectionBinding(std::function<std::unique_ptr<ByeActionInfo>()> markLost,
                                       TByeActionPoster& poster)
    : markLost_(std::move(markLost)), poster_(poster) {}

TConnectionBinding::~TConnectionBinding() {
  Unbind();
}

void TConnectionBinding::Bind(TRtpConnection* connection) {
  Unbind();
  connection_.store(connection);
  if (!connection) return;
  connectionId_.store(connection->Id());
  link_ = std::make_shared<TLink>();
  link_->binding = this;
  connection->SetDisconnectHandler([link = link_] {
    std::unique_ptr<ByeActionInfo> info;
    TByeActionPoster* poster = nullptr;
    {
      const std::lock_guard lock(link->mutex);
      if (!link->binding) return;
      info = link->binding->markLost_();
      poster = &link->binding->poster_;
    }
    // Posted outside the lock: a receiver that removes the session right away destroys the
    // sender, whose destructor takes the lock.
    if (info) poster->Post(std::move(info));
  });
}

void TConnectionBinding::Unbind() {
  if (!link_) return;
  {
    const std::lock_guard lock(link_->mutex);
    link_->binding = nullptr;
  }
  link_.reset();
}

void TConnectionBinding::ReportLoss() {
  if (std::unique_ptr<ByeActionInfo> info = markLost_()) poster_.Post(std::move(info));
}
