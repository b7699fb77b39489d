// One SOAP request from body to answer: parsed, its token checked unless the operation is one a
// client must call before it can build a token, then answered. Keeps the nonces already used.
#pragma once

#include <string_view>

#include "OnvifCredentials.h"
#include "OnvifState.h"
#include "SoapAnswer.h"

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
};
