// Authorization values as anyone who reaches the port may send them, before they have proved who
// they are.
//
// What a readable value gives must be what it says: a scheme without blanks, a Basic token or
// parameters under distinct, non-empty, lower-case keys, within the bounds; written out again in
// the plain form, it must read back the same. And no value the fuzzer can make may pass the
// authenticator without knowing the password.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "rtsp/AuthEncoding.h"
#include "rtsp/DigestHeader.h"
#include "rtsp/RtspAuthenticator.h"
#include "tests/support/FakeClock.h"
#include "fuzz/FuzzCheck.h"

using fuzz::Check;

namespace {

std::string WrittenOut(const TDigestHeader& header) {
  std::string text = header.Scheme();
  if (!header.Token().empty()) return text + " " + header.Token();
  const char* separator = " ";
  for (const auto& [key, value] : header.Parameters()) {
    text += separator + key + "=" + Quoted(value);
    separator = ", ";
  }
  return text;
}

void CheckReadable(const TDigestHeader& header) {
  Check(!header.Scheme().empty(), "empty scheme");
  Check(header.Scheme().find_first_of(" \t,=\"") == std::string::npos, "blank in the scheme");
  Check(header.Token().empty() || header.Parameters().empty(), "both a token and parameters");
  Check(header.Parameters().size() <= kMaxAuthorizationParameters, "too many parameters");
  std::set<std::string> keys;
  for (const auto& [key, value] : header.Parameters()) {
    Check(!key.empty(), "empty key");
    Check(key.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos, "key not lowered");
    Check(keys.insert(key).second, "a key twice");
    Check(header.Get(key) == value, "Get gives another value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::optional<TDigestHeader> header = TDigestHeader::Parse(value);
  if (size > kMaxAuthorizationLength) Check(!header, "an over-long value was read");
  if (header) {
    CheckReadable(*header);
    const std::string again = WrittenOut(*header);
    const std::optional<TDigestHeader> reread = TDigestHeader::Parse(again);
    if (again.size() <= kMaxAuthorizationLength) {
      Check(reread.has_value(), "the written-out form does not read");
      Check(reread->Scheme() == header->Scheme() && reread->Token() == header->Token() &&
                reread->Parameters() == header->Parameters(),
            "the written-out form reads otherwise");
    }
  }

  static const FakeClock clock;
  static TRtspAuthenticator authenticator(clock, nullptr);
  const TRtspCredentials credentials{"nvr", "a password no input holds 7f3e91c0", true};
  for (const char* method : {"DESCRIBE", "SETUP"}) {
    const TRtspAccessVerdict verdict =
        authenticator.Check(credentials, method, "rtsp://127.0.0.1:6554/live/track1", value);
    Check(verdict.access == TRtspAccess::Challenge, "let in without the password");
  }
  return 0;
}
