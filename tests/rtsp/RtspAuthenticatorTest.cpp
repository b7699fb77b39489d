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

TEST(RtspAuthenticator, JudgesDigestAndBasicAsClientsSendThem) {
  FakeClock clock;
  LineLog log;
  TRtspAuthenticator authenticator(clock, log.Sink(), 60000ms);
  const std::string old = authenticator.IssueNonce();
  clock.tick += 60001;
  const std::string fresh = authenticator.IssueNonce();
  const std::string live = "rtsp://h:6554/live";
  const auto digest = [&](std::string method, std::string uri, std::string password = "s3cret",
                          std::string nonce = {}, std::string user = "nvr") {
    return DigestAnswer(user, password, method, uri, nonce.empty() ? fresh : nonce);
  };
  struct Case {
    std::string what, method, uri, authorization;
    bool allowBasic;
    TRtspAccess expected;
  };
  const std::vector<Case> cases = {
      {"right password", "DESCRIBE", live, digest("DESCRIBE", live), false, TRtspAccess::Allowed},
      {"wrong password", "DESCRIBE", live, digest("DESCRIBE", live, "s3cres"), false,
       TRtspAccess::Challenge},
      {"wrong user", "DESCRIBE", live, digest("DESCRIBE", live, "s3cret", {}, "nv"), false,
       TRtspAccess::Challenge},
      {"no header", "DESCRIBE", live, "", false, TRtspAccess::Challenge},
      {"expired nonce", "PLAY", live, digest("PLAY", live, "s3cret", old), false,
       TRtspAccess::Stale},
      {"expired nonce, wrong password", "PLAY", live, digest("PLAY", live, "x", old), false,
       TRtspAccess::Challenge},
      {"nonce of another run", "PLAY", live, digest("PLAY", live, "s3cret", "0badc0de"), false,
       TRtspAccess::Stale},
      {"relative uri", "DESCRIBE", live, digest("DESCRIBE", "/live"), false, TRtspAccess::Allowed},
      {"trailing slash", "PLAY", live + "/", digest("PLAY", live), false, TRtspAccess::Allowed},
      {"SETUP, base with slash", "SETUP", "rtsp://h:6554/track1", digest("SETUP", "rtsp://h:6554/"),
       false, TRtspAccess::Allowed},
      {"SETUP, base without", "SETUP", "rtsp://h:6554/track1", digest("SETUP", "rtsp://h:6554"),
       false, TRtspAccess::Allowed},
      {"base on DESCRIBE", "DESCRIBE", live, digest("DESCRIBE", "rtsp://h:6554/"), false,
       TRtspAccess::Challenge},
      {"SETUP, two levels up", "SETUP", live + "/a/track1", digest("SETUP", live), false,
       TRtspAccess::Challenge},
      {"another request's uri", "DESCRIBE", live, digest("DESCRIBE", live + "2"), false,
       TRtspAccess::Challenge},
      {"digest of another method", "SETUP", live, digest("DESCRIBE", live), false,
       TRtspAccess::Challenge},
      {"spaces, case, upper-case hex", "DESCRIBE", live,
       "  digest  USERNAME = \"nvr\" ,, Realm=Vistrel,nonce=\"" + fresh + "\", URI=\"" + live +
           "\",response=" + Md5HexOf(Md5HexOf("nvr:Vistrel:s3cret") + ":" + fresh + ":" +
                                     Md5HexOf("DESCRIBE:" + live)),
       false, TRtspAccess::Allowed},
      {"other realm", "DESCRIBE", live, DigestAnswer("nvr", "s3cret", "DESCRIBE", live, fresh, "x"),
       false, TRtspAccess::Challenge},
      {"qop not offered", "DESCRIBE", live, digest("DESCRIBE", live) + ", qop=auth", false,
       TRtspAccess::Challenge},
      {"malformed", "DESCRIBE", live, "Digest username=\"nvr, realm=\"Vistrel\"", false,
       TRtspAccess::Challenge},
      {"Basic, not allowed", "DESCRIBE", live, "Basic bnZyOnMzY3JldA==", false,
       TRtspAccess::Challenge},
      {"Basic, allowed", "DESCRIBE", live, "Basic bnZyOnMzY3JldA==", true, TRtspAccess::Allowed},
      {"Basic, wrong password", "DESCRIBE", live, "Basic bnZyOnMzY3JldQ==", true,
       TRtspAccess::Challenge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TRtspAccessVerdict verdict =
        authenticator.Check({"nvr", "s3cret", c.allowBasic}, c.method, c.uri, c.authorization);
    EXPECT_EQ(verdict.access, c.expected);
    EXPECT_EQ(verdict.refusal.empty(), c.expected != TRtspAccess::Challenge || c.what == "no header")
        << verdict.refusal;
  }
  EXPECT_EQ(authenticator.Check({}, "PLAY", live, "garbage").access, TRtspAccess::Allowed);
}

TEST(RtspAuthenticator, TheServiceAsksForCredentialsBeforeAnyHandlerButOptions) {
  ServiceBench bench({}, {}, 10000ms, [] { return TRtspCredentials{"nvr", "s3cret", false}; });
  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);
  TestClient client(port);
  ASSERT_TRUE(client.Connected());
  const auto ask = [&](std::string method, int cseq, std::string extra = {}) {
    EXPECT_TRUE(client.Send(Request(method, cseq, extra)));
    return client.ReadResponse().value_or(TResponse{});
  };
  EXPECT_EQ(ask("OPTIONS", 1).status, 200);
  const TResponse refused = ask("DESCRIBE", 2);
  EXPECT_EQ(refused.status, 401);
  EXPECT_TRUE(refused.Header("WWW-Authenticate").starts_with("Digest realm=\"Vistrel\", nonce=\""))
      << refused.Header("WWW-Authenticate");
  EXPECT_EQ(ask("GET_PARAMETER", 3).status, 401);
  const std::string nonce = NonceOf(refused.Header("WWW-Authenticate"));
  const std::string uri = "rtsp://127.0.0.1/live";
  const std::string wrong = "Authorization: " + DigestAnswer("nvr", "bad", "DESCRIBE", uri, nonce);
  EXPECT_EQ(ask("DESCRIBE", 4, wrong + "\r\n").status, 401);
  EXPECT_EQ(ask("DESCRIBE", 5, wrong + "\r\n").status, 401);  // within the second: counted only
  bench.clock.tick += 1000;
  EXPECT_EQ(ask("SETUP", 6, "Authorization: Basic bnZyOnMzY3JldA==\r\n").status, 401);
  EXPECT_EQ(ask("DESCRIBE", 7, "Authorization: " + DigestAnswer("nvr", "s3cret", "DESCRIBE", uri,
                                                                 nonce) + "\r\n").status, 200);

  std::vector<std::string> seen;
  for (const TSeenRequest& request : bench.recorder.Seen()) seen.push_back(request.method);
  EXPECT_EQ(seen, (std::vector<std::string>{"OPTIONS", "DESCRIBE"}));
  std::vector<std::string> refusals;
  for (const std::string& line : bench.log.Lines()) {
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    EXPECT_EQ(line.find("bnZy"), std::string::npos) << line;
    if (line.starts_with("refused credentials from 127.0.0.1:")) refusals.push_back(line);
  }
  ASSERT_EQ(refusals.size(), 2u);
  EXPECT_TRUE(refusals[0].ends_with("(DESCRIBE, wrong password)")) << refusals[0];
  EXPECT_TRUE(refusals[1].ends_with(
      "(SETUP, Basic not allowed), 1 more refused since the last report"))
      << refusals[1];
}

}  // namespace
}  // namespace service_test
