#include "RtspStatus.h"

#include <algorithm>
#include <array>

namespace {

// The phrases keep the spellings peers of this server have always received ("Time-out", the lower
// case from 459 on): a recorder may log or compare them, and nothing is gained by changing them.
constexpr std::array<TRtspStatus, 45> kStatuses = {{
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {206, "Partial Content"},
    {250, "Low on Storage Space"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {451, "Parameter Not Understood"},
    {452, "Conference Not Found"},
    {453, "Not Enough Bandwidth"},
    {454, "Session Not Found"},
    {455, "Method Not Valid in This State"},
    {456, "Header Field Not Valid for Resource"},
    {457, "Invalid Range"},
    {458, "Parameter Is Read-Only"},
    {459, "Aggregate operation not allowed"},
    {460, "Only aggregate operation allowed"},
    {461, "Unsupported transport"},
    {462, "Destination unreachable"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "RTSP Version not supported"},
    {551, "Option not supported"},
}};

constexpr bool IsStrictlyAscending() {
  for (std::size_t i = 1; i < kStatuses.size(); ++i)
    if (kStatuses[i - 1].code >= kStatuses[i].code) return false;
  return true;
}
static_assert(IsStrictlyAscending(), "the lookup below is a binary search");

}  // namespace

std::string_view TRtspResponseStatusCodeList::GetStatusText(int32_t code) const {
  const auto found = std::lower_bound(
      kStatuses.begin(), kStatuses.end(), code,
      [](const TRtspStatus& status, int32_t wanted) { return status.code < wanted; });
  if (found == kStatuses.end() || found->code != code) return {};
  return found->reasonPhrase;
}

std::span<const TRtspStatus> TRtspResponseStatusCodeList::Entries() const {
  return kStatuses;
}

const TRtspResponseStatusCodeList& RtspResponseStatusCodeList() {
  static const TRtspResponseStatusCodeList list;
  return list;
}

std::string_view GetStatusText(int32_t code) {
  return RtspResponseStatusCodeList().GetStatusText(code);
}
