// SOAP 1.2 answers: an envelope around a body, or a fault, with the HTTP status it goes out with.
// The envelope declares the prefixes the answers use: env, tds (device), trt (media), tt (schema),
// ter (errors), tns1 (topics), wsnt, xsd, xsi.
#pragma once

#include <string>
#include <string_view>

struct TSoapAnswer {
  int httpStatus = 200;
  std::string body;  // application/soap+xml; charset=utf-8
};

// An envelope whose Body holds this XML as it stands.
TSoapAnswer SoapResponse(std::string_view bodyXml);
// A fault: code is "env:Sender" or "env:Receiver", subcode a ter: value such as
// "ter:NotAuthorized", reason a sentence in English.
TSoapAnswer SoapFault(std::string_view code, std::string_view subcode, std::string_view reason,
                      int httpStatus);
// Text made safe for element content and attribute values.
std::string XmlEscaped(std::string_view text);
