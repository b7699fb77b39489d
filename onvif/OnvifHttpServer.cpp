#include "OnvifHttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>

#include "SameSecret.h"
#include "log/LogSourceScope.h"
#include "log/LogText.h"
#include "log/LogThrottle.h"
#include "log/ServiceLog.h"
#include "platform/Clock.h"

namespace {

constexpr const char* kRealm = "Vistrel";
constexpr const char* kOpaque = "vistrel-snapshot";
constexpr std::string_view kSoapPrefix = "/onvif/";
constexpr const char* kSoapType = "application/soap+xml; charset=utf-8";
// A nonce a client may keep using; after this it is told "stale" and asks for a fresh one.
constexpr unsigned kNonceSeconds = 300;
// Nonces the server remembers with their counts, against replays; one recorder uses a few.
constexpr unsigned kNonceTableSize = 1024;
// Each connection's buffer for the request head and the answer's; the body is kept apart, bounded
// by maxBody. SOAP clients send short heads.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// A body past maxBody is read and dropped up to this many times maxBody, so that the client gets
// its 413; a client sending more is cut off.
constexpr std::size_t kDiscardFactor = 16;

// What one request gathered between the library's calls.
struct TRequestState {
  std::string body;
  std::size_t dropped = 0;
  bool tooLarge = false;
};

std::string AddressText(const sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return {};
  sockaddr_in ipv4{};
  std::memcpy(&ipv4, address, sizeof ipv4);
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) ? text : "";
}

std::string LocalAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return {};
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
  return AddressText(reinterpret_cast<const sockaddr*>(&local));
}

std::string PeerAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return info ? AddressText(info->client_addr) : std::string();
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? value : "";
}

// Strings the library allocated, freed with MHD_free.
struct TMhdText {
  char* text = nullptr;
  explicit TMhdText(char* owned = nullptr) : text(owned) {}
  ~TMhdText() {
    if (text) MHD_free(text);
  }
  TMhdText(const TMhdText&) = delete;
  TMhdText& operator=(const TMhdText&) = delete;
};

struct TResponse {
  MHD_Response* response = nullptr;
  explicit TResponse(std::string_view body)
      : response(MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                 MHD_RESPMEM_MUST_COPY)) {}
  ~TResponse() {
    if (response) MHD_destroy_response(response);
  }
  TResponse(const TResponse&) = delete;
  TResponse& operator=(const TResponse&) = delete;
};

MHD_Result Queue(MHD_Connection* connection, unsigned status, std::string_view body,
                 const char* type = "text/plain; charset=utf-8",
                 const std::pair<const char*, const char*>& extra = {}) {
  const TResponse answer(body);
  if (answer.response == nullptr) return MHD_NO;
  MHD_add_response_header(answer.response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (extra.first) MHD_add_response_header(answer.response, extra.first, extra.second);
  return MHD_queue_response(connection, status, answer.response);
}

enum class TAccess { Granted, Refused, Stale };

}  // namespace

struct TOnvifHttpServer::TImpl {
  TOnvifHttpHandlers handlers;
  TOnvifHttpLimits limits;
  MHD_Daemon* daemon = nullptr;
  std::uint16_t port = 0;
  std::string lastError;
  std::array<unsigned char, 32> nonceSecret{};

  std::mutex reportLock;
  TLogThrottle refusals;        // under reportLock
  TLogThrottle libraryLines;    // under reportLock
  std::string lastLibraryLine;  // under reportLock: why Start failed

  TImpl(TOnvifHttpHandlers h, TOnvifHttpLimits l) : handlers(std::move(h)), limits(l) {}

  void Log(std::string_view line) const {
    if (handlers.log) {
      handlers.log(line);
    } else {
      LogMessage(line);
    }
  }

  // A client can make the library complain at will (broken requests, full connection table).
  void LibraryLine(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::size_t count = 0;
    {
      const std::lock_guard guard(reportLock);
      lastLibraryLine = line;
      count = libraryLines.Count(platform::SystemClock().TickCount());
    }
    if (count == 0) return;
    if (count > 1) line += " (" + std::to_string(count - 1) + " more since the last report)";
    Log("ONVIF HTTP: " + line);
  }

  void ReportRefusal(const std::string& peer, std::string_view why) {
    std::string line;
    {
      const std::lock_guard guard(reportLock);
      // A client guessing passwords must not be able to fill the disk with the log.
      const std::size_t refused = refusals.Count(platform::SystemClock().TickCount());
      if (refused == 0) return;
      line = "ONVIF snapshot: refused credentials from " + peer + " (" + std::string(why) + ")";
      if (refused > 1)
        line += ", " + std::to_string(refused - 1) + " more refused since the last report";
    }
    Log(line);
  }

  MHD_Result Soap(MHD_Connection* connection, const std::string& path, const char* upload,
                  std::size_t* uploadSize, void** state) {
    auto* request = static_cast<TRequestState*>(*state);
    if (request == nullptr) {
      const std::string length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
      char* end = nullptr;
      errno = 0;
      const unsigned long long declared = std::strtoull(length.c_str(), &end, 10);
      if (!length.empty() && (errno == ERANGE || declared > limits.maxBody))
        return Queue(connection, MHD_HTTP_CONTENT_TOO_LARGE, "Request body too large\n");
      *state = new TRequestState;
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      const std::size_t size = std::exchange(*uploadSize, 0);
      if (!request->tooLarge && request->body.size() + size <= limits.maxBody) {
        request->body.append(upload, size);
        return MHD_YES;
      }
      request->tooLarge = true;
      request->body = std::string();
      request->dropped += size;
      return request->dropped <= kDiscardFactor * limits.maxBody ? MHD_YES : MHD_NO;
    }
    if (request->tooLarge)
      return Queue(connection, MHD_HTTP_CONTENT_TOO_LARGE, "Request body too large\n");
    TOnvifHttpRequest soap;
    soap.path = path;
    soap.host = Header(connection, MHD_HTTP_HEADER_HOST);
    soap.localAddress = LocalAddress(connection);
    soap.peerAddress = PeerAddress(connection);
    soap.body = std::move(request->body);
    if (!handlers.soap) return Queue(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "No SOAP service\n");
    const TSoapAnswer answer = handlers.soap(soap);
    return Queue(connection, static_cast<unsigned>(answer.httpStatus), answer.body, kSoapType);
  }

  TAccess Authorize(MHD_Connection* connection, const TOnvifCredentials& credentials,
                    const std::string& peer) {
    if (credentials.user.empty()) {
      ReportRefusal(peer, "no user set up");
      return TAccess::Refused;
    }
    const TMhdText digestUser{MHD_digest_auth_get_username(connection)};
    if (digestUser.text != nullptr) {
      const int verdict =
          MHD_digest_auth_check2(connection, kRealm, credentials.user.c_str(),
                                 credentials.password.c_str(), kNonceSeconds, MHD_DIGEST_ALG_MD5);
      if (verdict == MHD_YES) return TAccess::Granted;
      // An old or unknown nonce is no wrong password: the client just asks again.
      if (verdict == MHD_INVALID_NONCE) return TAccess::Stale;
      ReportRefusal(peer, "digest, user " + LogValue(digestUser.text, 64));
      return TAccess::Refused;
    }
    TMhdText password;
    const TMhdText basicUser{MHD_basic_auth_get_username_password(connection, &password.text)};
    if (basicUser.text == nullptr) return TAccess::Refused;  // a first try without credentials
    if (!credentials.allowClearText) {
      ReportRefusal(peer, "clear-text password not allowed");
      return TAccess::Refused;
    }
    // Both compared whatever the first gives, so the time tells nothing about which was wrong.
    const bool userMatches = SameSecret(basicUser.text, credentials.user);
    const bool passwordMatches =
        SameSecret(password.text ? password.text : "", credentials.password);
    if (userMatches && passwordMatches) return TAccess::Granted;
    ReportRefusal(peer, "basic, user " + LogValue(basicUser.text, 64));
    return TAccess::Refused;
  }

  MHD_Result Snapshot(MHD_Connection* connection) {
    const std::string peer = PeerAddress(connection);
    const TOnvifCredentials credentials =
        handlers.credentials ? handlers.credentials() : TOnvifCredentials{};
    const TAccess access = Authorize(connection, credentials, peer);
    if (access != TAccess::Granted) {
      const TResponse answer("Unauthorized\n");
      if (answer.response == nullptr) return MHD_NO;
      MHD_add_response_header(answer.response, MHD_HTTP_HEADER_CONTENT_TYPE,
                              "text/plain; charset=utf-8");
      if (credentials.allowClearText)
        MHD_add_response_header(answer.response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                "Basic realm=\"Vistrel\"");
      return MHD_queue_auth_fail_response2(connection, kRealm, kOpaque, answer.response,
                                           access == TAccess::Stale ? MHD_YES : MHD_NO,
                                           MHD_DIGEST_ALG_MD5);
    }
    const std::optional<std::vector<std::uint8_t>> picture =
        handlers.snapshot ? handlers.snapshot() : std::nullopt;
    if (!picture) return Queue(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "No picture available\n");
    const std::string_view bytes(reinterpret_cast<const char*>(picture->data()), picture->size());
    return Queue(connection, MHD_HTTP_OK, bytes, "image/jpeg",
                 {MHD_HTTP_HEADER_CACHE_CONTROL, "no-store"});
  }

  MHD_Result Answer(MHD_Connection* connection, const char* url, const char* method,
                    const char* upload, std::size_t* uploadSize, void** state) {
    const std::string path = url ? url : "";
    const std::string_view verb = method ? method : "";
    const TLogSourceScope source(PeerAddress(connection));
    const bool soapPath = path.starts_with(kSoapPrefix) && path != TOnvifHttpServer::kSnapshotPath;
    if (soapPath && verb == MHD_HTTP_METHOD_POST)
      return Soap(connection, path, upload, uploadSize, state);
    // The rest is answered on the library's first call; a body it brings is never read.
    if (path == TOnvifHttpServer::kSnapshotPath) {
      if (verb == MHD_HTTP_METHOD_GET || verb == MHD_HTTP_METHOD_HEAD) return Snapshot(connection);
      return Queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n",
                   "text/plain; charset=utf-8", {MHD_HTTP_HEADER_ALLOW, "GET, HEAD"});
    }
    if (soapPath)
      return Queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "SOAP requests are POSTed\n",
                   "text/plain; charset=utf-8", {MHD_HTTP_HEADER_ALLOW, "POST"});
    return Queue(connection, MHD_HTTP_NOT_FOUND, "Not found\n");
  }

  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/, const char* upload,
                              std::size_t* uploadSize, void** state) {
    auto& impl = *static_cast<TImpl*>(self);
    try {
      return impl.Answer(connection, url, method, upload, uploadSize, state);
    } catch (const std::exception& error) {
      impl.Log(std::string("ONVIF HTTP: request failed, E:") + error.what());
    } catch (...) {
      impl.Log("ONVIF HTTP: request failed");
    }
    try {
      return Queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "Internal error\n");
    } catch (...) {
      return MHD_NO;
    }
  }

  static void OnCompleted(void* /*self*/, MHD_Connection* /*connection*/, void** state,
                          MHD_RequestTerminationCode /*why*/) {
    delete static_cast<TRequestState*>(*state);
    *state = nullptr;
  }

  static void OnLibraryLine(void* self, const char* format, va_list arguments) {
    char text[512];
    if (std::vsnprintf(text, sizeof text, format, arguments) < 0) return;
    try {
      static_cast<TImpl*>(self)->LibraryLine(text);
    } catch (...) {
      // A line lost is better than a library thread ended.
    }
  }
};

TOnvifHttpServer::TOnvifHttpServer(TOnvifHttpHandlers handlers, TOnvifHttpLimits limits)
    : impl_(std::make_unique<TImpl>(std::move(handlers), limits)) {}

TOnvifHttpServer::~TOnvifHttpServer() {
  Stop();
}

bool TOnvifHttpServer::Start(const std::string& bindAddress, std::uint16_t port) {
  Stop();
  TImpl& impl = *impl_;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && ::inet_pton(AF_INET, bindAddress.c_str(), &address.sin_addr) != 1) {
    impl.lastError = "not an IPv4 address: " + LogValue(bindAddress, 64);
    return false;
  }
  // Nonces are signed with it; a fresh one each start makes earlier nonces stale.
  if (RAND_bytes(impl.nonceSecret.data(), static_cast<int>(impl.nonceSecret.size())) != 1) {
    impl.lastError = "no random bytes for the nonces";
    return false;
  }
  {
    const std::lock_guard guard(impl.reportLock);
    impl.lastLibraryLine.clear();
  }
  // A thread per connection: the handlers block (a snapshot takes a screen capture), and the
  // connection limits bound the threads.
  const auto flags =
      static_cast<unsigned>(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                            MHD_USE_POLL | MHD_USE_ITC | MHD_USE_ERROR_LOG);
  impl.daemon = MHD_start_daemon(
      // The logger first: the library reports options it cannot take to whichever logger it has.
      flags, port, nullptr, nullptr, &TImpl::OnRequest, &impl, MHD_OPTION_EXTERNAL_LOGGER,
      &TImpl::OnLibraryLine, &impl, MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<const sockaddr*>(&address), MHD_OPTION_NOTIFY_COMPLETED, &TImpl::OnCompleted, &impl,
      MHD_OPTION_CONNECTION_LIMIT, impl.limits.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      impl.limits.connectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, impl.limits.timeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_DIGEST_AUTH_RANDOM,
      impl.nonceSecret.size(), impl.nonceSecret.data(), MHD_OPTION_NONCE_NC_SIZE, kNonceTableSize,
      MHD_OPTION_END);
  if (impl.daemon == nullptr) {
    const std::lock_guard guard(impl.reportLock);
    impl.lastError =
        impl.lastLibraryLine.empty() ? "the HTTP library did not start" : impl.lastLibraryLine;
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(impl.daemon, MHD_DAEMON_INFO_BIND_PORT);
  impl.port = info ? info->port : port;
  impl.lastError.clear();
  return true;
}

void TOnvifHttpServer::Stop() {
  if (impl_->daemon == nullptr) return;
  MHD_stop_daemon(std::exchange(impl_->daemon, nullptr));
  impl_->port = 0;
}

std::uint16_t TOnvifHttpServer::Port() const {
  return impl_->port;
}

std::string TOnvifHttpServer::LastError() const {
  return impl_->lastError;
}
