// Starting and stopping the streaming service as a whole, in the one order that is safe: the RTSP
// service, the UDP server, the live data generator and the publisher. Runs on the main thread.
#pragma once

#include <cstdint>

struct ByeActionInfo;
struct TCameraAccess;

void StartService();
void StopService();
// Moves the RTSP listener to another port and stores it in the settings file. An existing UDP
// server keeps its ports until the service stops.
void ChangeRtspPort(int32_t port);
// Stores who may watch and where to listen, and restarts the whole service on them: viewers let in
// under the old rules must ask again, and the UDP sockets move with the listener. False when the
// settings file could not be written (the new values apply all the same).
bool ChangeCameraAccess(const TCameraAccess& access);
// Ends the session of a client whose connection a sender found lost.
void HandleByeAction(const ByeActionInfo& info);
// Routes the senders' bye actions to the main thread's queue.
void RouteByeActionsToMainThread();
