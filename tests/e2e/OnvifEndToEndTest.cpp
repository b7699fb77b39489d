// The real program as an ONVIF camera, seen through the npm "onvif" client some recorders ship:
// found by discovery, logged in to, its stream address decoded and its snapshot fetched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "RunningVistrel.h"
#include "tests/support/Subprocess.h"
#include "tests/support/XvfbDisplay.h"

namespace {

namespace fs = std::filesystem;

// The client's packages, installed once per build folder from the lock file; tests running side by
// side wait for one another rather than install twice into one folder.
fs::path OnvifClient() {
  const fs::path folder = VISTREL_ONVIF_CLIENT_DIR;
  fs::create_directories(folder);
  const int lock = ::open((folder / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ::flock(lock, LOCK_EX);
  if (!fs::exists(folder / "node_modules" / "onvif" / "package.json")) {
    for (const char* name : {"package.json", "package-lock.json", "client.js"}) {
      fs::copy_file(fs::path(VISTREL_ONVIF_CLIENT_SOURCE) / name, folder / name,
                    fs::copy_options::overwrite_existing);
    }
    RunCommand("cd '" + folder.string() + "' && timeout -s KILL 300 npm ci --no-audit --no-fund " +
               "--loglevel=error 2>&1");
  }
  fs::copy_file(fs::path(VISTREL_ONVIF_CLIENT_SOURCE) / "client.js", folder / "client.js",
                fs::copy_options::overwrite_existing);
  ::close(lock);
  return folder;
}

std::string RunClient(const std::string& arguments, const std::string& prefix = {}) {
  const fs::path folder = OnvifClient();
  return RunCommand(prefix + "timeout -s KILL 60 node '" + (folder / "client.js").string() + "' " +
                    arguments + " 2>&1");
}

// One field of the client's JSON line: a string's text, or a number, null or true as written.
std::string Field(const std::string& json, const std::string& name) {
  const std::regex field("\"" + name + R"re(":(?:"([^"]*)"|([^,}\]]*)))re");
  std::smatch m;
  if (!std::regex_search(json, m, field)) return "<missing>";
  return m[1].matched ? m[1].str() : m[2].str();
}

std::string Settings(std::uint16_t onvifPort, bool discovery) {
  return "[RTSP]\nPort={port}\n[Auth]\nUser=nvr\nPassword=s3cret\n[ONVIF]\nEnable=1\nPort=" +
         std::to_string(onvifPort) + "\nName=Desk & Co\nDiscovery=" + (discovery ? "1" : "0") + "\n";
}

class OnvifEndToEnd : public ::testing::Test {
 protected:
  XvfbDisplay display_{XvfbDisplay::Screen{320, 240, 24}};
};

TEST_F(OnvifEndToEnd, TheClientGetsTheProfileAndAStreamFfmpegDecodesOnlyWithThePassword) {
  const auto onvifPort = static_cast<std::uint16_t>(FreePortPair());
  RunningVistrel vistrel(display_.Name(), Settings(onvifPort, false));
  ASSERT_TRUE(vistrel.WaitForLog({"ONVIF service listening"}, std::chrono::seconds(10)))
      << vistrel.LogText();
  const std::string port = std::to_string(onvifPort);

  const std::string right = RunClient("connect 127.0.0.1 " + port + " nvr s3cret");
  EXPECT_EQ(Field(right, "profiles"), "1") << right;
  EXPECT_EQ(Field(right, "sourceToken"), "VideoSource_1") << right;
  const std::string uri = Field(right, "streamUri");
  ASSERT_EQ(uri, "rtsp://127.0.0.1:" + std::to_string(vistrel.Port()) + "/live") << right;
  const DecodeResult decoded = DecodeFrames("rtsp://nvr:s3cret@" + uri.substr(7), "tcp", 5, 30);
  EXPECT_EQ(decoded.frames, 5) << decoded.output;
  EXPECT_EQ(decoded.size, "320x240");

  // The snapshot: a JPEG of the whole screen, behind the same password.
  const std::string snapshot = Field(right, "snapshotUri");
  ASSERT_EQ(snapshot, "http://127.0.0.1:" + port + "/onvif/snapshot.jpg") << right;
  const fs::path picture = vistrel.Folder() / "snapshot.jpg";
  const auto fetch = [&](const std::string& credentials) {
    return RunCommand("timeout -s KILL 20 curl -s -o '" + picture.string() +
                      "' -w '%{http_code} %{content_type}' " + credentials + " '" + snapshot + "'");
  };
  EXPECT_EQ(fetch("--digest -u nvr:guess"), "401 text/plain; charset=utf-8") << "a wrong password";
  EXPECT_EQ(fetch("--digest -u nvr:s3cret"), "200 image/jpeg");
  EXPECT_EQ(RunCommand("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" +
                       picture.string() + "' 2>&1"),
            "mjpeg,320,240\n");

  // This client calls back without an error on a wrong password: what counts is what it got.
  const std::string wrong = RunClient("connect 127.0.0.1 " + port + " nvr guess");
  EXPECT_EQ(Field(wrong, "profiles"), "0") << wrong;
  EXPECT_EQ(Field(wrong, "streamUri"), "null") << wrong;
  EXPECT_EQ(Field(wrong, "snapshotUri"), "null") << wrong;
  EXPECT_EQ(vistrel.LogText().find("s3cret"), std::string::npos);
}

// Discovery listens on the one port the protocol has, so a single test uses it: a unicast probe
// on this machine, then a multicast one inside a network namespace of the test's own.
TEST_F(OnvifEndToEnd, DiscoveryFindsTheCameraByUnicastAndInItsOwnNetworkByMulticast) {
  const auto onvifPort = static_cast<std::uint16_t>(FreePortPair());
  const std::string xaddr = "http://127.0.0.1:" + std::to_string(onvifPort) + "/onvif/device_service";
  {
    RunningVistrel vistrel(display_.Name(), Settings(onvifPort, true));
    ASSERT_TRUE(vistrel.WaitForLog({"ONVIF service listening"}, std::chrono::seconds(10)));
    const std::string found = RunClient("discover unicast:127.0.0.1 3000");
    EXPECT_NE(found.find(xaddr), std::string::npos) << found << vistrel.LogText();
    EXPECT_TRUE(std::regex_search(found, std::regex(R"("urn":"urn:uuid:[0-9a-f-]{36}")"))) << found;
    for (const char* scope : {"onvif://www.onvif.org/Profile/Streaming",
                              "onvif://www.onvif.org/name/Desk%20%26%20Co",
                              "onvif://www.onvif.org/hardware/Vistrel"}) {
      EXPECT_NE(found.find(scope), std::string::npos) << scope << "\n" << found;
    }
  }

  // Multicast needs a network of its own, with the loopback interface up and routing the group.
  const std::string network =
      "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo";
  if (RunCommand("unshare -rn sh -c '" + network + "' 2>&1 && echo ok") != "ok\n") {
    GTEST_SKIP() << "this machine does not let a test make a network namespace";
  }
  RunningVistrel isolated(display_.Name(), Settings(onvifPort, true), {},
                          {"/usr/bin/unshare", "-rn", "/bin/sh", "-c", network + " && exec \"$0\""});
  ASSERT_TRUE(isolated.WaitForLog({"ONVIF service listening"}, std::chrono::seconds(10)))
      << isolated.LogText();
  const std::string inside =
      "nsenter --preserve-credentials -U -n -t " + std::to_string(isolated.Process().Pid()) + " ";
  const std::string found = RunClient("discover multicast 3000", inside);
  EXPECT_NE(found.find(xaddr), std::string::npos) << found << isolated.LogText();
}

TEST_F(OnvifEndToEnd, WithoutAUserOnvifStaysOffAndTheLogSaysWhy) {
  const auto onvifPort = static_cast<std::uint16_t>(FreePortPair());
  RunningVistrel vistrel(display_.Name(), "[RTSP]\nPort={port}\n[ONVIF]\nEnable=1\nPort=" +
                                              std::to_string(onvifPort) + "\n");
  EXPECT_TRUE(LinesInOrder(vistrel.LogText(), {"ONVIF stays off: it needs a camera user"}))
      << vistrel.LogText();
  EXPECT_EQ(RunCommand("curl -s -o /dev/null -w '%{http_code}' -d x http://127.0.0.1:" +
                       std::to_string(onvifPort) + "/onvif/device_service"),
            "000");
}

}  // namespace
