#include "OnvifService.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "OnvifDispatcher.h"
#include "OnvifHttpServer.h"
#include "DiscoveryService.h"
#include "log/ServiceLog.h"
#include "platform/NetworkInterfaces.h"

namespace {

// The host part of a Host header: a bracketed IPv6 literal as it stands, else the text before any
// port. Empty when it holds anything a host name or address cannot, so that nothing a client made
// up ends up in the addresses answered to it.
std::string HostOfHeader(const std::string& header) {
  std::string host = header;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    host = close == std::string::npos ? std::string() : host.substr(0, close + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  const bool clean = std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
  });
  return clean && host.size() <= 253 ? host : std::string();
}

}  // namespace

TOnvifService::TOnvifService(TOnvifLinks links)
    : links_(std::move(links)), dispatcher_(std::make_unique<TOnvifDispatcher>()) {}

TOnvifService::~TOnvifService() {
  Stop();
}

bool TOnvifService::Start() {
  if (IsActive()) return true;
  TOnvifHttpHandlers handlers;
  handlers.soap = [this](const TOnvifHttpRequest& request) { return Answer(request); };
  handlers.snapshot = links_.snapshot;
  handlers.credentials = links_.credentials;
  auto http = std::make_unique<TOnvifHttpServer>(std::move(handlers));
  const std::string where = (links_.bindAddress.empty() ? "0.0.0.0" : links_.bindAddress) + ":" +
                            std::to_string(links_.port);
  if (!http->Start(links_.bindAddress, links_.port)) {
    LogMessage("ONVIF service could not listen on " + where + ": " + http->LastError());
    return false;
  }
  boundPort_.store(http->Port());
  http_ = std::move(http);
  LogMessage("ONVIF service listening on " + where);
  if (links_.discovery) {
    TDiscoveryLinks discovery;
    discovery.identity = links_.identity;
    discovery.httpPort = Port();
    discovery.bindAddress = links_.bindAddress;
    discovery.port = links_.discoveryPort;
    discovery_ = std::make_unique<TDiscoveryService>(std::move(discovery));
    if (!discovery_->Start()) discovery_.reset();
  }
  return true;
}

void TOnvifService::Stop() {
  if (discovery_) {
    discovery_->Stop();
    discovery_.reset();
  }
  if (http_) {
    http_->Stop();
    http_.reset();
    boundPort_.store(0);
    LogMessage("ONVIF service stopped");
  }
}

bool TOnvifService::IsActive() const {
  return http_ != nullptr;
}

std::uint16_t TOnvifService::Port() const {
  const std::uint16_t bound = boundPort_.load();
  return bound != 0 ? bound : links_.port;
}

TOnvifRequestPlace TOnvifService::PlaceOf(const TOnvifHttpRequest& request) const {
  TOnvifRequestPlace place;
  place.localAddress = request.localAddress;
  place.host = HostOfHeader(request.host);
  if (place.host.empty()) place.host = request.localAddress;
  if (const auto interface = platform::InterfaceWithAddress(request.localAddress)) {
    place.interfaceName = interface->name;
    place.mac = interface->mac;
  }
  place.onvifPort = Port();
  place.rtspPort = links_.rtspPort ? links_.rtspPort() : 0;
  place.rtspPath = links_.rtspPath;
  place.snapshotPath = TOnvifHttpServer::kSnapshotPath;
  return place;
}

TSoapAnswer TOnvifService::Answer(const TOnvifHttpRequest& request) {
  TOnvifState state;
  state.identity = links_.identity;
  state.video = links_.video ? links_.video() : TOnvifVideo{};
  state.place = PlaceOf(request);
  state.now = links_.now();
  const TOnvifCredentials credentials = links_.credentials ? links_.credentials() : TOnvifCredentials{};
  return dispatcher_->Dispatch(request.body, credentials, state);
}
