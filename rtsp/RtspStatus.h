// The status codes of RTSP/1.0 answers with their reason phrases. The table is constant data, so
// every connection thread reads it without a lock.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The codes this server answers with itself.
inline constexpr int32_t kRtspOk = 200;
inline constexpr int32_t kRtspBadRequest = 400;
inline constexpr int32_t kRtspUnauthorized = 401;
inline constexpr int32_t kRtspNotFound = 404;
inline constexpr int32_t kRtspRequestEntityTooLarge = 413;
inline constexpr int32_t kRtspNotEnoughBandwidth = 453;
inline constexpr int32_t kRtspSessionNotFound = 454;
inline constexpr int32_t kRtspUnsupportedTransport = 461;
inline constexpr int32_t kRtspNotImplemented = 501;
inline constexpr int32_t kRtspVersionNotSupported = 505;

struct TRtspStatus {
  int32_t code;
  std::string_view reasonPhrase;
};

class TRtspResponseStatusCodeList {
 public:
  // The reason phrase of code; empty when the code is not listed.
  std::string_view GetStatusText(int32_t code) const;
  // Every listed code, in ascending order.
  std::span<const TRtspStatus> Entries() const;
};

// The process-wide table.
const TRtspResponseStatusCodeList& RtspResponseStatusCodeList();

// GetStatusText of the process-wide table.
std::string_view GetStatusText(int32_t code);
