// The live sessions: clients of the one live channel. A live session is attached to the channel
// when it is registered and detached when it is removed.
#pragma once

#include <memory>

#include "BaseSession.h"
#include "BaseSessionManager.h"
#include "LiveChannel.h"

class TLiveSession : public TBaseSession {
 public:
  explicit TLiveSession(const TSessionLinks& links) : TBaseSession(links, "TLiveSession") {}
  ~TLiveSession() override { Shutdown(); }

  // The desktop stream is always there to be opened.
  bool OpenSource() override { return true; }
  void CloseSource() override {}
  void PrepareSource() override {}
};

class TLiveSessionManager : public TBaseSessionManager {
 public:
  TLiveSessionManager(TSessionLinks links, TLiveChannelManager& channels,
                      TSessionLimits limits = {});
  // Detaches every session from the channel, so the channel never holds on to a session of a
  // manager that is gone.
  ~TLiveSessionManager() override;

  void RemoveSession(const SessionPtr& session) override;

 protected:
  SessionPtr CreateSession() override;
  void SessionAttached(const SessionPtr& session) override;

 private:
  TLiveChannelManager& channels_;
};

