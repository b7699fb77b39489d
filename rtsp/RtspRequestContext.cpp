#include "RtspRequestContext.h"

#include <string>
#include <utility>

#include "RtspMessageText.h"
#include "RtspStatus.h"
#include "stream/RtpTransport.h"

TRtspContext::TRtspContext(TRtspConnectionInfo info, TRtspResponseWriter ioHandler,
                           const platform::TClock& clock)
    : info_(std::move(info)), ioHandler_(std::move(ioHandler)), clock_(clock) {
  if (!ioHandler_) throw std::invalid_argument("RTSP context without a response writer");
}

TSessionOwner TRtspContext::Requester() const {
  return {info_.peerAddress, info_.connection ? info_.connection->Id() : 0, user_};
}

bool TRtspContext::ParseRequest(std::string_view text) {
  const bool parsed = request_.Parse(text);
  if (parsed || request_.ParseError().statusCode != kRtspVersionNotSupported)
    response_.SetCSeq(request_.GetCSeq());
  return parsed;
}

void TRtspContext::SendResponse(int32_t code) {
  if (responseSent_) throw std::logic_error("a response was already sent for this request");
  responseSent_ = true;
  if (code > 0) response_.SetStatusCode(code);
  response_.SetHeader(kRtspDate, FormatRtspDate(UtcFromLocal(clock_.LocalNow())));
  const std::string message = response_.BuildMessage();
  if (!ioHandler_(message))
    throw TRtspWriteError("RTSP " + std::to_string(response_.StatusCode()) +
                          " response could not be written");
}
