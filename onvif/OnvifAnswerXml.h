// The pieces the device and media answers share: elements written as text, the addresses a client
// reaches the camera at and the faults recorders tell apart.
#pragma once

#include <string>
#include <string_view>

#include "OnvifState.h"
#include "SoapAnswer.h"
#include "SoapRequest.h"

inline constexpr std::string_view kDeviceServicePath = "/onvif/device_service";
inline constexpr std::string_view kMediaServicePath = "/onvif/media_service";
inline constexpr std::string_view kDeviceNamespace = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr std::string_view kMediaNamespace = "http://www.onvif.org/ver10/media/wsdl";

// <name>innerXml</name>; innerXml is written as it stands.
std::string Element(std::string_view name, std::string_view innerXml);
// <name>text</name> with the text escaped: for every value taken from the state or the request.
std::string TextElement(std::string_view name, std::string_view text);
std::string NumberElement(std::string_view name, long long value);

// The host of the request's Host header, bracketed when it is an IPv6 literal, so that an
// address built from it can be typed into a URL as it stands.
std::string UrlHost(const TOnvifRequestPlace& place);
// http://host:onvifPort/path, through the address the client already used.
std::string HttpUrl(const TOnvifRequestPlace& place, std::string_view path);

// A fault with the two levels of subcode ONVIF clients match on (detail may be empty). An
// "env:Sender" fault is the client's error and goes out as 400, an "env:Receiver" one as 500.
TSoapAnswer OnvifFault(std::string_view code, std::string_view subcode, std::string_view detail,
                       std::string_view reason);
