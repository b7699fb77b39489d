// The device service's answers (tds): who the camera is, its clock, where its two services are
// and the network it is reached through. Everything is read-only; no setting is changed from
// here.
#pragma once

#include <string>
#include <vector>

#include "OnvifState.h"
#include "SoapAnswer.h"
#include "SoapRequest.h"

// The camera's fixed scopes as onvif:// URIs, its name percent-escaped: what GetScopes lists and
// what discovery announces.
std::vector<std::string> OnvifScopes(const TOnvifIdentity& identity);
// The camera's name made a valid host label: letters, digits and inner hyphens, at most 63.
std::string HostLabel(const std::string& name);

TSoapAnswer AnswerDeviceServiceCapabilities(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetSystemDateAndTime(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetServices(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetCapabilities(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetDeviceInformation(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetNetworkInterfaces(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetScopes(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetHostname(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetDNS(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetNTP(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetNetworkDefaultGateway(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetNetworkProtocols(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetDiscoveryMode(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetEndpointReference(const TSoapRequest& request, const TOnvifState& state);
