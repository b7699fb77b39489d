// SOAP bodies as anyone who reaches the ONVIF port may post them, before they have proved who
// they are.
//
// What a readable body gives must be what it says: an operation, and no more than the bounded
// number of arguments, each with a name and trimmed text. And no body the fuzzer can make may reach
// an operation that needs a token without knowing the password.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "onvif/OnvifDispatcher.h"
#include "onvif/SoapRequest.h"
#include "fuzz/FuzzCheck.h"

using fuzz::Check;

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void CheckReadable(const TSoapRequest& request, std::size_t size) {
  Check(!request.operation.empty(), "no operation");
  Check(request.operation.find(':') == std::string::npos, "a prefix left on the operation");
  Check(request.arguments.size() <= 256 && request.arguments.size() <= size, "too many arguments");
  for (const auto& [name, text] : request.arguments) {
    Check(!name.empty() && name.find(':') == std::string::npos, "a bad argument name");
    Check(!text.empty() && !Blank(text.front()) && !Blank(text.back()), "untrimmed argument");
    Check(request.Argument(name).size() > 0, "Argument misses a name it holds");
  }
}

// Whether the dispatcher may answer this without a right token.
bool OpenToAll(const TSoapRequest& request) {
  constexpr std::array<std::string_view, 4> kOpen = {
      "GetSystemDateAndTime", "GetCapabilities", "GetServices", "GetServiceCapabilities"};
  for (const std::string_view name : kOpen) {
    if (request.operation == name) return true;
  }
  return request.operation == "CreateProfile" && !request.token;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string why;
  const std::optional<TSoapRequest> request = ParseSoapRequest(body, &why);
  if (size > kMaxSoapBody) Check(!request, "an oversized body was read");
  if (request) {
    CheckReadable(*request, size);
  } else {
    Check(!why.empty(), "refused without a reason");
  }

  static TOnvifDispatcher dispatcher;
  static const TOnvifState state = [] {
    TOnvifState fixed;
    fixed.identity.name = "fuzz";
    fixed.place.host = "127.0.0.1";
    fixed.place.onvifPort = 8000;
    fixed.place.rtspPort = 6554;
    fixed.place.rtspPath = "/live";
    fixed.now = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9};
    return fixed;
  }();
  for (const bool allowClearText : {false, true}) {
    const TOnvifCredentials credentials{"admin", "a password no input holds 5c1d0e2b",
                                        allowClearText};
    const TSoapAnswer answer = dispatcher.Dispatch(body, credentials, state);
    // A 500 is the camera's own fault: right for an operation it lacks (ActionNotSupported), never
    // for one that threw on the way.
    Check(answer.httpStatus != 500 ||
              answer.body.find("ter:ActionNotSupported") != std::string::npos,
          "the dispatcher failed inside");
    Check(!answer.body.empty(), "an empty answer");
    if (request && !OpenToAll(*request)) {
      Check(answer.body.find("ter:NotAuthorized") != std::string::npos,
            "an operation answered without the password");
    }
  }
  return 0;
}
