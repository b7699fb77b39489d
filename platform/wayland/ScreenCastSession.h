// A Wayland compositor shows its screen to no client directly: a screen-cast session with it (the
// desktop portal, or GNOME's own interface on a headless GNOME) hands out a PipeWire node that
// carries the picture. One session serves every capture of the process, since asking the portal
// again would ask the user again.
#pragma once

#include <cstdint>
#include <string>

namespace platform::wayland {

enum class TCastStatus {
  Ok,
  // The conversation with the compositor is under way (the user may be looking at the prompt).
  Pending,
  // The user declined, or there is nobody to ask (no portal): not asked again until Renew.
  Refused,
  // Something broke (a bus error, no answer in time); the next Node after a second starts over.
  Failed,
};

// A node to read. The file descriptor belongs to the receiver, who closes it.
struct TCastNode {
  TCastStatus status = TCastStatus::Failed;
  // A PipeWire remote of the session's own (the portal's OpenPipeWireRemote); -1 means the user's
  // default PipeWire daemon.
  int remoteFd = -1;
  std::uint32_t node = 0;
  // True: the pointer is drawn into the pixels; false: it comes as cursor metadata, for the
  // reader to draw.
  bool cursorEmbedded = false;
  // The stream's size as the session announced it; 0 when it did not say.
  int width = 0;
  int height = 0;
  // Why the status is not Ok, in English, for the log.
  std::string error;
};

class TScreenCastSession {
 public:
  virtual ~TScreenCastSession() = default;

  // Never blocks for long: starts the conversation in the background unless it runs or has
  // ended, and tells where it stands. Each Ok call hands out a fresh duplicate of the remote's
  // file descriptor. Safe to call from several threads.
  virtual TCastNode Node() = 0;

  // Ends the session and forgets a refusal: the next Node starts a new conversation. Called when
  // the node's stream ended (monitor off, compositor restart) and when the user asks to be asked
  // again.
  virtual void Renew() = 0;
};

}  // namespace platform::wayland
