#include "LiveSession.h"



TLiveSessionManager::TLiveSessionManager(TSessionLinks links, TLiveChannelManager& channels,
                                         TSessionLimits limits)
    : TBaseSessionManager(std::move(links), limits), channels_(channels) {}

TLiveSessionManager::~TLiveSessionManager() {
  // Before the sessions go: a sweep still running would call this manager's RemoveSession.
  StopSweeping();
  RemoveAllSessions();
}

TBaseSessionManager::SessionPtr TLiveSessionManager::CreateSession() {
  return std::make_shared<TLiveSession>(Links());
}

void TLiveSessionManager::SessionAttached(const SessionPtr& session) {
  TBaseSessionManager::SessionAttached(session);
  TLiveChannel& channel = channels_.GetOrCreateChannel();
  channel.AttachSession(session);
  // Attaching runs outside the registry's lock; a session removed in between must not linger.
  if (FindSessionByName(session->SessionName()) != session) {
    channel.DetachSession(session.get());
  }
}

void TLiveSessionManager::RemoveSession(const SessionPtr& session) {
  if (!session) return;
  channels_.GetOrCreateChannel().DetachSession(session.get());
  TBaseSessionManager::RemoveSession(session);
}

