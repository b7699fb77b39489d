// The camera's ONVIF side as a whole: the SOAP services and snapshot on their HTTP port, and
// WS-Discovery so that recorders find it. Made from plain values and links by the program's
// wiring; nothing here reads the settings.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OnvifCredentials.h"
#include "OnvifState.h"

struct TOnvifHttpRequest;
struct TSoapAnswer;
class TOnvifDispatcher;
class TOnvifHttpServer;
class TDiscoveryService;

struct TOnvifLinks {
  TOnvifIdentity identity;
  std::string bindAddress;  // empty: every interface
  std::uint16_t port = 8000;
  bool discovery = true;
  std::uint16_t discoveryPort = 3702;
  std::string rtspPath = "/live";
  // Each read when a request needs it: the values may change while the service runs.
  std::function<TOnvifCredentials()> credentials;
  std::function<TOnvifVideo()> video;
  std::function<std::uint16_t()> rtspPort;
  // A JPEG of the screen as it is now; nothing when no picture could be taken.
  std::function<std::optional<std::vector<std::uint8_t>>()> snapshot;
  std::function<std::chrono::system_clock::time_point()> now = [] {
    return std::chrono::system_clock::now();
  };
};

class TOnvifService {
 public:
  explicit TOnvifService(TOnvifLinks links);
  // Stops as Stop does.
  ~TOnvifService();
  TOnvifService(const TOnvifService&) = delete;
  TOnvifService& operator=(const TOnvifService&) = delete;

  // Opens the HTTP port, then discovery. False (and one log line) when the HTTP port could not be
  // opened; discovery that cannot start is logged and left off while the rest serves.
  bool Start();
  // Says goodbye on the network and closes both; returns once no request is being answered.
  void Stop();
  bool IsActive() const;
  std::uint16_t Port() const;

  // Where a request came in, as its answers must name it: the host the client used (so NAT and
  // several interfaces work), else the local address, and that address's interface.
  TOnvifRequestPlace PlaceOf(const TOnvifHttpRequest& request) const;

 private:
  TSoapAnswer Answer(const TOnvifHttpRequest& request);

  TOnvifLinks links_;
  std::unique_ptr<TOnvifDispatcher> dispatcher_;
  std::unique_ptr<TOnvifHttpServer> http_;
  std::unique_ptr<TDiscoveryService> discovery_;
  // The port listened on, for the request threads: they may run before Start has stored http_.
  std::atomic<std::uint16_t> boundPort_{0};
};
