// The one place where the process's long-lived objects are made from the settings and joined
// together. Everything below app/ is handed plain values and small links; only this file reads the
// process-wide Settings() to make them.
#pragma once

#include <memory>

#include "rtsp/RtspServlets.h"

class TDesktopEncoder;
class TLiveChannelManager;
class TLiveSessionManager;
class TRTSPUDPServer;
class TRTSPService;

// The process's desktop encoder, created on first use from the settings, the encoder binding, the
// screen and the log; safe to call first from several threads at once. Never destroyed: the
// generator thread may still be polling while the process ends.
TDesktopEncoder& DesktopEncoder();

// The process's channel manager, created on first use with the configured encoder type and kept
// until the process ends.
TLiveChannelManager& LiveChannelManager();

// The process's session manager, created on first use with the settings, UDP server and desktop
// encoder; creating it installs its TouchEndpoint as the UDP server's datagram listener. Holders
// keep it alive past FreeLiveSessionManager.
std::shared_ptr<TLiveSessionManager> LiveSessionManager();
// The process's session manager if there is one; never creates it.
std::shared_ptr<TLiveSessionManager> CurrentLiveSessionManager();
// Empties the datagram listener slot, then stops and lets go of every session.
void FreeLiveSessionManager();

// The process's UDP server on the RTSP port of the settings as read when it is created, created on
// first use. FreeRtspUdpServer destroys it (closing both sockets); the next RtspUdpServer call
// creates a new one, on the port set by then.
TRTSPUDPServer& RtspUdpServer();
void FreeRtspUdpServer();

// What the program's RTSP handlers, and the publisher beside them, use of the live stream.
TRtspServletLinks ProcessServletLinks();

// The process's RTSP service with the program's handlers, created on first use (inactive, port
// 9554).
TRTSPService& RtspService();
// Destroys the process's service if there is one, with the session manager and every session.
void FreeRtspService();

// The live data generator feeding the desktop encoder into the live channel for the sessions of
// the process's session manager. Starting does nothing while it runs; it captures only while
// sessions exist. Stopping waits for its thread.
void StartLivePipeline();
void StopLivePipeline();
