#include "FramePackage.h"

#include "FrameType.h"

TFramePackage* TFramePackage::Create(std::span<const uint8_t> bytes) {
  return new TFramePackage(bytes);
}

TFramePackage::TFramePackage(std::span<const uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}

TFramePackage::~TFramePackage() = default;

void TFramePackage::AddRef() noexcept {
  references_.fetch_add(1, std::memory_order_relaxed);
}

void TFramePackage::Release() noexcept {
  // Acquire-release so that the thread which destroys the package sees every other holder's
  // last use of it.
  if (references_.fetch_sub(1, std::memory_order_acq_rel) <= 1) delete this;
}

int32_t TFramePackage::ReferenceCount() const noexcept {
  return references_.load(std::memory_order_acquire);
}

bool TFramePackage::IsKeyFrame() const {
  return IsKeyFrameType(FrameType);
}

bool TFramePackage::IsVideo() const {
  return IsVideoFrameType(FrameType);
}

bool TFramePackage::IsAudio() const {
  return IsAudioFrameType(FrameType);
}
