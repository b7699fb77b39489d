#include "onvif/OnvifHttpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "tests/support/Subprocess.h"

namespace {

const std::vector<std::uint8_t> kPicture = {0xFF, 0xD8, 0x00};

class OnvifHttpServerTest : public testing::Test {
 protected:
  void SetUp() override {
    TOnvifHttpHandlers handlers;
    handlers.soap = [this](const TOnvifHttpRequest& request) {
      const std::lock_guard guard(lock_);
      requests_.push_back(request);
      return TSoapAnswer{400, "<fault/>"};
    };
    handlers.snapshot = [this] { return picture_ ? std::optional(kPicture) : std::nullopt; };
    handlers.credentials = [this] { return TOnvifCredentials{"user", "pw", clearText_.load()}; };
    server_ = std::make_unique<TOnvifHttpServer>(std::move(handlers), TOnvifHttpLimits{1000});
    ASSERT_TRUE(server_->Start("127.0.0.1", 0)) << server_->LastError();
  }

  // Every head and body curl received, then the last status.
  std::pair<int, std::string> Curl(const std::string& arguments, const std::string& path) {
    const std::string text =
        RunCommand("curl -s -i -m 10 -w ' %{http_code}' " + arguments +
                   " http://127.0.0.1:" + std::to_string(server_->Port()) + path);
    return {std::atoi(text.substr(text.rfind(' ') + 1).c_str()), text};
  }

  std::mutex lock_;
  std::vector<TOnvifHttpRequest> requests_;
  std::atomic<bool> picture_ = true, clearText_ = false;
  std::unique_ptr<TOnvifHttpServer> server_;
};

TEST_F(OnvifHttpServerTest, SoapPostReachesTheHandlerAndItsAnswerComesBack) {
  const std::string text = Curl("--data-binary '<x/>'", "/onvif/device_service").second;
  EXPECT_NE(text.find("Content-Type: application/soap+xml; charset=utf-8"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\n<fault/> 400"), std::string::npos);
  const std::lock_guard guard(lock_);
  ASSERT_EQ(requests_.size(), 1U);
  const TOnvifHttpRequest& r = requests_[0];
  EXPECT_EQ(std::tie(r.path, r.host, r.localAddress, r.peerAddress, r.body),
            std::make_tuple("/onvif/device_service", "127.0.0.1:" + std::to_string(server_->Port()),
                            "127.0.0.1", "127.0.0.1", "<x/>"));
}

TEST_F(OnvifHttpServerTest, RefusesWhatIsNoSoapRequestBeforeTheHandler) {
  const std::string big(1001, 'x');
  const struct {
    std::string arguments, path;
    int status;
  } cases[] = {
      {"--data-binary " + big, "/onvif/device_service", 413},
      {"-H 'Transfer-Encoding: chunked' --data-binary " + big, "/onvif/media", 413},
      {"", "/onvif/device_service", 405},
      {"--data-binary x", "/index.html", 404},
      {"--data-binary x", TOnvifHttpServer::kSnapshotPath, 405},
  };
  for (const auto& c : cases) EXPECT_EQ(Curl(c.arguments, c.path).first, c.status) << c.arguments;
  const std::lock_guard guard(lock_);
  EXPECT_TRUE(requests_.empty());
}

TEST_F(OnvifHttpServerTest, SnapshotOnlyForTheRightCredentials) {
  const struct {
    bool clearText, picture;
    const char* arguments;
    int status;
  } cases[] = {{false, true, "", 401},
               {false, true, "--digest -u user:pw", 200},
               {false, true, "--digest -u user:wrong", 401},
               {false, true, "--digest -u other:pw", 401},
               {false, true, "--basic -u user:pw", 401},
               {true, true, "", 401},
               {true, true, "--basic -u user:pw", 200},
               {true, true, "--basic -u user:pwx", 401},
               {true, false, "--digest -u user:pw", 503}};
  for (const auto& c : cases) {
    clearText_ = c.clearText, picture_ = c.picture;
    const auto [status, text] = Curl(c.arguments, TOnvifHttpServer::kSnapshotPath);
    EXPECT_EQ(status, c.status) << c.arguments;
    EXPECT_EQ(text.find(std::string("\r\n\r\n\xFF\xD8\x00 200", 11)) != text.npos, status == 200);
    if (c.status != 401) continue;
    EXPECT_NE(text.find("WWW-Authenticate: Digest realm=\"Vistrel\""), std::string::npos);
    EXPECT_EQ(text.find("Basic realm=\"Vistrel\"") != std::string::npos, c.clearText);
  }
}

TEST_F(OnvifHttpServerTest, StartFailsOnAPortInUseOrABadAddress) {
  TOnvifHttpServer second({});
  EXPECT_FALSE(second.Start("127.0.0.1", server_->Port()));
  EXPECT_NE(second.LastError().find(std::to_string(server_->Port())), std::string::npos);
  EXPECT_FALSE(second.Start("localhost", 0));
  const std::uint16_t port = server_->Port();
  server_->Stop();  // the destructor stops again
  EXPECT_TRUE(second.Start("127.0.0.1", port)) << second.LastError();
}

}  // namespace
