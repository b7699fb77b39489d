#include "MediaAnswers.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "OnvifAnswerXml.h"

namespace {

// The MPEG-4 channel encodes Advanced Simple Profile (xvidcore's ASP level 4).
constexpr std::string_view kMpeg4Profile = "ASP";

constexpr std::string_view kProfileToken = "Profile_1";
constexpr std::string_view kVideoSourceToken = "VideoSource_1";
constexpr std::string_view kVideoSourceConfigToken = "VideoSourceConfig_1";
constexpr std::string_view kVideoEncoderToken = "VideoEncoder_1";
// The quality announced sits in the middle of the range offered; the encoder's own rate control
// decides, so neither number steers anything.
constexpr int kQuality = 5;
constexpr int kQualityMax = 10;

std::string Attribute(std::string_view name, std::string_view value) {
  return std::string(" ").append(name).append("=\"").append(XmlEscaped(value)).append("\"");
}

std::string ResolutionXml(const TOnvifVideo& video) {
  return NumberElement("tt:Width", video.width) + NumberElement("tt:Height", video.height);
}

std::string RangeXml(std::string_view name, int min, int max) {
  return Element(name, NumberElement("tt:Min", min) + NumberElement("tt:Max", std::max(min, max)));
}

std::string VideoSourceConfigurationXml(std::string_view element, const TOnvifState& state) {
  std::string inner = TextElement("tt:Name", "Desktop");
  inner += NumberElement("tt:UseCount", 1);
  inner += TextElement("tt:SourceToken", kVideoSourceToken);
  inner += "<tt:Bounds x=\"0\" y=\"0\" width=\"" + std::to_string(state.video.width) +
           "\" height=\"" + std::to_string(state.video.height) + "\"/>";
  return "<" + std::string(element) + Attribute("token", kVideoSourceConfigToken) + ">" + inner +
         "</" + std::string(element) + ">";
}

std::string VideoEncoderConfigurationXml(std::string_view element, const TOnvifState& state) {
  const TOnvifVideo& video = state.video;
  std::string inner = TextElement("tt:Name", video.h264 ? "H264" : "MPEG4");
  inner += NumberElement("tt:UseCount", 1);
  inner += TextElement("tt:Encoding", video.h264 ? "H264" : "MPEG4");
  inner += Element("tt:Resolution", ResolutionXml(video));
  inner += NumberElement("tt:Quality", kQuality);
  inner += Element("tt:RateControl", NumberElement("tt:FrameRateLimit", video.fps) +
                                         NumberElement("tt:EncodingInterval", 1) +
                                         NumberElement("tt:BitrateLimit", video.bitrateKbps));
  if (video.h264) {
    inner += Element("tt:H264", NumberElement("tt:GovLength", video.gopLength) +
                                    TextElement("tt:H264Profile", video.h264Profile));
  } else {
    inner += Element("tt:MPEG4", NumberElement("tt:GovLength", video.gopLength) +
                                     TextElement("tt:Mpeg4Profile", kMpeg4Profile));
  }
  // Multicast is not served; the block is required all the same and says so with zeros.
  inner +=
      Element("tt:Multicast", Element("tt:Address", TextElement("tt:Type", "IPv4") +
                                                        TextElement("tt:IPv4Address", "0.0.0.0")) +
                                  NumberElement("tt:Port", 0) + NumberElement("tt:TTL", 0) +
                                  TextElement("tt:AutoStart", "false"));
  inner +=
      TextElement("tt:SessionTimeout", "PT" + std::to_string(video.sessionTimeoutSeconds) + "S");
  return "<" + std::string(element) + Attribute("token", kVideoEncoderToken) + ">" + inner + "</" +
         std::string(element) + ">";
}

std::string ProfileXml(std::string_view element, const TOnvifState& state) {
  std::string inner = TextElement("tt:Name", state.identity.name);
  inner += VideoSourceConfigurationXml("tt:VideoSourceConfiguration", state);
  inner += VideoEncoderConfigurationXml("tt:VideoEncoderConfiguration", state);
  return "<" + std::string(element) + Attribute("token", kProfileToken) + " fixed=\"true\">" +
         inner + "</" + std::string(element) + ">";
}

TSoapAnswer Response(std::string_view operation, std::string_view innerXml) {
  return SoapResponse(Element("trt:" + std::string(operation) + "Response", innerXml));
}

// Nothing when the token names what this camera has; else the fault to answer with. A missing
// token is refused like a wrong one: every operation that takes one requires it.
std::optional<TSoapAnswer> UnknownToken(const TSoapRequest& request, std::string_view argument,
                                        std::string_view known) {
  const std::string token = request.Argument(argument);
  if (token == known) return std::nullopt;
  const bool profile = argument == "ProfileToken";
  return OnvifFault("env:Sender", "ter:InvalidArgVal", profile ? "ter:NoProfile" : "ter:NoConfig",
                    std::string(profile ? "No media profile" : "No configuration") +
                        " has the token \"" + token + "\"");
}

std::string MediaUriXml(const std::string& uri) {
  return Element("trt:MediaUri", TextElement("tt:Uri", uri) +
                                     TextElement("tt:InvalidAfterConnect", "false") +
                                     TextElement("tt:InvalidAfterReboot", "false") +
                                     TextElement("tt:Timeout", "PT0S"));
}

}  // namespace

std::string MediaServiceCapabilitiesXml() {
  return R"(<trt:Capabilities SnapshotUri="true" Rotation="false" VideoSourceMode="false")"
         R"( OSD="false"><trt:ProfileCapabilities MaximumNumberOfProfiles="1"/>)"
         R"(<trt:StreamingCapabilities RTPMulticast="false" RTP_TCP="true" RTP_RTSP_TCP="true")"
         R"( NonAggregateControl="false" NoRTSPStreaming="false"/></trt:Capabilities>)";
}

TSoapAnswer AnswerMediaServiceCapabilities(const TSoapRequest&, const TOnvifState&) {
  return Response("GetServiceCapabilities", MediaServiceCapabilitiesXml());
}

TSoapAnswer AnswerGetProfiles(const TSoapRequest&, const TOnvifState& state) {
  return Response("GetProfiles", ProfileXml("trt:Profiles", state));
}

TSoapAnswer AnswerGetProfile(const TSoapRequest& request, const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  return Response("GetProfile", ProfileXml("trt:Profile", state));
}

TSoapAnswer AnswerCreateProfile(const TSoapRequest&, const TOnvifState&) {
  return OnvifFault("env:Receiver", "ter:Action", "ter:MaxNVTProfiles",
                    "The camera has its one fixed media profile and makes no others");
}

TSoapAnswer AnswerGetVideoSources(const TSoapRequest&, const TOnvifState& state) {
  std::string inner = NumberElement("tt:Framerate", state.video.fps);
  inner += Element("tt:Resolution", ResolutionXml(state.video));
  return Response("GetVideoSources", "<trt:VideoSources" + Attribute("token", kVideoSourceToken) +
                                         ">" + inner + "</trt:VideoSources>");
}

TSoapAnswer AnswerGetVideoSourceConfigurations(const TSoapRequest&, const TOnvifState& state) {
  return Response("GetVideoSourceConfigurations",
                  VideoSourceConfigurationXml("trt:Configurations", state));
}

TSoapAnswer AnswerGetVideoSourceConfiguration(const TSoapRequest& request,
                                              const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ConfigurationToken", kVideoSourceConfigToken)) {
    return *fault;
  }
  return Response("GetVideoSourceConfiguration",
                  VideoSourceConfigurationXml("trt:Configuration", state));
}

TSoapAnswer AnswerGetCompatibleVideoSourceConfigurations(const TSoapRequest& request,
                                                         const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  return Response("GetCompatibleVideoSourceConfigurations",
                  VideoSourceConfigurationXml("trt:Configurations", state));
}

TSoapAnswer AnswerGetVideoEncoderConfigurations(const TSoapRequest&, const TOnvifState& state) {
  return Response("GetVideoEncoderConfigurations",
                  VideoEncoderConfigurationXml("trt:Configurations", state));
}

TSoapAnswer AnswerGetVideoEncoderConfiguration(const TSoapRequest& request,
                                               const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ConfigurationToken", kVideoEncoderToken)) return *fault;
  return Response("GetVideoEncoderConfiguration",
                  VideoEncoderConfigurationXml("trt:Configuration", state));
}

TSoapAnswer AnswerGetCompatibleVideoEncoderConfigurations(const TSoapRequest& request,
                                                          const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  return Response("GetCompatibleVideoEncoderConfigurations",
                  VideoEncoderConfigurationXml("trt:Configurations", state));
}

TSoapAnswer AnswerGetVideoEncoderConfigurationOptions(const TSoapRequest& request,
                                                      const TOnvifState& state) {
  // Both tokens are optional here: without them the options are the device's in general.
  if (!request.Argument("ConfigurationToken").empty()) {
    if (auto fault = UnknownToken(request, "ConfigurationToken", kVideoEncoderToken)) {
      return *fault;
    }
  }
  if (!request.Argument("ProfileToken").empty()) {
    if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  }
  const TOnvifVideo& video = state.video;
  // The encoder runs as the settings dialog set it: each range offers what is served now, so a
  // recorder that "chooses" from it keeps the stream it already gets.
  std::string codec = Element("tt:ResolutionsAvailable", ResolutionXml(video));
  codec += RangeXml("tt:GovLengthRange", 1, video.gopLength);
  codec += RangeXml("tt:FrameRateRange", 1, video.fps);
  codec += RangeXml("tt:EncodingIntervalRange", 1, 1);
  std::string options = RangeXml("tt:QualityRange", 0, kQualityMax);
  if (video.h264) {
    options +=
        Element("tt:H264", codec + TextElement("tt:H264ProfilesSupported", video.h264Profile));
  } else {
    options += Element("tt:MPEG4", codec + TextElement("tt:Mpeg4ProfilesSupported", kMpeg4Profile));
  }
  return Response("GetVideoEncoderConfigurationOptions", Element("trt:Options", options));
}

TSoapAnswer AnswerGetStreamUri(const TSoapRequest& request, const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  if (request.Argument("Stream") == "RTP-Multicast") {
    return OnvifFault("env:Sender", "ter:InvalidArgVal", "ter:InvalidStreamSetup",
                      "The camera streams unicast only");
  }
  const TOnvifRequestPlace& place = state.place;
  const std::string uri =
      "rtsp://" + UrlHost(place) + ":" + std::to_string(place.rtspPort) + place.rtspPath;
  return Response("GetStreamUri", MediaUriXml(uri));
}

TSoapAnswer AnswerGetSnapshotUri(const TSoapRequest& request, const TOnvifState& state) {
  if (auto fault = UnknownToken(request, "ProfileToken", kProfileToken)) return *fault;
  return Response("GetSnapshotUri", MediaUriXml(HttpUrl(state.place, state.place.snapshotPath)));
}

TSoapAnswer AnswerEmptyMediaList(const TSoapRequest& request, const TOnvifState&) {
  return SoapResponse("<trt:" + XmlEscaped(request.operation) + "Response/>");
}
