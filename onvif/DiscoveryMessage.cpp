#include "DiscoveryMessage.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <random>

#include <pugixml.hpp>

#include "DeviceAnswers.h"
#include "OnvifAnswerXml.h"
#include "SoapAnswer.h"

namespace {

constexpr std::string_view kNetworkNamespace = "http://www.onvif.org/ver10/network/wsdl";
constexpr std::string_view kDeviceNamespace = "http://www.onvif.org/ver10/device/wsdl";
constexpr std::string_view kDefaultMatchBy =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986";
constexpr std::string_view kExactMatchBy =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0";
constexpr std::string_view kDiscoveryAction = "http://schemas.xmlsoap.org/ws/2005/04/discovery/";

constexpr std::string_view kEnvelopeOpen =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<env:Envelope xmlns:env="http://www.w3.org/2003/05/soap-envelope")"
    R"( xmlns:wsa="http://schemas.xmlsoap.org/ws/2004/08/addressing")"
    R"( xmlns:wsd="http://schemas.xmlsoap.org/ws/2005/04/discovery")"
    R"( xmlns:dn="http://www.onvif.org/ver10/network/wsdl")"
    R"( xmlns:tds="http://www.onvif.org/ver10/device/wsdl"><env:Header>)";

std::string_view LocalName(std::string_view qualified) {
  const std::size_t colon = qualified.find(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

pugi::xml_node Child(pugi::xml_node parent, std::string_view localName) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && LocalName(child.name()) == localName) return child;
  }
  return {};
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  for (;;) {
    at = text.find_first_not_of(" \t\r\n", at);
    if (at == std::string_view::npos) return words;
    const std::size_t end = std::min(text.find_first_of(" \t\r\n", at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end;
  }
}

// The namespace a prefix stands for where the node is; nothing when no ancestor declares it.
std::optional<std::string_view> Namespace(pugi::xml_node node, std::string_view prefix) {
  const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
  for (; node; node = node.parent()) {
    if (const pugi::xml_attribute declared = node.attribute(attribute.c_str())) {
      return std::string_view(declared.value());
    }
  }
  return std::nullopt;
}

// A type this camera is. Clients that forget to declare the prefix still mean the ONVIF type
// when they write the prefixes the ONVIF documents use.
bool OurType(pugi::xml_node types, std::string_view qname) {
  const std::size_t colon = qname.find(':');
  const std::string_view prefix = colon == std::string_view::npos ? "" : qname.substr(0, colon);
  const std::string_view local = LocalName(qname);
  const std::optional<std::string_view> space = Namespace(types, prefix);
  if (local == "NetworkVideoTransmitter") {
    return space ? *space == kNetworkNamespace
                 : prefix.empty() || prefix == "dn" || prefix == "tdn";
  }
  if (local == "Device") return space ? *space == kDeviceNamespace : prefix == "tds";
  return false;
}

// Scheme and authority compare without case, the path by whole segments.
std::string Normalized(std::string_view scope) {
  std::string text(scope);
  const std::size_t scheme = text.find("://");
  const std::size_t path =
      scheme == std::string::npos ? 0 : std::min(text.find('/', scheme + 3), text.size());
  std::transform(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(path), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  while (text.size() > path && text.back() == '/') text.pop_back();
  return text;
}

bool ScopeCovers(std::string_view asked, std::string_view ours) {
  const std::string prefix = Normalized(asked);
  const std::string whole = Normalized(ours);
  return whole.starts_with(prefix) &&
         (whole.size() == prefix.size() || whole[prefix.size()] == '/');
}

std::string RandomUuidUrn() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // Uniqueness is all a MessageID needs; the system's generator is enough for that.
    std::random_device device;
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  std::string urn = "urn:uuid:";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) urn.push_back('-');
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    urn += hex;
  }
  return urn;
}

std::string Element(std::string_view name, std::string_view text) {
  std::string element = "<";
  element.append(name).append(">").append(XmlEscaped(text)).append("</").append(name).append(">");
  return element;
}

std::string Message(std::string_view action, std::string_view to, std::string_view relatesTo,
                    TAppSequence sequence, std::string_view body) {
  std::string message(kEnvelopeOpen);
  message += Element("wsa:MessageID", RandomUuidUrn());
  if (!relatesTo.empty()) message += Element("wsa:RelatesTo", relatesTo);
  message += Element("wsa:To", to);
  message += Element("wsa:Action", std::string(kDiscoveryAction) + std::string(action));
  message += "<wsd:AppSequence InstanceId=\"" + std::to_string(sequence.instanceId) +
             "\" MessageNumber=\"" + std::to_string(sequence.messageNumber) + "\"/>";
  message.append("</env:Header><env:Body>").append(body).append("</env:Body></env:Envelope>");
  return message;
}

std::string EndpointReference(const TOnvifIdentity& identity) {
  return "<wsa:EndpointReference>" + Element("wsa:Address", identity.endpointUuid) +
         "</wsa:EndpointReference>";
}

// What a ProbeMatch and a Hello both say of the camera.
std::string Presence(const TOnvifIdentity& identity, std::string_view xaddrs) {
  std::string scopes;
  for (const std::string& scope : OnvifScopes(identity)) {
    if (!scopes.empty()) scopes.push_back(' ');
    scopes += scope;
  }
  return EndpointReference(identity) +
         Element("wsd:Types", "dn:NetworkVideoTransmitter tds:Device") +
         Element("wsd:Scopes", scopes) + Element("wsd:XAddrs", xaddrs) +
         Element("wsd:MetadataVersion", "1");
}

}  // namespace

std::optional<TDiscoveryProbe> ParseDiscoveryProbe(std::string_view datagram) {
  if (datagram.size() > kMaxDiscoveryDatagram) return std::nullopt;
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(datagram.data(), datagram.size(),
                           pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
  if (!parsed) return std::nullopt;
  for (pugi::xml_node node : document.children()) {
    if (node.type() == pugi::node_doctype) return std::nullopt;
  }
  const pugi::xml_node envelope = document.document_element();
  if (LocalName(envelope.name()) != "Envelope") return std::nullopt;
  const pugi::xml_node probe = Child(Child(envelope, "Body"), "Probe");
  if (!probe) return std::nullopt;

  TDiscoveryProbe result;
  const std::vector<std::string> id =
      Words(Child(Child(envelope, "Header"), "MessageID").text().get());
  if (id.size() != 1) return std::nullopt;
  result.messageId = id.front();
  const pugi::xml_node types = Child(probe, "Types");
  const std::vector<std::string> asked = Words(types.text().get());
  result.typesMatch = std::all_of(asked.begin(), asked.end(),
                                  [&](const std::string& type) { return OurType(types, type); });
  const pugi::xml_node scopes = Child(probe, "Scopes");
  result.scopes = Words(scopes.text().get());
  const std::vector<std::string> matchBy = Words(scopes.attribute("MatchBy").value());
  if (!matchBy.empty()) result.matchBy = matchBy.front();
  return result;
}

bool ProbeSelects(const TDiscoveryProbe& probe, const std::vector<std::string>& ourScopes) {
  if (!probe.typesMatch) return false;
  const bool exact = probe.matchBy == kExactMatchBy;
  if (!exact && !probe.matchBy.empty() && probe.matchBy != kDefaultMatchBy) return false;
  return std::all_of(probe.scopes.begin(), probe.scopes.end(), [&](const std::string& asked) {
    return std::any_of(ourScopes.begin(), ourScopes.end(), [&](const std::string& ours) {
      return exact ? asked == ours : ScopeCovers(asked, ours);
    });
  });
}

std::string DeviceServiceAddress(std::string_view address, std::uint16_t port) {
  return "http://" + std::string(address) + ":" + std::to_string(port) + std::string(kDeviceServicePath);
}

std::string ProbeMatchesMessage(std::string_view probeMessageId, const TOnvifIdentity& identity,
                                std::string_view xaddrs, TAppSequence sequence) {
  return Message("ProbeMatches", "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous",
                 probeMessageId, sequence,
                 "<wsd:ProbeMatches><wsd:ProbeMatch>" + Presence(identity, xaddrs) +
                     "</wsd:ProbeMatch></wsd:ProbeMatches>");
}

std::string HelloMessage(const TOnvifIdentity& identity, std::string_view xaddrs,
                         TAppSequence sequence) {
  return Message("Hello", "urn:schemas-xmlsoap-org:ws:2005:04:discovery", {}, sequence,
                 "<wsd:Hello>" + Presence(identity, xaddrs) + "</wsd:Hello>");
}

std::string ByeMessage(const TOnvifIdentity& identity, TAppSequence sequence) {
  return Message("Bye", "urn:schemas-xmlsoap-org:ws:2005:04:discovery", {}, sequence,
                 "<wsd:Bye>" + EndpointReference(identity) + "</wsd:Bye>");
}
