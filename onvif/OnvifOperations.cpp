#include "OnvifOperations.h"

#include <algorithm>
#include <array>
#include <string>

#include "DeviceAnswers.h"
#include "MediaAnswers.h"
#include "OnvifAnswerXml.h"

namespace {

using TAnswerFunction = TSoapAnswer (*)(const TSoapRequest&, const TOnvifState&);

struct TOperation {
  std::string_view name;
  TAnswerFunction answer;
};

// Both services have an operation of this name; the request's namespace says which one is asked.
// Media2 shares the media name's shape but is not served, so the namespaces must match exactly.
TSoapAnswer AnswerServiceCapabilities(const TSoapRequest& request, const TOnvifState& state) {
  if (request.operationNamespace == kDeviceNamespace) {
    return AnswerDeviceServiceCapabilities(request, state);
  }
  if (request.operationNamespace == kMediaNamespace) {
    return AnswerMediaServiceCapabilities(request, state);
  }
  return OnvifFault("env:Receiver", "ter:ActionNotSupported", "ter:NoSuchService",
                    "The camera has no service \"" + request.operationNamespace + "\"");
}

constexpr std::array kOperations = {
    // device service
    TOperation{"GetServiceCapabilities", AnswerServiceCapabilities},
    TOperation{"GetSystemDateAndTime", AnswerGetSystemDateAndTime},
    TOperation{"GetServices", AnswerGetServices},
    TOperation{"GetCapabilities", AnswerGetCapabilities},
    TOperation{"GetDeviceInformation", AnswerGetDeviceInformation},
    TOperation{"GetNetworkInterfaces", AnswerGetNetworkInterfaces},
    TOperation{"GetScopes", AnswerGetScopes},
    TOperation{"GetHostname", AnswerGetHostname},
    TOperation{"GetDNS", AnswerGetDNS},
    TOperation{"GetNTP", AnswerGetNTP},
    TOperation{"GetNetworkDefaultGateway", AnswerGetNetworkDefaultGateway},
    TOperation{"GetNetworkProtocols", AnswerGetNetworkProtocols},
    TOperation{"GetDiscoveryMode", AnswerGetDiscoveryMode},
    TOperation{"GetEndpointReference", AnswerGetEndpointReference},
    // media service: the profile and its video
    TOperation{"GetProfiles", AnswerGetProfiles},
    TOperation{"GetProfile", AnswerGetProfile},
    TOperation{"CreateProfile", AnswerCreateProfile},
    TOperation{"GetVideoSources", AnswerGetVideoSources},
    TOperation{"GetVideoSourceConfigurations", AnswerGetVideoSourceConfigurations},
    TOperation{"GetVideoSourceConfiguration", AnswerGetVideoSourceConfiguration},
    TOperation{"GetCompatibleVideoSourceConfigurations",
               AnswerGetCompatibleVideoSourceConfigurations},
    TOperation{"GetVideoEncoderConfigurations", AnswerGetVideoEncoderConfigurations},
    TOperation{"GetVideoEncoderConfiguration", AnswerGetVideoEncoderConfiguration},
    TOperation{"GetCompatibleVideoEncoderConfigurations",
               AnswerGetCompatibleVideoEncoderConfigurations},
    TOperation{"GetVideoEncoderConfigurationOptions", AnswerGetVideoEncoderConfigurationOptions},
    TOperation{"GetStreamUri", AnswerGetStreamUri},
    TOperation{"GetSnapshotUri", AnswerGetSnapshotUri},
    // media service: what the camera has none of
    TOperation{"GetAudioSources", AnswerEmptyMediaList},
    TOperation{"GetAudioOutputs", AnswerEmptyMediaList},
    TOperation{"GetAudioSourceConfigurations", AnswerEmptyMediaList},
    TOperation{"GetAudioEncoderConfigurations", AnswerEmptyMediaList},
    TOperation{"GetAudioOutputConfigurations", AnswerEmptyMediaList},
    TOperation{"GetAudioDecoderConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleAudioSourceConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleAudioEncoderConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleAudioOutputConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleAudioDecoderConfigurations", AnswerEmptyMediaList},
    TOperation{"GetMetadataConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleMetadataConfigurations", AnswerEmptyMediaList},
    TOperation{"GetVideoAnalyticsConfigurations", AnswerEmptyMediaList},
    TOperation{"GetCompatibleVideoAnalyticsConfigurations", AnswerEmptyMediaList},
    TOperation{"GetOSDs", AnswerEmptyMediaList},
};

}  // namespace

TSoapAnswer AnswerOnvifOperation(const TSoapRequest& request, const TOnvifState& state) {
  const auto found =
      std::find_if(kOperations.begin(), kOperations.end(),
                   [&](const TOperation& op) { return op.name == request.operation; });
  if (found != kOperations.end()) return found->answer(request, state);
  return OnvifFault("env:Receiver", "ter:ActionNotSupported", "",
                    "The camera does not support " + request.operation);
}

std::vector<std::string_view> AnsweredOnvifOperations() {
  std::vector<std::string_view> names;
  for (const TOperation& op : kOperations) names.push_back(op.name);
  return names;
}
