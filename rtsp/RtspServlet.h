// A handler of one RTSP method. The service picks the handler whose name matches the request's
// method and lets it answer the request; handlers keep no state between requests.
#pragma once

#include <string>

class TRtspContext;

class TRtspServlet {
 public:
  virtual ~TRtspServlet() = default;
  // The method name served, e.g. "OPTIONS".
  virtual std::string GetName() const = 0;
  // Answers one request: reads it from the context, works on the sessions and the channel, fills
  // and sends the response.
  virtual void Execute(TRtspContext& context) = 0;
};
