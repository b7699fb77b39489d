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

const system_clock::time_point kNow = sys_days{2026y / 12 / 9} + 11h + 22min + 33s;
const std::string kCreated = "2026-12-09T11:22:33Z";

std::string Base64(const std::string& bytes) {
  std::string text(bytes.size() / 3 * 4 + 5, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(text.data()),
      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
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

TEST(UsernameTokenCheck, JudgesTokensInOrder) {
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
      {TUsernameToken{"admin", "x", false, "", kCreated}, V::BadNonce},
      {TUsernameToken{"admin", "x", false, "bjU=bjU=", kCreated}, V::BadNonce},
      {TUsernameToken{"admin", "x", false, "bjZ=", kCreated}, V::BadNonce},  // stray bits
      {TUsernameToken{"admin", "not Base64", false, "bjc=", kCreated}, V::BadDigest},
      {TUsernameToken{"admin", "c2hvcnQ=", false, "bjc=", kCreated}, V::BadDigest},
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

std::string Envelope(const std::string& operation, const std::optional<TUsernameToken>& t) {
  const std::string header =
      !t ? ""
         : "<s:Header><wsse:Security><wsse:UsernameToken><wsse:Username>" + t->username +
               "</wsse:Username><wsse:Password Type=\"x#PasswordDigest\">" + t->password +
               "</wsse:Password><wsse:Nonce>" + t->nonce + "</wsse:Nonce><wsu:Created>" +
               t->created + "</wsu:Created></wsse:UsernameToken></wsse:Security></s:Header>";
  return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">" + header +
         "<s:Body><tds:" + operation + " xmlns:tds=\"d\"/></s:Body></s:Envelope>";
}

TEST(OnvifDispatcher, LetsThroughOnlyWhatNeedsNoTokenOrHasARightOne) {
  const std::string sender = "env:Sender</env:Value><env:Subcode><env:Value>ter:",
                    refused = sender + "NotAuthorized";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // body, fault ("": let in)
      {Envelope("GetSystemDateAndTime", Token("g1", kCreated, "wrong")), ""},
      {Envelope("GetCapabilities", std::nullopt), ""},
      {Envelope("GetDeviceInformation", Token("g2", kCreated)), ""},
      {Envelope("GetDeviceInformation", Token("g2", kCreated)), refused},
      {Envelope("GetDeviceInformation", std::nullopt), refused},
      {Envelope("GetDeviceInformation", Token("g3", kCreated, "wrong")), refused},
      {Envelope("CreateProfile", std::nullopt),
       "env:Receiver</env:Value><env:Subcode><env:Value>ter:MaxNVTProfiles"},
      {"<s:Envelope", sender + "WellFormed"},
      {std::string(kMaxSoapBody + 1, '<'), sender + "WellFormed"},
  };
  TOnvifDispatcher dispatcher;
  TOnvifState state;
  state.now = kNow;
  for (const auto& [body, fault] : cases) {
    SCOPED_TRACE(body.substr(0, 300));
    const TSoapAnswer answer = dispatcher.Dispatch(body, {"admin", "s3cret"}, state);
    if (fault.empty()) {
      const TSoapAnswer passed = AnswerOnvifOperation(*ParseSoapRequest(body), state);
      EXPECT_EQ(answer.httpStatus, passed.httpStatus);
      EXPECT_EQ(answer.body, passed.body);
    } else {
      EXPECT_EQ(answer.httpStatus, 400);
      EXPECT_NE(answer.body.find(fault), std::string::npos) << answer.body;
    }
  }
}

}  // namespace
