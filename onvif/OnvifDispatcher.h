// One SOAP request from body to answer: parsed, its token checked unless the operation is one a
// client must call before it can build a token, then answered. Keeps the nonces already used.
//
// Refused tokens and unreadable requests are logged, at most one line a second of each with a
// count of those left out in between; never a password or a digest.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "log/LogThrottle.h"

#include "OnvifCredentials.h"
#include "OnvifState.h"
#include "SoapAnswer.h"

class TUsernameTokenCheck;

class TOnvifDispatcher {
 public:
  TOnvifDispatcher();
  ~TOnvifDispatcher();
  TOnvifDispatcher(const TOnvifDispatcher&) = delete;
  TOnvifDispatcher& operator=(const TOnvifDispatcher&) = delete;

  // Safe from several threads at once. An empty, oversized or malformed body gets a fault, never
  // an exception.
  TSoapAnswer Dispatch(std::string_view body, const TOnvifCredentials& credentials,
                       const TOnvifState& state);

 private:
  TSoapAnswer Answer(std::string_view body, const TOnvifCredentials& credentials,
                     const TOnvifState& state);
  void Report(TLogThrottle& throttle, const TOnvifState& state, const std::string& line);

  std::unique_ptr<TUsernameTokenCheck> tokens_;
  std::mutex reportLock_;
  TLogThrottle refusedTokens_;  // under reportLock_
  TLogThrottle unreadable_;     // under reportLock_
};
