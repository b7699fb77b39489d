#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <mutex>
#include <string>
#include <vector>

#include "onvif/DiscoveryMessage.h"
#include "onvif/DeviceAnswers.h"
#include "onvif/DiscoveryService.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FreeLoopbackPort.h"
#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

namespace {

const std::string kId = "urn:uuid:0a6dc791-2be6-4991-9af1-454778a1917a";

// A probe as clients write it: prefixes s/a/d with the namespaces in `declarations` added to the
// envelope, and the Types and Scopes elements given whole.
std::string Probe(const std::string& declarations, const std::string& filters,
                  const std::string& id = kId) {
  return R"(<?xml version="1.0" encoding="utf-8"?><s:Envelope)"
         R"( xmlns:s="http://www.w3.org/2003/05/soap-envelope")"
         R"( xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing")"
         R"( xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" )" +
         declarations + "><s:Header><a:MessageID> " + id +
         " </a:MessageID><a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe"
         "</a:Action></s:Header><s:Body><d:Probe>" +
         filters + "</d:Probe></s:Body></s:Envelope>";
}

TOnvifIdentity Identity(const std::string& name, const std::string& uuid) {
  TOnvifIdentity identity;
  identity.name = name;
  identity.endpointUuid = uuid;
  return identity;
}

const std::string kDn = R"(xmlns:dn="http://www.onvif.org/ver10/network/wsdl")";

TEST(DiscoveryProbe, ReadsTheFormsClientsSend) {
  const struct {
    const char* what;
    std::string datagram;
    bool probe;
    bool selects;
  } cases[] = {
      {"dn declared", Probe(kDn, "<d:Types>dn:NetworkVideoTransmitter</d:Types>"), true, true},
      {"tdn undeclared", Probe("", "<d:Types>tdn:NetworkVideoTransmitter</d:Types>"), true, true},
      {"other prefix declared",
       Probe(R"(xmlns:x="http://www.onvif.org/ver10/network/wsdl")",
             "<d:Types>x:NetworkVideoTransmitter</d:Types>"),
       true, true},
      {"no Types", Probe("", ""), true, true},
      {"empty Types", Probe("", "<d:Types/>"), true, true},
      {"device and transmitter",
       Probe(kDn, "<d:Types>dn:NetworkVideoTransmitter\n tds:Device</d:Types>"), true, true},
      {"dn bound elsewhere",
       Probe(R"(xmlns:dn="urn:printers")", "<d:Types>dn:NetworkVideoTransmitter</d:Types>"), true,
       false},
      {"another type", Probe(kDn, "<d:Types>dn:NetworkVideoTransmitter p:Printer</d:Types>"), true,
       false},
      {"scope by segments",
       Probe("", "<d:Scopes>ONVIF://www.onvif.org/name/ onvif://www.onvif.org/Profile</d:Scopes>"),
       true, true},
      {"scope half a segment", Probe("", "<d:Scopes>onvif://www.onvif.org/nam</d:Scopes>"), true,
       false},
      {"scope exactly",
       Probe("",
             "<d:Scopes MatchBy=\"http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0\">"
             "onvif://www.onvif.org/name/Desk%20%26%20Co</d:Scopes>"),
       true, true},
      {"unknown match rule", Probe("", R"(<d:Scopes MatchBy="urn:x">onvif://x</d:Scopes>)"), true,
       false},
      {"no MessageID", Probe("", "", ""), false, false},
      {"a Hello", HelloMessage(Identity("Desk", kId), "http://h/", {1, 1}), false, false},
      {"garbage", std::string("\0\xff<s:Envelope", 14), false, false},
      {"doctype", "<!DOCTYPE s [<!ENTITY e \"x\">]>" + Probe("", "").substr(38), false, false},
      {"oversized", Probe("", "<!--" + std::string(kMaxDiscoveryDatagram, ' ') + "-->"), false,
       false},
  };
  const std::vector<std::string> ours = OnvifScopes(Identity("Desk & Co", kId));
  for (const auto& test : cases) {
    const std::optional<TDiscoveryProbe> probe = ParseDiscoveryProbe(test.datagram);
    ASSERT_EQ(probe.has_value(), test.probe) << test.what;
    if (!probe) continue;
    EXPECT_EQ(probe->messageId, kId) << test.what;
    EXPECT_EQ(ProbeSelects(*probe, ours), test.selects) << test.what;
  }
}

TEST(DiscoveryMessage, AnswersAreWellFormedWithEveryValueEscaped) {
  const TOnvifIdentity identity = Identity("Desk <&> \"Co\"", "urn:uuid:<&>");
  const std::string answers[] = {ProbeMatchesMessage("urn:<&>", identity, "http://h:1/x", {7, 1}),
                                 HelloMessage(identity, "http://h:1/x", {7, 2}),
                                 ByeMessage(identity, {7, 3})};
  std::vector<std::string> ids;
  for (const std::string& answer : answers) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(answer.c_str())) << answer;
    const pugi::xml_node header = document.child("env:Envelope").child("env:Header");
    ids.push_back(header.child_value("wsa:MessageID"));
    EXPECT_EQ(header.child("wsd:AppSequence").attribute("InstanceId").as_uint(), 7u);
    EXPECT_EQ(document.select_node("//wsa:Address").node().child_value(), identity.endpointUuid);
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(answers[0].find("<wsa:RelatesTo>urn:&lt;&amp;&gt;</wsa:RelatesTo>"), std::string::npos);
  EXPECT_NE(answers[1].find("onvif://www.onvif.org/name/Desk%20%3C%26%3E%20%22Co%22 "),
            std::string::npos);
}

TEST(DiscoveryService, AnswersAProbeWithTheAddressItCameToWithinItsLimits) {
  FakeClock clock;
  LineLog log;
  const std::uint16_t port = FreeLoopbackPort();
  TDiscoveryService service({.identity = Identity("Desk", "urn:uuid:1"),
                             .httpPort = 8080,
                             .port = port,
                             .log = log.Sink(),
                             .clock = &clock});
  ASSERT_TRUE(service.Start()) << testing::PrintToString(log.Lines());

  std::mutex lock;
  std::vector<std::string> answers;
  platform::TUdpSocket client(
      0, [&](std::span<const std::uint8_t> bytes, const std::string&, std::uint16_t) {
        const std::lock_guard guard(lock);
        answers.emplace_back(bytes.begin(), bytes.end());
      });
  ASSERT_TRUE(client.Open("127.0.0.1"));
  const auto answered = [&] {
    const std::lock_guard guard(lock);
    return answers.size();
  };
  const std::string probe = Probe(kDn, "<d:Types>dn:NetworkVideoTransmitter</d:Types>");
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(probe.data()),
                                            probe.size());
  // The sender's burst is answered, the rest of the flood not, until its share grows again; the
  // answer after that shows that every probe before it was dealt with.
  for (std::uint32_t i = 0; i < 3 * TDiscoveryService::kAnswerBurstPerSender; ++i)
    ASSERT_TRUE(client.SendTo("127.0.0.1", port, bytes));
  ASSERT_TRUE(WaitUntil([&] { return log.Count("WS-Discovery left a probe") == 1; }));
  clock.tick += 1000 / TDiscoveryService::kAnswersPerSenderPerSecond;
  ASSERT_TRUE(client.SendTo("127.0.0.1", port, bytes));
  ASSERT_TRUE(WaitUntil([&] { return answered() > TDiscoveryService::kAnswerBurstPerSender; }));
  const std::lock_guard guard(lock);
  EXPECT_EQ(answers.size(), TDiscoveryService::kAnswerBurstPerSender + 1);
  EXPECT_NE(answers[0].find("<wsd:XAddrs>http://127.0.0.1:8080/onvif/device_service</wsd:XAddrs>"),
            std::string::npos);
  EXPECT_NE(answers[0].find("<wsa:RelatesTo>" + kId + "</wsa:RelatesTo>"), std::string::npos);

  TDiscoveryService second({.port = port, .log = log.Sink()});
  EXPECT_TRUE(second.Start()) << "the port is shared among discovery services";
  TDiscoveryService blocked({.port = client.Port(), .log = log.Sink()});
  EXPECT_FALSE(blocked.Start());
  EXPECT_EQ(log.Count("WS-Discovery off: bind UDP port " + std::to_string(client.Port())), 1u);
}

}  // namespace
