#include "SoapAnswer.h"

namespace {

constexpr std::string_view kEnvelopeOpen =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<env:Envelope xmlns:env="http://www.w3.org/2003/05/soap-envelope")"
    R"( xmlns:xsd="http://www.w3.org/2001/XMLSchema")"
    R"( xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance")"
    R"( xmlns:tt="http://www.onvif.org/ver10/schema")"
    R"( xmlns:tds="http://www.onvif.org/ver10/device/wsdl")"
    R"( xmlns:trt="http://www.onvif.org/ver10/media/wsdl")"
    R"( xmlns:ter="http://www.onvif.org/ver10/error")"
    R"( xmlns:tns1="http://www.onvif.org/ver10/topics")"
    R"( xmlns:wsnt="http://docs.oasis-open.org/wsn/b-2">)"
    R"(<env:Body>)";
constexpr std::string_view kEnvelopeClose = "</env:Body></env:Envelope>";

}  // namespace

TSoapAnswer SoapResponse(std::string_view bodyXml) {
  TSoapAnswer answer;
  answer.body.reserve(kEnvelopeOpen.size() + bodyXml.size() + kEnvelopeClose.size());
  answer.body.append(kEnvelopeOpen).append(bodyXml).append(kEnvelopeClose);
  return answer;
}

TSoapAnswer SoapFault(std::string_view code, std::string_view subcode, std::string_view reason,
                      int httpStatus) {
  std::string fault = "<env:Fault><env:Code><env:Value>";
  fault.append(XmlEscaped(code)).append("</env:Value><env:Subcode><env:Value>");
  fault.append(XmlEscaped(subcode)).append("</env:Value></env:Subcode></env:Code>");
  fault.append(R"(<env:Reason><env:Text xml:lang="en">)").append(XmlEscaped(reason));
  fault.append("</env:Text></env:Reason></env:Fault>");
  TSoapAnswer answer = SoapResponse(fault);
  answer.httpStatus = httpStatus;
  return answer;
}

std::string XmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}
