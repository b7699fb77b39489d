#include "OnvifDispatcher.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>

#include "OnvifOperations.h"
#include "SoapRequest.h"
#include "UsernameTokenCheck.h"
#include "log/LogText.h"
#include "log/ServiceLog.h"

namespace {

// What a client asks before it can make a token: the camera's clock, to set Created by, and
// where the services are. Answered whatever token comes with them, even a wrong one.
constexpr std::array<std::string_view, 4> kBeforeLogin = {
    "GetSystemDateAndTime", "GetCapabilities", "GetServices", "GetServiceCapabilities"};

bool AnsweredBeforeLogin(std::string_view operation) {
  for (const std::string_view name : kBeforeLogin) {
    if (name == operation) return true;
  }
  return false;
}

}  // namespace

TOnvifDispatcher::TOnvifDispatcher() : tokens_(std::make_unique<TUsernameTokenCheck>()) {}

TOnvifDispatcher::~TOnvifDispatcher() = default;

TSoapAnswer TOnvifDispatcher::Dispatch(std::string_view body, const TOnvifCredentials& credentials,
                                       const TOnvifState& state) {
  try {
    return Answer(body, credentials, state);
  } catch (const std::exception& error) {
    Report(unreadable_, state, std::string("ONVIF request failed: ") + error.what());
  } catch (...) {
    Report(unreadable_, state, "ONVIF request failed");
  }
  return SoapFault("env:Receiver", "ter:Action", "The device could not answer the request", 500);
}

TSoapAnswer TOnvifDispatcher::Answer(std::string_view body, const TOnvifCredentials& credentials,
                                     const TOnvifState& state) {
  std::string why;
  const std::optional<TSoapRequest> request = ParseSoapRequest(body, &why);
  if (!request) {
    Report(unreadable_, state, "unreadable ONVIF request: " + why);
    return SoapFault("env:Sender", "ter:WellFormed", "Malformed request: " + why, 400);
  }
  if (AnsweredBeforeLogin(request->operation)) return AnswerOnvifOperation(*request, state);
  // Recorders that adopt cameras (Synology's among them) ask for a profile without a token to see
  // whether the camera wants one; this answer is the one they expect from a camera that does.
  if (!request->token && request->operation == "CreateProfile") {
    return SoapFault("env:Receiver", "ter:MaxNVTProfiles",
                     "The maximum number of media profiles has been reached", 400);
  }
  const TTokenVerdict verdict = tokens_->Check(request->token, credentials, state.now);
  if (verdict != TTokenVerdict::Accepted) {
    // A request without a token is no failure worth a line: it is how a client learns it needs one.
    if (verdict != TTokenVerdict::Missing) {
      Report(refusedTokens_, state,
             "refused ONVIF " + LogValue(request->operation, 64) + " for user \"" +
                 LogValue(request->token->username, 64) + "\": " +
                 std::string(TokenVerdictText(verdict)));
    }
    return SoapFault("env:Sender", "ter:NotAuthorized", "Sender not authorized", 400);
  }
  return AnswerOnvifOperation(*request, state);
}

void TOnvifDispatcher::Report(TLogThrottle& throttle, const TOnvifState& state,
                              const std::string& line) {
  // The request's own time serves as the tick: it is the clock every request brings along.
  const auto tick = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(state.now.time_since_epoch()).count());
  std::size_t count = 0;
  {
    const std::lock_guard guard(reportLock_);
    // A client sending bad tokens or garbage as fast as it can must not fill the log.
    count = throttle.Count(tick);
  }
  if (count == 0) return;
  LogMessage(count > 1 ? line + ", " + std::to_string(count - 1) + " more since the last report"
                       : line);
}
