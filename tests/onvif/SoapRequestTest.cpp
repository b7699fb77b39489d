// Envelopes as recorders write them, and bodies no recorder should send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "onvif/SoapRequest.h"

namespace {

constexpr const char* kSoap = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kMedia = "http://www.onvif.org/ver10/media/wsdl";

std::string Args(const TSoapRequest& request) {
  std::string text;
  for (const auto& [name, value] : request.arguments) text += name + "=" + value + ";";
  return text;
}

TEST(SoapRequest, ReadsEveryEnvelopeFormAndRefusesTheRest) {
  const std::string s = std::string(" xmlns:s=\"") + kSoap + "\"";
  const std::string getProfiles = std::string("<GetProfiles xmlns=\"") + kMedia + "\"/>";
  struct Case {
    std::string body, operation, ns, args = {}, why = {};
  };
  const std::vector<Case> cases = {
      {"<s:Envelope" + s + "><s:Header/><s:Body>" + getProfiles + "</s:Body></s:Envelope>",
       "GetProfiles", kMedia},
      {std::string("<soap-env:Envelope xmlns:soap-env=\"") + kSoap + "\"><soap-env:Body>" +
           getProfiles + "</soap-env:Body></soap-env:Envelope>",
       "GetProfiles", kMedia},
      {std::string("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") + kSoap + "\" xmlns:trt=\"" + kMedia +
           "\"><SOAP-ENV:Body><trt:GetProfiles/></SOAP-ENV:Body></SOAP-ENV:Envelope>",
       "GetProfiles", kMedia},
      {std::string("<Envelope xmlns=\"") + kSoap + "\"><Body><GetProfiles/></Body></Envelope>",
       "GetProfiles", kSoap},
      {"<s:Envelope\r\n" + s + "\n  xmlns:trt=\"" + kMedia + "\"\n><s:Body\n><trt:GetStreamUri\n>" +
           "<trt:StreamSetup><tt:Stream xmlns:tt=\"t\">RTP-Unicast</tt:Stream><tt:Transport>" +
           "<tt:Protocol>\n RTSP </tt:Protocol></tt:Transport></trt:StreamSetup><trt:ProfileToken" +
           "><![CDATA[main]]></trt:ProfileToken\n></trt:GetStreamUri></s:Body></s:Envelope>",
       "GetStreamUri", kMedia, "Stream=RTP-Unicast;Protocol=RTSP;ProfileToken=main;"},
      {"", "", "", "", "empty"},
      {std::string(kMaxSoapBody + 1, ' '), "", "", "", "more than the 65536 read"},
      {"GET / HTTP/1.1", "", "", "", "not XML: No document element found at byte"},
      {"<s:Envelope" + s + "><s:Body>", "", "", "", "not XML: Start-end tags mismatch"},
      {"<html/>", "", "", "", "not a SOAP envelope"},
      {"<s:Envelope" + s + "><s:Header/></s:Envelope>", "", "", "", "no Body"},
      {"<s:Envelope" + s + "><s:Body> x </s:Body></s:Envelope>", "", "", "", "no operation"},
      {"<!DOCTYPE s:Envelope [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><s:Envelope" + s +
           "><s:Body><a>&e;</a></s:Body></s:Envelope>",
       "", "", "", "document type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 120));
    std::string why;
    const std::optional<TSoapRequest> request = ParseSoapRequest(c.body, &why);
    ASSERT_EQ(request.has_value(), !c.operation.empty()) << why;
    if (!request) {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
      continue;
    }
    EXPECT_EQ(request->operation, c.operation);
    EXPECT_EQ(request->operationNamespace, c.ns);
    EXPECT_EQ(Args(*request), c.args);
    EXPECT_FALSE(request->token);
  }
}

TEST(SoapRequest, ReadsTheTokenAndBoundsTheArguments) {
  std::string body =
      "<Envelope><Header><wsse:Security><wsse:UsernameToken><wsse:Username>admin</wsse:Username>"
      "<wsse:Password>pw</wsse:Password><wsse:Nonce>bm9uY2U=</wsse:Nonce><wsu:Created>"
      "2026-12-09T11:22:33Z</wsu:Created></wsse:UsernameToken></wsse:Security></Header><Body><Op>";
  for (int i = 0; i < 300; ++i) body += "<a><b>" + std::to_string(i) + "</b></a>";
  const std::optional<TSoapRequest> request = ParseSoapRequest(body + "</Op></Body></Envelope>");
  ASSERT_TRUE(request && request->token);
  EXPECT_EQ(request->token->username, "admin");
  EXPECT_TRUE(request->token->passwordIsText);  // no Type: clear text
  EXPECT_EQ(request->token->nonce + request->token->created, "bm9uY2U=2026-12-09T11:22:33Z");
  EXPECT_EQ(request->arguments.size(), 256u);
  EXPECT_EQ(request->Argument("b"), "0");
  EXPECT_EQ(request->Argument("c"), "");
}

}  // namespace
