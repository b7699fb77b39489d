#include "RtpFrame.h"

#include <utility>

TRtpFrame::TRtpFrame(TFramePackage& package, std::vector<TPacket> packets, bool advancesClock)
    : package_(package), packets_(std::move(packets)), advancesClock_(advancesClock) {
  package_.AddRef();
}

TRtpFrame::~TRtpFrame() {
  package_.Release();
}
