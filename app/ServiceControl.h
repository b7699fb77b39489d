// Starting and stopping the streaming service as a whole, in the one order that is safe: the RTSP
// service, the UDP server and the live data generator. Runs on the main thread.
#pragma once

#include <cstdint>

struct ByeActionInfo;
struct TCameraAccess;

void StartService();
void StopService();
// Moves the RTSP listener to another port and stores it in the settings file. An existing UDP
// server keeps its ports until the service stops.
void ChangeRtspPort(int32_t port);
// Stores who may watch and where to listen in the settings file, and restarts the listener on the
// new address.
void ChangeCameraAccess(const TCameraAccess& access);
// Ends the session of a client whose connection a sender found lost.
void HandleByeAction(const ByeActionInfo& info);
// Routes the senders' bye actions to the main thread's queue.
void RouteByeActionsToMainThread();
