#include "onvif/OnvifHttpServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "tests/support/Subprocess.h"

namespace {

struct TCurlAnswer {
  int status = 0;
  std::string headers;
  std::string body;
};

std::string FileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

class OnvifHttpServerTest : public testing::Test {
 protected:
  void SetUp() override {
    TOnvifHttpHandlers handlers;
    handlers.soap = [this](const TOnvifHttpRequest& request) {
      const std::lock_guard guard(lock_);
      requests_.push_back(request);
      return TSoapAnswer{400, "<fault/>"};
    };
    handlers.snapshot = [this] {
      const std::lock_guard guard(lock_);
      return picture_;
    };
    handlers.credentials = [this] {
      const std::lock_guard guard(lock_);
      return TOnvifCredentials{"user", "pw", clearText_};
    };
    handlers.log = [](std::string_view) {};
    server_ = std::make_unique<TOnvifHttpServer>(std::move(handlers), TOnvifHttpLimits{1000});
    ASSERT_TRUE(server_->Start("127.0.0.1", 0)) << server_->LastError();
  }

  TCurlAnswer Curl(const std::string& arguments, const std::string& path) {
    const TempFile headers("headers");
    const TempFile body("body");
    const std::string code = RunCommand(
        "curl -s -m 10 -D " + headers.path() + " -o " + body.path() + " -w '%{http_code}' " +
        arguments + " http://127.0.0.1:" + std::to_string(server_->Port()) + path);
    return {std::atoi(code.c_str()), FileText(headers.path()), FileText(body.path())};
  }

  std::mutex lock_;
  std::vector<TOnvifHttpRequest> requests_;
  std::optional<std::vector<std::uint8_t>> picture_;
  bool clearText_ = false;
  std::unique_ptr<TOnvifHttpServer> server_;
};

TEST_F(OnvifHttpServerTest, SoapPostReachesTheHandlerAndItsAnswerComesBack) {
  const TCurlAnswer answer = Curl("--data-binary '<x/>'", "/onvif/device_service");
  EXPECT_EQ(answer.status, 400);
  EXPECT_EQ(answer.body, "<fault/>");
  EXPECT_NE(answer.headers.find("application/soap+xml; charset=utf-8"), std::string::npos);
  const std::lock_guard guard(lock_);
  ASSERT_EQ(requests_.size(), 1U);
  EXPECT_EQ(requests_[0].path, "/onvif/device_service");
  EXPECT_EQ(requests_[0].host, "127.0.0.1:" + std::to_string(server_->Port()));
  EXPECT_EQ(requests_[0].localAddress, "127.0.0.1");
  EXPECT_EQ(requests_[0].peerAddress, "127.0.0.1");
  EXPECT_EQ(requests_[0].body, "<x/>");
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
  for (const auto& c : cases) EXPECT_EQ(Curl(c.arguments, c.path).status, c.status) << c.arguments;
  const std::lock_guard guard(lock_);
  EXPECT_TRUE(requests_.empty());
}

TEST_F(OnvifHttpServerTest, SnapshotOnlyForTheRightCredentials) {
  const struct {
    bool clearText, picture;
    const char* arguments;
    int status;
    bool basicChallenge;
  } cases[] = {
      {false, true, "", 401, false},
      {false, true, "--digest -u user:pw", 200, false},
      {false, true, "--digest -u user:wrong", 401, false},
      {false, true, "--digest -u other:pw", 401, false},
      {false, true, "--basic -u user:pw", 401, false},
      {true, true, "", 401, true},
      {true, true, "--basic -u user:pw", 200, true},
      {true, true, "--basic -u user:pwx", 401, true},
      {true, false, "--digest -u user:pw", 503, true},
  };
  for (const auto& c : cases) {
    {
      const std::lock_guard guard(lock_);
      clearText_ = c.clearText;
      picture_ = c.picture ? std::optional(std::vector<std::uint8_t>{0xFF, 0xD8, 0}) : std::nullopt;
    }
    const TCurlAnswer answer = Curl(c.arguments, TOnvifHttpServer::kSnapshotPath);
    EXPECT_EQ(answer.status, c.status) << c.arguments;
    if (c.status == 200) {
      EXPECT_EQ(answer.body, std::string("\xFF\xD8\x00", 3)) << c.arguments;
    }
    if (c.status != 401) continue;
    EXPECT_NE(answer.headers.find("WWW-Authenticate: Digest realm=\"Vistrel\""), std::string::npos);
    EXPECT_EQ(answer.headers.find("Basic realm=\"Vistrel\"") != std::string::npos, c.basicChallenge)
        << c.arguments;
  }
}

TEST_F(OnvifHttpServerTest, StartFailsOnAPortInUseOrABadAddress) {
  TOnvifHttpServer second({});
  EXPECT_FALSE(second.Start("127.0.0.1", server_->Port()));
  EXPECT_NE(second.LastError().find(std::to_string(server_->Port())), std::string::npos);
  EXPECT_FALSE(second.Start("localhost", 0));
  EXPECT_NE(second.LastError().find("IPv4"), std::string::npos);
  const std::uint16_t port = server_->Port();
  server_->Stop();
  server_->Stop();
  EXPECT_TRUE(second.Start("127.0.0.1", port)) << second.LastError();
}

}  // namespace
