// Which screen capture the process uses, chosen once from [System] Capture and the kind of session
// it runs in: X11, or on Wayland the desktop portal (or GNOME's own interface) with PipeWire. On
// Wayland one screen-cast session serves the stream and the ONVIF snapshots alike, so the user is
// asked at most once, and its restore token is saved so that the next start asks nobody.
#pragma once

#include <memory>
#include <string_view>

#include "config/Settings.h"
#include "platform/ScreenCapture.h"

enum class TCaptureBackend { X11, Portal, Mutter };

// Auto takes the portal in a Wayland session (XDG_SESSION_TYPE "wayland", or WAYLAND_DISPLAY set
// while the session type says nothing else) and X11 otherwise.
TCaptureBackend ChooseCaptureBackend(TCaptureChoice choice, std::string_view sessionType,
                                     std::string_view waylandDisplay);

// A new capture of the process's screen. The first call chooses the backend (with a log line) and,
// on Wayland, starts the screen-cast session, so the portal asks while the user is likely there.
std::unique_ptr<platform::TScreenCapture> CreateProcessScreenCapture();

// Whether the user declined to share the screen, or no portal could ask: the tray says so.
bool ScreenSharingRefused();
// Forgets a refusal and asks again at once.
void AskForScreenSharingAgain();

// Whether there is a screen to show windows on: an X display, or a Wayland compositor's socket.
bool WindowsReachable();
