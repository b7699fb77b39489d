#include "DeviceAnswers.h"

#include <chrono>
#include <cstdio>
#include <string_view>

#include "MediaAnswers.h"
#include "OnvifAnswerXml.h"

namespace {

// The version of the device and media services these answers follow.
constexpr int kVersionMajor = 2;
constexpr int kVersionMinor = 5;
// The interface's prefix and MTU are not part of the state; a /24 on Ethernet is what nearly
// every network a recorder shares with a desktop has, and recorders only show these values.
constexpr int kPrefixLength = 24;
constexpr int kMtu = 1500;

TSoapAnswer Response(std::string_view operation, std::string_view innerXml) {
  return SoapResponse(Element("tds:" + std::string(operation) + "Response", innerXml));
}

std::string VersionXml(std::string_view element) {
  return Element(
      element, NumberElement("tt:Major", kVersionMajor) + NumberElement("tt:Minor", kVersionMinor));
}

std::string DeviceServiceCapabilitiesXml() {
  // Only WS-Security UsernameToken is claimed: the dispatcher checks that before any answer.
  return R"(<tds:Capabilities><tds:Network IPFilter="false" ZeroConfiguration="false")"
         R"( IPVersion6="false" DynDNS="false" Dot11Configuration="false")"
         R"( HostnameFromDHCP="false" NTP="0"/><tds:Security TLS1.0="false" TLS1.1="false")"
         R"( TLS1.2="false" OnboardKeyGeneration="false" AccessPolicyConfig="false")"
         R"( DefaultAccessPolicy="false" Dot1X="false" RemoteUserHandling="false")"
         R"( X.509Token="false" SAMLToken="false" KerberosToken="false" UsernameToken="true")"
         R"( HttpDigest="false" RELToken="false"/><tds:System DiscoveryResolve="false")"
         R"( DiscoveryBye="false" RemoteDiscovery="false" SystemBackup="false")"
         R"( SystemLogging="false" FirmwareUpgrade="false" HttpFirmwareUpgrade="false")"
         R"( HttpSystemBackup="false" HttpSystemLogging="false")"
         R"( HttpSupportInformation="false"/></tds:Capabilities>)";
}

std::string ServiceXml(std::string_view ns, const std::string& xaddr,
                       const std::string* capabilities) {
  std::string inner = TextElement("tds:Namespace", ns) + TextElement("tds:XAddr", xaddr);
  if (capabilities) inner += Element("tds:Capabilities", *capabilities);
  return Element("tds:Service", inner + VersionXml("tds:Version"));
}

std::string DateTimeXml(std::string_view element, std::chrono::system_clock::time_point now) {
  const auto day = std::chrono::floor<std::chrono::days>(now);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{std::chrono::floor<std::chrono::seconds>(now - day)};
  return Element(element,
                 Element("tt:Time", NumberElement("tt:Hour", time.hours().count()) +
                                        NumberElement("tt:Minute", time.minutes().count()) +
                                        NumberElement("tt:Second", time.seconds().count())) +
                     Element("tt:Date", NumberElement("tt:Year", int{date.year()}) +
                                            NumberElement("tt:Month", unsigned{date.month()}) +
                                            NumberElement("tt:Day", unsigned{date.day()})));
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// A scope is a URI: every byte of the name outside the unreserved set is %XX, so a space, a
// slash or a non-ASCII letter cannot split or break it.
std::string PercentEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      out += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> OnvifScopes(const TOnvifIdentity& identity) {
  return {"onvif://www.onvif.org/Profile/Streaming", "onvif://www.onvif.org/type/video_encoder",
          "onvif://www.onvif.org/name/" + PercentEscaped(identity.name),
          "onvif://www.onvif.org/hardware/" + PercentEscaped(identity.hardwareId)};
}

std::string HostLabel(const std::string& name) {
  std::string label;
  for (const char c : name) {
    // Every other byte, a hyphen included, is a separator, so that runs collapse to one hyphen
    // and none is left at either end.
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte) && c != '-' && c != '.' && c != '_' && c != '~') {
      label += c;
    } else if (!label.empty() && label.back() != '-') {
      label += '-';
    }
  }
  if (label.size() > 63) label.resize(63);
  while (!label.empty() && label.back() == '-') label.pop_back();
  return label.empty() ? "vistrel" : label;
}

TSoapAnswer AnswerDeviceServiceCapabilities(const TSoapRequest&, const TOnvifState&) {
  return Response("GetServiceCapabilities", DeviceServiceCapabilitiesXml());
}

TSoapAnswer AnswerGetSystemDateAndTime(const TSoapRequest&, const TOnvifState& state) {
  // The clock is the desktop's, kept by its own system; clients read it to date their tokens, so
  // it goes out in UTC and the local time is the same.
  std::string inner = TextElement("tt:DateTimeType", "Manual");
  inner += TextElement("tt:DaylightSavings", "false");
  inner += Element("tt:TimeZone", TextElement("tt:TZ", "GMT0"));
  inner += DateTimeXml("tt:UTCDateTime", state.now);
  inner += DateTimeXml("tt:LocalDateTime", state.now);
  return Response("GetSystemDateAndTime", Element("tds:SystemDateAndTime", inner));
}

TSoapAnswer AnswerGetServices(const TSoapRequest& request, const TOnvifState& state) {
  const std::string include = request.Argument("IncludeCapability");
  const bool withCapabilities = include == "true" || include == "1";
  const std::string device = DeviceServiceCapabilitiesXml();
  const std::string media = MediaServiceCapabilitiesXml();
  // Only the two services answered here: a recorder that sees Media2, events or PTZ announced
  // calls them and gives up on the camera when they fail.
  return Response("GetServices",
                  ServiceXml(kDeviceNamespace, HttpUrl(state.place, kDeviceServicePath),
                             withCapabilities ? &device : nullptr) +
                      ServiceXml(kMediaNamespace, HttpUrl(state.place, kMediaServicePath),
                                 withCapabilities ? &media : nullptr));
}

TSoapAnswer AnswerGetCapabilities(const TSoapRequest& request, const TOnvifState& state) {
  bool device = true;
  bool media = true;
  bool named = false;
  for (const auto& [name, value] : request.arguments) {
    if (name != "Category") continue;
    if (!named) device = media = false;
    named = true;
    device = device || value == "All" || value == "Device";
    media = media || value == "All" || value == "Media";
  }
  if (!device && !media) {
    return OnvifFault("env:Receiver", "ter:ActionNotSupported", "ter:NoSuchService",
                      "The camera has only the device and media services");
  }
  std::string inner;
  if (device) {
    std::string system =
        TextElement("tt:DiscoveryResolve", "false") + TextElement("tt:DiscoveryBye", "false") +
        TextElement("tt:RemoteDiscovery", "false") + TextElement("tt:SystemBackup", "false") +
        TextElement("tt:SystemLogging", "false") + TextElement("tt:FirmwareUpgrade", "false") +
        VersionXml("tt:SupportedVersions");
    std::string security;
    for (const char* name :
         {"tt:TLS1.1", "tt:TLS1.2", "tt:OnboardKeyGeneration", "tt:AccessPolicyConfig",
          "tt:X.509Token", "tt:SAMLToken", "tt:KerberosToken", "tt:RELToken"}) {
      security += TextElement(name, "false");
    }
    inner += Element("tt:Device",
                     TextElement("tt:XAddr", HttpUrl(state.place, kDeviceServicePath)) +
                         Element("tt:Network", TextElement("tt:IPFilter", "false") +
                                                   TextElement("tt:ZeroConfiguration", "false") +
                                                   TextElement("tt:IPVersion6", "false") +
                                                   TextElement("tt:DynDNS", "false")) +
                         Element("tt:System", system) +
                         Element("tt:IO", NumberElement("tt:InputConnectors", 0) +
                                              NumberElement("tt:RelayOutputs", 0)) +
                         Element("tt:Security", security));
  }
  if (media) {
    inner += Element("tt:Media", TextElement("tt:XAddr", HttpUrl(state.place, kMediaServicePath)) +
                                     Element("tt:StreamingCapabilities",
                                             TextElement("tt:RTPMulticast", "false") +
                                                 TextElement("tt:RTP_TCP", "true") +
                                                 TextElement("tt:RTP_RTSP_TCP", "true")));
  }
  return Response("GetCapabilities", Element("tds:Capabilities", inner));
}

TSoapAnswer AnswerGetDeviceInformation(const TSoapRequest&, const TOnvifState& state) {
  const TOnvifIdentity& id = state.identity;
  return Response("GetDeviceInformation", TextElement("tds:Manufacturer", id.manufacturer) +
                                              TextElement("tds:Model", id.model) +
                                              TextElement("tds:FirmwareVersion", id.firmware) +
                                              TextElement("tds:SerialNumber", id.serial) +
                                              TextElement("tds:HardwareId", id.hardwareId));
}

TSoapAnswer AnswerGetNetworkInterfaces(const TSoapRequest&, const TOnvifState& state) {
  const TOnvifRequestPlace& place = state.place;
  // HwAddress is required; an interface without one (a tunnel) shows zeros.
  const std::string mac = place.mac.empty() ? "00:00:00:00:00:00" : place.mac;
  std::string inner = TextElement("tt:Enabled", "true");
  inner += Element("tt:Info", TextElement("tt:Name", place.interfaceName) +
                                  TextElement("tt:HwAddress", mac) + NumberElement("tt:MTU", kMtu));
  inner += Element(
      "tt:IPv4",
      TextElement("tt:Enabled", "true") +
          Element("tt:Config",
                  Element("tt:Manual", TextElement("tt:Address", place.localAddress) +
                                           NumberElement("tt:PrefixLength", kPrefixLength)) +
                      TextElement("tt:DHCP", "false")));
  return Response("GetNetworkInterfaces", "<tds:NetworkInterfaces token=\"" +
                                              XmlEscaped(place.interfaceName) + "\">" + inner +
                                              "</tds:NetworkInterfaces>");
}

TSoapAnswer AnswerGetScopes(const TSoapRequest&, const TOnvifState& state) {
  std::string inner;
  for (const std::string& scope : OnvifScopes(state.identity)) {
    inner += Element("tds:Scopes",
                     TextElement("tt:ScopeDef", "Fixed") + TextElement("tt:ScopeItem", scope));
  }
  return Response("GetScopes", inner);
}

TSoapAnswer AnswerGetHostname(const TSoapRequest&, const TOnvifState& state) {
  return Response("GetHostname",
                  Element("tds:HostnameInformation",
                          TextElement("tt:FromDHCP", "false") +
                              TextElement("tt:Name", HostLabel(state.identity.name))));
}

TSoapAnswer AnswerGetDNS(const TSoapRequest&, const TOnvifState&) {
  return Response("GetDNS", Element("tds:DNSInformation", TextElement("tt:FromDHCP", "false")));
}

TSoapAnswer AnswerGetNTP(const TSoapRequest&, const TOnvifState&) {
  return Response("GetNTP", Element("tds:NTPInformation", TextElement("tt:FromDHCP", "false")));
}

TSoapAnswer AnswerGetNetworkDefaultGateway(const TSoapRequest&, const TOnvifState&) {
  return Response("GetNetworkDefaultGateway", "<tds:NetworkGateway/>");
}

TSoapAnswer AnswerGetNetworkProtocols(const TSoapRequest&, const TOnvifState& state) {
  const auto protocol = [](std::string_view name, int port) {
    return Element("tds:NetworkProtocols", TextElement("tt:Name", name) +
                                               TextElement("tt:Enabled", "true") +
                                               NumberElement("tt:Port", port));
  };
  return Response("GetNetworkProtocols",
                  protocol("HTTP", state.place.onvifPort) + protocol("RTSP", state.place.rtspPort));
}

TSoapAnswer AnswerGetDiscoveryMode(const TSoapRequest&, const TOnvifState&) {
  return Response("GetDiscoveryMode", TextElement("tds:DiscoveryMode", "Discoverable"));
}

TSoapAnswer AnswerGetEndpointReference(const TSoapRequest&, const TOnvifState& state) {
  return Response("GetEndpointReference", TextElement("tds:GUID", state.identity.endpointUuid));
}
