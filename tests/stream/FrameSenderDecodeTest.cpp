// A real decoder accepts our packetisation: pictures from the OrxEncoder library go through a
// frame sender as UDP datagrams to ffmpeg on 127.0.0.1, which must decode each of them cleanly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/FrameType.h"
#include "config/Settings.h"
#include "stream/FrameSender.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/OrxEncoderLibrary.h"
#include "tests/support/Subprocess.h"
#include "tests/support/SyntheticPicture.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 640, kHeight = 480, kPictures = 50;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The UDP server's RTP socket reduced to what a sender needs; it counts FU-A fragments so the test
// knows fragmentation really happened.
class LoopbackSocket : public TRtpDatagramSender {
 public:
  ~LoopbackSocket() override { ::close(fd_); }
  // port 0: any free one.
  bool Bind(uint16_t port) {
    const sockaddr_in address = Loopback(port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  uint16_t Port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }
  bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) override {
    std::vector<uint8_t> bytes;
    for (const auto piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return SendDatagram(address, port, bytes);
  }
  bool SendDatagram(const std::string&, uint16_t port, std::span<const uint8_t> bytes) {
    if (bytes.size() > 12 && (bytes[12] & 0x1F) == 28) ++fragments;
    const sockaddr_in target = Loopback(port);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                    sizeof target) == static_cast<ssize_t>(bytes.size());
  }
  int fragments = 0;

 private:
  int fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
};

// An even port with a free neighbour: the receiver takes both, RTP and RTCP.
uint16_t FreePortPair() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    LoopbackSocket probe;
    const uint16_t port = probe.Bind(0) ? probe.Port() : 1;
    if (port % 2 == 0 && port < 65534 && LoopbackSocket().Bind(static_cast<uint16_t>(port + 1))) {
      return port;
    }
  }
  return 0;
}

// Looks without binding, so that the receiver never finds its port held by the test.
bool PortTaken(uint16_t port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  std::ifstream table("/proc/net/udp");
  std::string line, slot, local;
  while (std::getline(table, line)) {
    std::istringstream(line) >> slot >> local;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0) return true;
  }
  return false;
}

std::vector<TFramePackage*> EncodePictures() {
  OrxEncoderLibrary library;
  EXPECT_TRUE(library.loaded()) << library.error();
  OrxEnHandle channel = library.loaded() ? library.CreateChannelEx(kEncodeTypeH264, 0) : nullptr;
  if (!channel || library.SetVideoParam(channel, kWidth, kHeight, 0) != 0) return {};
  std::vector<TFramePackage*> packages;
  std::vector<uint8_t> encoded(kWidth * kHeight * 2);
  for (int i = 0; i < kPictures; ++i) {
    const std::vector<uint8_t> picture = MakeMovingPicture(kWidth, kHeight, i);
    int key = 0;
    const int size = library.Encode(channel, picture.data(), encoded.data(), ORXEN_CSP_YV12,
                                    static_cast<int>(picture.size()), kWidth, kHeight, &key);
    if (size <= 0) break;
    packages.push_back(TFramePackage::Create({encoded.data(), static_cast<size_t>(size)}));
    packages.back()->Codec = kEncodeTypeH264;
    packages.back()->FrameType = key ? kKeyVideoFrameType : kOtherVideoFrameType;
  }
  library.CloseChannel(channel);
  return packages;
}

TEST(FrameSenderDecode, FfmpegDecodesEveryPictureSentOverUdp) {
  const uint16_t port = FreePortPair();
  ASSERT_NE(port, 0);
  std::vector<TFramePackage*> packages = EncodePictures();
  if (packages.size() != static_cast<size_t>(kPictures)) {
    for (TFramePackage* package : packages) package->Release();
    FAIL() << "encoded " << packages.size() << " pictures";
  }
  const TempFile sdp("stream.sdp"), frames("frames.txt");
  // ffmpeg binds its ports on every interface; the source filter makes it take 127.0.0.1 only.
  std::ofstream(sdp.path()) << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Vistrel\r\n"
                            << "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=video " << port
                            << " RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                            << "a=fmtp:96 packetization-mode=1\r\n"
                            << "a=source-filter: incl IN IP4 * 127.0.0.1\r\n";

  std::string errors;
  int exitCode = -1;
  std::thread decoder([&] {
    errors = RunCommand(
        "timeout -s KILL 60 ffmpeg -hide_banner -nostdin -loglevel warning "
        "-protocol_whitelist file,udp,rtp -i '" +
            sdp.path() + "' -f framecrc -y '" + frames.path() + "' 2>&1",
        &exitCode);
  });
  // Datagrams sent before ffmpeg holds the port would be lost.
  for (const auto end = std::chrono::steady_clock::now() + 20s;
       !PortTaken(port) && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(20ms);
  }

  LoopbackSocket socket;
  ByeCollector poster;
  std::vector<std::string> log;
  TFrameSender sender(25, {&socket, {}, &poster, [&](std::string_view t) { log.emplace_back(t); }});
  sender.SetDestination("127.0.0.1", port);
  sender.Start();
  for (TFramePackage* package : packages) {
    sender.Enqueue(package);
    std::this_thread::sleep_for(10ms);  // paced like a live source
  }
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       sender.QueuedPackages() > 0 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(300ms);
  sender.Stop();

  // An RTCP BYE ends the stream for ffmpeg, which then flushes its decoder and exits. It ignores
  // RTCP shorter than an RTP header, so an empty receiver report goes first.
  const uint32_t ssrc = sender.Ssrc();
  std::vector<uint8_t> bye;
  for (const uint8_t type : {uint8_t{201}, uint8_t{203}}) {
    bye.insert(bye.end(), {static_cast<uint8_t>(type == 201 ? 0x80 : 0x81), type, 0, 1,
                           static_cast<uint8_t>(ssrc >> 24), static_cast<uint8_t>(ssrc >> 16),
                           static_cast<uint8_t>(ssrc >> 8), static_cast<uint8_t>(ssrc)});
  }
  socket.SendDatagram("127.0.0.1", static_cast<uint16_t>(port + 1), bye);
  decoder.join();

  EXPECT_FALSE(sender.Failed());
  EXPECT_TRUE(log.empty()) << log.front();
  EXPECT_GT(socket.fragments, 0) << "no picture was large enough for FU-A";
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(errors, "");
  // framecrc lines: stream, dts, pts, duration, size, checksum.
  std::istringstream lines(RunCommand("grep -v '^#' '" + frames.path() + "'"));
  int decoded = 0;
  for (std::string line; std::getline(lines, line); ++decoded) {
    EXPECT_NE(line.find(" " + std::to_string(kWidth * kHeight * 3 / 2) + ", 0x"), std::string::npos)
        << line;
  }
  // The BYE may overtake the last packets.
  EXPECT_GE(decoded, kPictures - 1);
  EXPECT_LE(decoded, kPictures);
}

}  // namespace
