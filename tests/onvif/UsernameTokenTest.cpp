// UsernameTokens as recorders make them, judged alone and in front of the operations.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "onvif/OnvifDispatcher.h"
#include "onvif/OnvifOperations.h"
#include "onvif/UsernameTokenCheck.h"

namespace {

using namespace std::chrono;
using V = TTokenVerdict;

std::string Base64(const std::string& bytes) {
  std::string text(bytes.size() / 3 * 4 + 5, '\0');
  text.resize(static_cast<std::size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()))));
  return text;
}

// A digest token as the client computes it.
TUsernameToken Token(const std::string& nonce, const std::string& created,
                     const std::string& password = "s3cret", const std::string& user = "admin") {
  unsigned char sha1[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const std::string joined = nonce + created + password;
  EVP_Digest(joined.data(), joined.size(), sha1, &length, EVP_sha1(), nullptr);
  return {user, Base64(std::string(reinterpret_cast<char*>(sha1), length)), false, Base64(nonce),
          created};
}

const system_clock::time_point kNow = sys_days{2026y / 12 / 9} + 11h + 22min + 33s;
constexpr const char* kCreated = "2026-12-09T11:22:33Z";

TEST(UsernameTokenCheck, JudgesTokensInOrder) {
  const auto with = [](TUsernameToken token, auto change) { change(token); return token; };
  struct Case {
    std::optional<TUsernameToken> token;
    V expected;
    bool clearText = false;
  };
  const std::vector<Case> cases = {
      {Token("n2", kCreated, "s3cres"), V::WrongPassword},
      {Token("n2", kCreated), V::Accepted},  // a refused token's nonce was not remembered
      {Token("n2", kCreated), V::Replayed},
      {Token("n3", kCreated, "s3cret", "root"), V::UnknownUser},
      {with(Token("n4", kCreated), [](auto& t) { t.nonce.clear(); }), V::BadNonce},
      {with(Token("n5", kCreated), [](auto& t) { t.nonce = "bjU=bjU="; }), V::BadNonce},
      {with(Token("n6", kCreated), [](auto& t) { t.nonce = "bjZ="; }), V::BadNonce},
      {with(Token("n7", kCreated), [](auto& t) { t.password = "not Base64"; }), V::BadDigest},
      {with(Token("n8", kCreated), [](auto& t) { t.password = "c2hvcnQ="; }), V::BadDigest},
      {Token("n9", "2026-12-09T11:16:33Z"), V::Stale},
      {Token("n9", "2026-12-09T11:28:33Z"), V::Stale},
      {Token("n9", "2026-12-09T11:18:33Z"), V::Accepted},
      {Token("na", "2026-12-09T11:22:33.123456Z"), V::Accepted},
      {Token("nb", "2026-12-09T12:22:33+01:00"), V::Accepted},
      {Token("nc", "2026-12-09T11:22:33+05:00"), V::Stale},
      {Token("nd", "2026-12-09T11:22:33"), V::Accepted},
      {Token("ne", "2026-02-30T11:22:33Z"), V::BadCreated},
      {Token("nf", ""), V::BadCreated},
      {TUsernameToken{"admin", "s3cret", true, "", ""}, V::ClearTextRefused},
      {TUsernameToken{"admin", "s3cret", true, "", ""}, V::Accepted, true},
      {TUsernameToken{"admin", "s3cre", true, "", ""}, V::WrongPassword, true},
      {std::nullopt, V::Missing},
  };
  TUsernameTokenCheck check;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token ? c.token->nonce + " " + c.token->created : "no token");
    EXPECT_EQ(TokenVerdictText(check.Check(c.token, {"admin", "s3cret", c.clearText}, kNow)),
              TokenVerdictText(c.expected));
  }
}

std::string Envelope(const std::string& operation, const std::optional<TUsernameToken>& token) {
  std::string header;
  if (token) {
    header = "<s:Header><Security><UsernameToken><Username>" + token->username +
             "</Username><Password Type=\"x#PasswordDigest\">" + token->password +
             "</Password><Nonce>" + token->nonce + "</Nonce><Created>" + token->created +
             "</Created></UsernameToken></Security></s:Header>";
  }
  return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">" + header +
         "<s:Body><tds:" + operation + " xmlns:tds=\"d\"/></s:Body></s:Envelope>";
}

TEST(OnvifDispatcher, LetsThroughOnlyWhatNeedsNoTokenOrHasARightOne) {
  struct Case {
    std::string body;
    int status;
    std::string fault;  // empty: passed on to the operations
  };
  const std::string sender = "env:Sender</env:Value><env:Subcode><env:Value>ter:";
  const std::vector<Case> cases = {
      {Envelope("GetSystemDateAndTime", Token("g1", kCreated, "wrong")), 200, ""},
      {Envelope("GetCapabilities", std::nullopt), 200, ""},
      {Envelope("GetDeviceInformation", Token("g2", kCreated)), 200, ""},
      {Envelope("GetDeviceInformation", Token("g2", kCreated)), 400, sender + "NotAuthorized"},
      {Envelope("GetDeviceInformation", std::nullopt), 400, sender + "NotAuthorized"},
      {Envelope("GetDeviceInformation", Token("g3", kCreated, "wrong")), 400,
       sender + "NotAuthorized"},
      {Envelope("CreateProfile", std::nullopt), 400,
       "env:Receiver</env:Value><env:Subcode><env:Value>ter:MaxNVTProfiles"},
      {"<s:Envelope", 400, sender + "WellFormed"},
      {std::string(kMaxSoapBody + 1, '<'), 400, sender + "WellFormed"},
  };
  TOnvifDispatcher dispatcher;
  TOnvifState state;
  state.now = kNow;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 300));
    const TSoapAnswer answer = dispatcher.Dispatch(c.body, {"admin", "s3cret"}, state);
    if (c.fault.empty()) {
      const TSoapAnswer passed = AnswerOnvifOperation(*ParseSoapRequest(c.body), state);
      EXPECT_EQ(answer.httpStatus, passed.httpStatus);
      EXPECT_EQ(answer.body, passed.body);
      continue;
    }
    EXPECT_EQ(answer.httpStatus, c.status);
    EXPECT_NE(answer.body.find(c.fault), std::string::npos) << answer.body;
  }
}

}  // namespace
