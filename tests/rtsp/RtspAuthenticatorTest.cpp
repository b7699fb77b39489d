// Credentials as clients send them, judged by the authenticator and by the service in front of
// its handlers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "rtsp/RtspAuthenticator.h"
#include "tests/support/DigestAnswer.h"

namespace service_test {
namespace {

constexpr auto kIn = TRtspAccess::Allowed;
constexpr auto k401 = TRtspAccess::Challenge;
constexpr auto kStale = TRtspAccess::Stale;

TEST(RtspAuthenticator, JudgesDigestAndBasicAsClientsSendThem) {
  FakeClock clock;
  TRtspAuthenticator authenticator(clock, nullptr, 60000ms);
  const std::string old = authenticator.IssueNonce();
  clock.tick += 60001;
  const std::string nonce = authenticator.IssueNonce();
  const std::string live = "rtsp://h:6554/live", track = "rtsp://h:6554/track1";
  const auto digest = [&](std::string method, std::string uri, std::string password = "s3cret",
                          std::string user = "nvr", std::string withNonce = {}) {
    return DigestAnswer(user, password, method, uri, withNonce.empty() ? nonce : withNonce);
  };
  struct Case {
    std::string method, uri, authorization;
    TRtspAccess expected;
    bool allowBasic = false;
  };
  const std::vector<Case> cases = {
      {"DESCRIBE", live, digest("DESCRIBE", live), kIn},
      {"DESCRIBE", live, digest("DESCRIBE", live, "s3cres"), k401},
      {"DESCRIBE", live, digest("DESCRIBE", live, "s3cret", "nv"), k401},
      {"DESCRIBE", live, "", k401},
      {"PLAY", live, digest("PLAY", live, "s3cret", "nvr", old), kStale},
      {"PLAY", live, digest("PLAY", live, "s3cret", "nvr", "0badc0de"), kStale},  // another run's
      {"DESCRIBE", live, digest("DESCRIBE", "/live"), kIn},
      {"SETUP", track, digest("SETUP", "rtsp://h:6554/"), kIn},
      {"SETUP", track, digest("SETUP", "rtsp://h:6554"), kIn},
      {"DESCRIBE", live, digest("DESCRIBE", "rtsp://h:6554/"), k401},
      {"SETUP", live + "/a/track1", digest("SETUP", live), k401},
      {"SETUP", live, digest("DESCRIBE", live), k401},
      {"DESCRIBE", live, "  digest  USERNAME = \"nvr\" ,," + digest("DESCRIBE", live).substr(21),
       kIn},  // what follows Digest username="nvr"
      {"DESCRIBE", live, digest("DESCRIBE", live) + ", qop=auth", k401},
      {"DESCRIBE", live, "Digest username=\"nvr, realm=\"Vistrel\"", k401},
      {"DESCRIBE", live, "Basic bnZyOnMzY3JldA==", k401},
      {"DESCRIBE", live, "Basic bnZyOnMzY3JldA==", kIn, true},
      {"DESCRIBE", live, "Basic bnZyOnMzY3JldQ==", k401, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.uri + " " + c.authorization);
    const TRtspAccessVerdict verdict =
        authenticator.Check({"nvr", "s3cret", c.allowBasic}, c.method, c.uri, c.authorization);
    EXPECT_EQ(static_cast<int>(verdict.access), static_cast<int>(c.expected));
    // Only credentials that were sent and refused are worth a log line.
    EXPECT_EQ(verdict.refusal.empty(), c.expected != k401 || c.authorization.empty());
  }
}

TEST(RtspAuthenticator, TheServiceAsksForCredentialsBeforeAnyHandlerButOptions) {
  ServiceBench bench({}, {}, 10000ms, [] { return TRtspCredentials{"nvr", "s3cret", false}; });
  TestClient client(bench.Start());
  const auto ask = [&](std::string method, int cseq, std::string extra = {}) {
    EXPECT_TRUE(client.Send(Request(method, cseq, extra)));
    return client.ReadResponse().value_or(TResponse{});
  };
  EXPECT_EQ(ask("OPTIONS", 1).status, 200);
  const TResponse refused = ask("DESCRIBE", 2);
  EXPECT_EQ(refused.status, 401);
  const std::string challenge = refused.Header("WWW-Authenticate");
  EXPECT_TRUE(challenge.starts_with("Digest realm=\"Vistrel\", nonce=\"")) << challenge;
  const auto digest = [&](std::string password, std::string method = "DESCRIBE") {
    return "Authorization: " +
           DigestAnswer("nvr", password, method, "rtsp://127.0.0.1/live", NonceOf(challenge)) +
           "\r\n";
  };
  EXPECT_EQ(ask("DESCRIBE", 4, digest("bad")).status, 401);
  EXPECT_EQ(ask("DESCRIBE", 5, digest("bad")).status, 401);  // within the second: counted only
  bench.clock.tick += 1000;
  EXPECT_EQ(ask("SETUP", 6, "Authorization: Basic bnZyOnMzY3JldA==\r\n").status, 401);
  EXPECT_EQ(ask("DESCRIBE", 7, digest("s3cret")).status, 200);
  // Nonce and a UDP session both out of date: the keep-alive is refused, but keeps the session.
  const auto session = bench.sessions->AddSession({"127.0.0.1", 0, "nvr"});
  session->SetClientPort(5000);
  ASSERT_TRUE(session->StartStreaming());
  bench.clock.tick += static_cast<uint32_t>(TRtspAuthenticator::kNonceLifetime.count()) + 1;
  const TResponse stale =
      ask("GET_PARAMETER", 8,
          "Session: " + session->SessionName() + "\r\n" + digest("s3cret", "GET_PARAMETER"));
  EXPECT_TRUE(stale.Header("WWW-Authenticate").ends_with("\", stale=TRUE")) << stale.status;
  EXPECT_FALSE(session->IsExpired());

  EXPECT_EQ(bench.recorder.Seen().size(), 2u) << "OPTIONS and the DESCRIBE with credentials";
  std::vector<std::string> refusals;
  for (const std::string& line : bench.log.Lines()) {
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    if (line.starts_with("refused credentials from 127.0.0.1:")) refusals.push_back(line);
  }
  ASSERT_EQ(refusals.size(), 2u);
  EXPECT_TRUE(refusals[0].ends_with("(DESCRIBE, wrong password)")) << refusals[0];
  EXPECT_TRUE(
      refusals[1].ends_with("(SETUP, Basic not allowed), 1 more refused since the last report"))
      << refusals[1];
}

}  // namespace
}  // namespace service_test
