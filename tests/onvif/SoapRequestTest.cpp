// Envelopes as recorders write them, and bodies no recorder should send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "onvif/SoapRequest.h"

namespace {

TEST(SoapRequest, ReadsEveryEnvelopeFormAndRefusesTheRest) {
  const std::string soap = "http://www.w3.org/2003/05/soap-envelope", media = "urn:media";
  const std::string s = " xmlns:s=\"" + soap + "\"", op = "<GetProfiles xmlns=\"" + media + "\"/>";
  // body, then what it reads as ("operation namespace name=text;...") or part of why it does not
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<s:Envelope" + s + "><s:Header/><s:Body>" + op + "</s:Body></s:Envelope>",
       "GetProfiles urn:media "},
      {"<soap-env:Envelope xmlns:soap-env=\"" + soap + "\"><soap-env:Body>" + op +
           "</soap-env:Body></soap-env:Envelope>",
       "GetProfiles urn:media "},
      {"<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + soap + "\" xmlns:trt=\"" + media +
           "\"><SOAP-ENV:Body><trt:GetProfiles/></SOAP-ENV:Body></SOAP-ENV:Envelope>",
       "GetProfiles urn:media "},
      {"<Envelope xmlns=\"" + soap + "\"><Body><GetProfiles/></Body></Envelope>",
       "GetProfiles " + soap + " "},
      {"<s:Envelope\r\n" + s + "\n  xmlns:trt=\"" + media + "\"\n><s:Body\n><trt:GetStreamUri\n>" +
           "<trt:StreamSetup><tt:Stream xmlns:tt=\"t\">RTP-Unicast</tt:Stream><tt:Transport>" +
           "<tt:Protocol>\n RTSP </tt:Protocol></tt:Transport></trt:StreamSetup><trt:ProfileToken" +
           "><![CDATA[main]]></trt:ProfileToken\n></trt:GetStreamUri></s:Body></s:Envelope>",
       "GetStreamUri urn:media Stream=RTP-Unicast;Protocol=RTSP;ProfileToken=main;"},
      {"", "empty"},
      {std::string(kMaxSoapBody + 1, ' '), "more than the 65536 read"},
      {"GET / HTTP/1.1", "not XML: No document element found at byte"},
      {"<s:Envelope" + s + "><s:Body>", "not XML: Start-end tags mismatch"},
      {"<html/>", "not a SOAP envelope"},
      {"<s:Envelope" + s + "><s:Header/></s:Envelope>", "no Body"},
      {"<s:Envelope" + s + "><s:Body> x <s:/></s:Body></s:Envelope>", "no operation"},
      {"<!DOCTYPE s:Envelope [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><s:Envelope" + s +
           "><s:Body><a>&e;</a></s:Body></s:Envelope>",
       "document type"},
  };
  for (const auto& [body, expected] : cases) {
    SCOPED_TRACE(body.substr(0, 120));
    std::string why;
    const std::optional<TSoapRequest> request = ParseSoapRequest(body, &why);
    if (!request) {
      EXPECT_NE(why.find(expected), std::string::npos) << why;
      continue;
    }
    std::string read = request->operation + " " + request->operationNamespace + " ";
    for (const auto& [name, value] : request->arguments) read += name + "=" + value + ";";
    EXPECT_EQ(read, expected);
    EXPECT_FALSE(request->token);
  }
}

TEST(SoapRequest, TakesAPasswordWithoutTypeAsClearTextAndBoundsTheArguments) {
  std::string body =
      "<Envelope><Header><Security><UsernameToken><Password>pw</Password>"
      "</UsernameToken></Security></Header><Body><Op>";
  for (int i = 0; i < 300; ++i) body += "<a><b>" + std::to_string(i) + "</b></a>";
  const std::optional<TSoapRequest> request = ParseSoapRequest(body + "</Op></Body></Envelope>");
  ASSERT_TRUE(request && request->token);
  EXPECT_TRUE(request->token->passwordIsText);
  EXPECT_EQ(request->arguments.size(), 256u);
  EXPECT_EQ(request->Argument("b") + request->Argument("c"), "0");
}

}  // namespace
