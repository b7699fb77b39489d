// The ONVIF port's HTTP server (libmicrohttpd): SOAP requests posted to any path under /onvif/,
// and the snapshot picture behind HTTP Digest or Basic. Bounded like the RTSP side: the body's
// size, the connections in all and per address, and the time a request may take.
//
// What a client meets: a POST under /onvif/ with a body over maxBody gets 413 (at once when its
// Content-Length says so, else once the body is over, which is dropped as it comes, and a client
// sending over 16 times maxBody is cut off); other methods there get 405, as do methods but GET and
// HEAD on the snapshot, and other paths 404. The snapshot without valid credentials gets 401 with
// a Digest (MD5) challenge, plus a Basic one when clear text is allowed; a stale nonce is told so.
// A handler that throws gets 500. Refused credentials are logged at most once a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OnvifCredentials.h"
#include "SoapAnswer.h"

struct TOnvifHttpRequest {
  std::string path;
  std::string host;          // the Host header as sent, port included; empty when missing
  std::string localAddress;  // the local IPv4 address the connection came in on
  std::string peerAddress;
  std::string body;
};

struct TOnvifHttpLimits {
  std::size_t maxBody = 64 * 1024;  // longer bodies get 413 without being read further
  unsigned maxConnections = 64;
  unsigned connectionsPerAddress = 16;
  unsigned timeoutSeconds = 10;  // an idle or slow connection is closed after this
};

struct TOnvifHttpHandlers {
  // A POST under /onvif/; runs on the server's threads.
  std::function<TSoapAnswer(const TOnvifHttpRequest&)> soap;
  // A JPEG of the screen as it is now, for a GET of the snapshot path once the client proved who
  // it is; nothing when no picture could be taken (503).
  std::function<std::optional<std::vector<std::uint8_t>>()> snapshot;
  // Read for each request: the Camera Access dialog may change them while the server runs.
  std::function<TOnvifCredentials()> credentials;
  // Refused credentials and the HTTP library's own complaints; empty: LogMessage.
  std::function<void(std::string_view)> log;
};

class TOnvifHttpServer {
 public:
  static constexpr const char* kSnapshotPath = "/onvif/snapshot.jpg";

  TOnvifHttpServer(TOnvifHttpHandlers handlers, TOnvifHttpLimits limits = {});
  // Stops the server and waits for its threads.
  ~TOnvifHttpServer();
  TOnvifHttpServer(const TOnvifHttpServer&) = delete;
  TOnvifHttpServer& operator=(const TOnvifHttpServer&) = delete;

  // Listens on one local IPv4 address (empty: every address) and port (0: one the system
  // chooses). False when it could not (port in use, no such address); LastError says why.
  bool Start(const std::string& bindAddress, std::uint16_t port);
  void Stop();
  std::uint16_t Port() const;
  std::string LastError() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};
