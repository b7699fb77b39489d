// Datagrams as anyone on the network may send them to the discovery port, multicast or not.
//
// What a probe reads as must be usable as it stands: a MessageID of one word, and an answer
// relating to it that reads back as XML with the same MessageID, whatever the probe held.
// Nothing longer than the discovery limit is read as a probe.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "onvif/DiscoveryMessage.h"
#include "onvif/DeviceAnswers.h"
#include "fuzz/FuzzCheck.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  const std::optional<TDiscoveryProbe> probe = ParseDiscoveryProbe(datagram);
  if (!probe) return 0;
  Check(size <= kMaxDiscoveryDatagram, "an over-long datagram was read");
  Check(!probe->messageId.empty(), "a probe without a MessageID");
  Check(probe->messageId.find_first_of(" \t\r\n") == std::string::npos, "a MessageID of words");

  TOnvifIdentity identity;
  identity.name = probe->messageId;  // the name goes out as a scope: escaped twice over
  identity.endpointUuid = "urn:uuid:5b0c6b80-0d1e-4f7e-9a53-2f3c1c7d9e11";
  [[maybe_unused]] const bool selects = ProbeSelects(*probe, OnvifScopes(identity));
  const std::string answer =
      ProbeMatchesMessage(probe->messageId, identity, "http://192.0.2.1:8080/", {1, 1});
  pugi::xml_document document;
  Check(static_cast<bool>(document.load_buffer(answer.data(), answer.size())),
        "the answer is no XML");
  const std::string_view relatesTo =
      document.child("env:Envelope").child("env:Header").child_value("wsa:RelatesTo");
  Check(relatesTo == probe->messageId, "the answer relates to another MessageID");
  return 0;
}
