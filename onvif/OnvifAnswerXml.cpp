#include "OnvifAnswerXml.h"

std::string Element(std::string_view name, std::string_view innerXml) {
  std::string out;
  out.reserve(name.size() * 2 + innerXml.size() + 5);
  out.append("<").append(name).append(">").append(innerXml);
  out.append("</").append(name).append(">");
  return out;
}

std::string TextElement(std::string_view name, std::string_view text) {
  return Element(name, XmlEscaped(text));
}

std::string NumberElement(std::string_view name, long long value) {
  return Element(name, std::to_string(value));
}

std::string UrlHost(const TOnvifRequestPlace& place) {
  const std::string& host = place.host.empty() ? place.localAddress : place.host;
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

std::string HttpUrl(const TOnvifRequestPlace& place, std::string_view path) {
  std::string url = "http://" + UrlHost(place) + ":" + std::to_string(place.onvifPort);
  return url.append(path);
}

TSoapAnswer OnvifFault(std::string_view code, std::string_view subcode, std::string_view detail,
                       std::string_view reason) {
  const int status = code == "env:Sender" ? 400 : 500;
  if (detail.empty()) return SoapFault(code, subcode, reason, status);
  // SoapFault writes one level of subcode; ONVIF names the precise error one level below it
  // (ter:InvalidArgVal / ter:NoProfile), and conformance tools look for both.
  std::string fault = "<env:Fault><env:Code>" + TextElement("env:Value", code);
  fault += "<env:Subcode>" + TextElement("env:Value", subcode);
  fault += Element("env:Subcode", TextElement("env:Value", detail));
  fault += "</env:Subcode></env:Code>";
  fault += Element("env:Reason", "<env:Text xml:lang=\"en\">" + XmlEscaped(reason) + "</env:Text>");
  fault += "</env:Fault>";
  TSoapAnswer answer = SoapResponse(fault);
  answer.httpStatus = status;
  return answer;
}
