#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "onvif/DeviceAnswers.h"
#include "onvif/OnvifOperations.h"

namespace {

using TArguments = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kDeviceNs = "http://www.onvif.org/ver10/device/wsdl";
constexpr const char* kMediaNs = "http://www.onvif.org/ver10/media/wsdl";
constexpr const char* kMedia2Ns = "http://www.onvif.org/ver20/media/wsdl";

TOnvifState State(const std::string& name = "Desk &<\"") {
  TOnvifState state;
  state.identity = {name, "Maker & Co", "Vistrel", "1.2", "SN<1>", "HW\"1", "urn:uuid:1"};
  state.video = {1920, 1080, 25, true, 4000, 50, "Main", 60};
  state.place = {"192.168.1.5", "192.168.1.5", "eth0",  "aa:bb:cc:dd:ee:ff",
                 8080,          8554,          "/live", "/onvif/snapshot.jpg"};
  // 2024-03-05 07:08:09 UTC
  state.now = std::chrono::sys_days{std::chrono::year{2024} / 3 / 5} + std::chrono::hours{7} +
              std::chrono::minutes{8} + std::chrono::seconds{9};
  return state;
}

TSoapAnswer Answer(const std::string& operation, const TArguments& arguments,
                   const TOnvifState& state, const std::string& ns = kMediaNs) {
  return AnswerOnvifOperation(TSoapRequest{operation, ns, std::nullopt, arguments}, state);
}

// The text of the element or attribute the path names in the answer; empty when there is none.
std::string At(const TSoapAnswer& answer, const std::string& path) {
  pugi::xml_document doc;
  if (!doc.load_string(answer.body.c_str())) return "<not XML>";
  const pugi::xpath_node found = doc.select_node(path.c_str());
  return found.attribute() ? found.attribute().value() : found.node().child_value();
}

TEST(OnvifOperations, AnswersCarryTheStateWhereRecordersReadIt) {
  struct Case {
    std::string operation;
    TArguments arguments;
    std::string path;
    std::string expected;
    int status = 200;
    std::string ns = kMediaNs;
    bool h264 = true;
  };
  const TArguments profile = {{"ProfileToken", "Profile_1"}};
  const std::string subcode = "//env:Code/env:Subcode/env:Value";
  const std::string detail = "//env:Subcode/env:Subcode/env:Value";
  const Case cases[] = {
      {"GetSystemDateAndTime", {}, "//tt:UTCDateTime/tt:Time/tt:Hour", "7"},
      {"GetSystemDateAndTime", {}, "//tt:LocalDateTime/tt:Time/tt:Second", "9"},
      {"GetSystemDateAndTime", {}, "//tt:UTCDateTime/tt:Date/tt:Month", "3"},
      {"GetDeviceInformation", {}, "//tds:SerialNumber", "SN<1>"},
      {"GetDeviceInformation", {}, "//tds:HardwareId", "HW\"1"},
      {"GetProfiles", {}, "//trt:Profiles/tt:Name", "Desk &<\""},
      {"GetProfiles", {}, "//tt:VideoSourceConfiguration/tt:Bounds/@height", "1080"},
      {"GetProfiles", {}, "//tt:RateControl/tt:BitrateLimit", "4000"},
      {"GetProfiles", {}, "//tt:RateControl/tt:FrameRateLimit", "25"},
      {"GetProfiles", {}, "//tt:H264/tt:GovLength", "50"},
      {"GetProfiles", {}, "//tt:H264/tt:H264Profile", "Main"},
      {"GetProfiles", {}, "//tt:VideoEncoderConfiguration/tt:SessionTimeout", "PT60S"},
      {"GetProfiles", {}, "//tt:Encoding", "MPEG4", 200, kMediaNs, false},
      {"GetProfiles", {}, "//tt:MPEG4/tt:GovLength", "50", 200, kMediaNs, false},
      {"GetProfiles", {}, "//tt:H264", "", 200, kMediaNs, false},
      {"GetProfile", profile, "//trt:Profile/@fixed", "true"},
      {"GetVideoEncoderConfigurationOptions", {}, "//tt:FrameRateRange/tt:Max", "25"},
      {"GetVideoEncoderConfigurationOptions", {}, "//tt:H264ProfilesSupported", "Main"},
      {"GetNetworkInterfaces", {}, "//tds:NetworkInterfaces/@token", "eth0"},
      {"GetNetworkInterfaces", {}, "//tt:Info/tt:HwAddress", "aa:bb:cc:dd:ee:ff"},
      {"GetNetworkInterfaces", {}, "//tt:Manual/tt:Address", "192.168.1.5"},
      {"GetNetworkProtocols", {}, "//tds:NetworkProtocols[tt:Name='RTSP']/tt:Port", "8554"},
      {"GetNetworkProtocols", {}, "//tds:NetworkProtocols[tt:Name='HTTP']/tt:Port", "8080"},
      {"GetScopes",
       {},
       "//tds:Scopes[3]/tt:ScopeItem",
       "onvif://www.onvif.org/name/Desk%20%26%3C%22"},
      {"GetHostname", {}, "//tds:HostnameInformation/tt:Name", "Desk"},
      {"GetCapabilities", {}, "//tt:Media/tt:XAddr", "http://192.168.1.5:8080/onvif/media_service"},
      {"GetCapabilities", {{"Category", "Media"}}, "//tt:RTP_RTSP_TCP", "true"},
      {"GetCapabilities", {{"Category", "Media"}}, "//tt:Device/tt:XAddr", ""},
      {"GetServices",
       {{"IncludeCapability", "true"}},
       "//trt:ProfileCapabilities/@MaximumNumberOfProfiles",
       "1"},
      {"GetServices", {{"IncludeCapability", "false"}}, "//tds:Capabilities", ""},
      {"GetServiceCapabilities", {}, "//trt:Capabilities/@SnapshotUri", "true"},
      {"GetServiceCapabilities", {}, "//tds:Security/@UsernameToken", "true", 200, kDeviceNs},
      // faults: the subcode recorders match on, and the HTTP status of who is at fault
      {"GetServiceCapabilities", {}, subcode, "ter:ActionNotSupported", 500, kMedia2Ns},
      {"SetSystemFactoryDefault", {}, subcode, "ter:ActionNotSupported", 500},
      {"GetProfile", {{"ProfileToken", "Profile_2"}}, detail, "ter:NoProfile", 400},
      {"GetStreamUri", {}, subcode, "ter:InvalidArgVal", 400},
      {"GetVideoEncoderConfiguration", {{"ConfigurationToken", "x"}}, detail, "ter:NoConfig", 400},
      {"GetStreamUri",
       {{"ProfileToken", "Profile_1"}, {"Stream", "RTP-Multicast"}},
       detail,
       "ter:InvalidStreamSetup",
       400},
      {"CreateProfile", {{"Name", "x"}}, detail, "ter:MaxNVTProfiles", 500},
      {"GetCapabilities", {{"Category", "PTZ"}}, detail, "ter:NoSuchService", 500},
  };
  for (const Case& c : cases) {
    TOnvifState state = State();
    state.video.h264 = c.h264;
    const TSoapAnswer answer = Answer(c.operation, c.arguments, state, c.ns);
    EXPECT_EQ(answer.httpStatus, c.status) << c.operation << " " << c.path;
    EXPECT_EQ(At(answer, c.path), c.expected) << c.operation << " " << c.path;
  }
}

TEST(OnvifOperations, EveryAnswerIsWellFormedWhateverTheStateHolds) {
  TOnvifState state = State("<&\"'>");
  state.identity.model = state.identity.manufacturer = state.identity.serial = "a&b<c\"d";
  state.place.interfaceName = state.place.mac = state.video.h264Profile = "x\"<&";
  for (const std::string_view name : AnsweredOnvifOperations()) {
    const std::string operation(name);
    const TSoapAnswer answer = Answer(operation, {{"ProfileToken", "Profile_1"}}, state, kDeviceNs);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(answer.body.c_str())) << operation << "\n" << answer.body;
    const std::string first = doc.select_node("//env:Body/*").node().name();
    if (answer.httpStatus == 200) {
      EXPECT_EQ(first.substr(first.find(':') + 1), operation + "Response");
    } else {
      EXPECT_EQ(first, "env:Fault") << operation;
      EXPECT_NE(At(answer, "//env:Code/env:Subcode/env:Value"), "ter:ActionNotSupported")
          << operation;
    }
  }
}

TEST(OnvifOperations, AddressesFollowTheHostTheClientUsed) {
  struct Case {
    std::string host;
    std::string streamUri;
    std::string snapshotUri;
  };
  const Case cases[] = {
      {"192.168.1.5", "rtsp://192.168.1.5:8554/live", "http://192.168.1.5:8080/onvif/snapshot.jpg"},
      {"[fe80::1]", "rtsp://[fe80::1]:8554/live", "http://[fe80::1]:8080/onvif/snapshot.jpg"},
      {"cam.local", "rtsp://cam.local:8554/live", "http://cam.local:8080/onvif/snapshot.jpg"},
  };
  for (const Case& c : cases) {
    TOnvifState state = State();
    state.place.host = c.host;
    const TArguments profile = {{"ProfileToken", "Profile_1"}};
    EXPECT_EQ(At(Answer("GetStreamUri", profile, state), "//tt:Uri"), c.streamUri);
    EXPECT_EQ(At(Answer("GetSnapshotUri", profile, state), "//tt:Uri"), c.snapshotUri);
    EXPECT_EQ(At(Answer("GetServices", {}, state), "//tds:Service[1]/tds:XAddr"),
              "http://" + c.host + ":8080/onvif/device_service");
  }
}

TEST(OnvifOperations, TheProfileNamesTheTokensTheOtherListsGive) {
  struct Case {
    std::string inProfile;
    std::string operation;
    std::string path;
  };
  const Case cases[] = {
      {"//tt:VideoSourceConfiguration/tt:SourceToken", "GetVideoSources",
       "//trt:VideoSources/@token"},
      {"//tt:VideoSourceConfiguration/@token", "GetVideoSourceConfigurations",
       "//trt:Configurations/@token"},
      {"//tt:VideoEncoderConfiguration/@token", "GetVideoEncoderConfigurations",
       "//trt:Configurations/@token"},
  };
  const TSoapAnswer profiles = Answer("GetProfiles", {}, State());
  for (const Case& c : cases) {
    const std::string token = At(profiles, c.inProfile);
    EXPECT_FALSE(token.empty()) << c.inProfile;
    EXPECT_EQ(At(Answer(c.operation, {}, State()), c.path), token) << c.operation;
  }
}

TEST(OnvifOperations, OnlyTheDeviceAndMediaServicesAreAnnounced) {
  const TSoapAnswer services = Answer("GetServices", {{"IncludeCapability", "true"}}, State());
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(services.body.c_str()));
  const pugi::xpath_node_set namespaces = doc.select_nodes("//tds:Service/tds:Namespace");
  ASSERT_EQ(namespaces.size(), 2u);
  EXPECT_STREQ(namespaces[0].node().child_value(), kDeviceNs);
  EXPECT_STREQ(namespaces[1].node().child_value(), kMediaNs);
  const std::string capabilities = Answer("GetCapabilities", {}, State()).body;
  for (const char* absent : {"<tt:Events", "<tt:PTZ", "<tt:Imaging", "<tt:Analytics"}) {
    EXPECT_EQ(capabilities.find(absent), std::string::npos) << absent;
  }
  EXPECT_EQ(services.body.find("ver20"), std::string::npos);
}

TEST(OnvifOperations, NamesBecomeHostLabelsAndScopeUris) {
  struct Case {
    std::string name;
    std::string label;
    std::string scope;
  };
  const Case cases[] = {
      {"Living room PC", "Living-room-PC", "Living%20room%20PC"},
      {"  --a__b--  ", "a-b", "%20%20--a__b--%20%20"},
      {"Caf\xc3\xa9/1", "Caf-1", "Caf%C3%A9%2F1"},
      {"", "vistrel", ""},
      {"&&&", "vistrel", "%26%26%26"},
      {std::string(70, 'x'), std::string(63, 'x'), std::string(70, 'x')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostLabel(c.name), c.label) << c.name;
    const std::vector<std::string> scopes = OnvifScopes(State(c.name).identity);
    EXPECT_EQ(scopes.at(2), "onvif://www.onvif.org/name/" + c.scope) << c.name;
  }
}

}  // namespace
