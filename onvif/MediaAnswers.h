// The media service's answers (trt): one fixed profile that ties the desktop, as the one video
// source, to the one encoder configuration the RTSP stream is served with. Nothing can be added,
// changed or removed; audio, metadata and analytics lists are empty.
#pragma once

#include <string>

#include "OnvifState.h"
#include "SoapAnswer.h"
#include "SoapRequest.h"

// The trt:Capabilities element, for GetServiceCapabilities and for GetServices.
std::string MediaServiceCapabilitiesXml();

TSoapAnswer AnswerMediaServiceCapabilities(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetProfiles(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetProfile(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerCreateProfile(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetVideoSources(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetVideoSourceConfigurations(const TSoapRequest& request,
                                               const TOnvifState& state);
TSoapAnswer AnswerGetVideoSourceConfiguration(const TSoapRequest& request,
                                              const TOnvifState& state);
TSoapAnswer AnswerGetCompatibleVideoSourceConfigurations(const TSoapRequest& request,
                                                         const TOnvifState& state);
TSoapAnswer AnswerGetVideoEncoderConfigurations(const TSoapRequest& request,
                                                const TOnvifState& state);
TSoapAnswer AnswerGetVideoEncoderConfiguration(const TSoapRequest& request,
                                               const TOnvifState& state);
TSoapAnswer AnswerGetCompatibleVideoEncoderConfigurations(const TSoapRequest& request,
                                                          const TOnvifState& state);
TSoapAnswer AnswerGetVideoEncoderConfigurationOptions(const TSoapRequest& request,
                                                      const TOnvifState& state);
TSoapAnswer AnswerGetStreamUri(const TSoapRequest& request, const TOnvifState& state);
TSoapAnswer AnswerGetSnapshotUri(const TSoapRequest& request, const TOnvifState& state);
// "<trt:{operation}Response/>": the lists of things this camera has none of (audio, metadata).
TSoapAnswer AnswerEmptyMediaList(const TSoapRequest& request, const TOnvifState& state);
