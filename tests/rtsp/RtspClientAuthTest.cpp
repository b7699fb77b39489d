// Answers to media servers' challenges, against RFC 2617's worked example and our own server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtsp/RtspAuthenticator.h"
#include "rtsp/RtspClientAuth.h"
#include "tests/support/FakeClock.h"

namespace {

TEST(RtspClientAuth, PicksTheStrongestChallengeItCanAnswer) {
  const std::string digest = "Digest realm=\"r\", nonce=\"n\"";
  struct Case {
    std::vector<std::string> challenges;
    std::string answerStarts;  // empty: cannot be answered
    std::string errorHas = {};
  };
  const std::vector<Case> cases = {
      {{"Basic realm=\"r\"", digest}, "Digest username=\"us\\\"er\", realm=\"r\", nonce=\"n\""},
      {{"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", digest + ", algorithm=md5"},
       "Digest username"},
      {{"Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess", "Basic realm=\"r\""}, "Basic "},
      {{digest + ", qop=\"auth-int\"", "Negotiate abc=", "Digest realm=\"r\", nonce=\"n"},
       "",
       "qop other than auth, unknown scheme, unreadable"},
      {{}, "", "without a challenge"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answerStarts + c.errorHas);
    TRtspClientAuth auth("us\"er", "pw");
    std::string error;
    EXPECT_EQ(auth.TakeChallenge(c.challenges, error), !c.answerStarts.empty()) << error;
    EXPECT_NE(error.find(c.errorHas), std::string::npos) << error;
    EXPECT_TRUE(auth.Authorization("ANNOUNCE", "rtsp://h/x").starts_with(c.answerStarts));
  }
}

TEST(RtspClientAuth, AnswersTheRfc2617ExampleAndCountsNonces) {
  TRtspClientAuth auth("Mufasa", "Circle Of Life", [] { return std::string("0a4f113b"); });
  std::string error;
  EXPECT_EQ(auth.Authorization("GET", "/dir/index.html"), "");
  ASSERT_TRUE(auth.TakeChallenge(
      {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
       "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""},
      error));
  EXPECT_EQ(auth.Authorization("GET", "/dir/index.html"),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", qop=auth, nc=00000001, "
            "cnonce=\"0a4f113b\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
  EXPECT_NE(auth.Authorization("GET", "/dir/index.html").find("nc=00000002"), std::string::npos);
  EXPECT_EQ(auth.Authorization("GET", "/dir/index.html\r\nX: y"), "");
}

TEST(RtspClientAuth, OurOwnServerAcceptsItsAnswers) {
  FakeClock clock;
  TRtspAuthenticator server(clock, nullptr);
  const std::string uri = "rtsp://127.0.0.1:6554/live";
  struct Case {
    std::string password;
    bool allowBasic, stale;
    TRtspAccess expected;
  };
  const std::vector<Case> cases = {
      {"s3cret", false, false, TRtspAccess::Allowed},
      {"s3cret", true, false, TRtspAccess::Allowed},
      {"s3cret", false, true, TRtspAccess::Allowed},
      {"wrong", false, false, TRtspAccess::Challenge},
  };
  for (const Case& c : cases) {
    const TRtspCredentials credentials{"nvr", "s3cret", c.allowBasic};
    TRtspClientAuth auth("nvr", c.password);
    std::string error;
    ASSERT_TRUE(auth.TakeChallenge(server.Challenges(credentials, c.stale), error)) << error;
    EXPECT_EQ(auth.Stale(), c.stale);
    const auto verdict =
        server.Check(credentials, "ANNOUNCE", uri, auth.Authorization("ANNOUNCE", uri));
    EXPECT_EQ(static_cast<int>(verdict.access), static_cast<int>(c.expected)) << c.password;
  }
}

}  // namespace
