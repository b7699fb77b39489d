#include "LogSourceScope.h"

#include <utility>

namespace {

thread_local std::string threadSource;

}  // namespace

TLogSourceScope::TLogSourceScope(std::string source)
    : previous_(std::exchange(threadSource, std::move(source))) {}

TLogSourceScope::~TLogSourceScope() {
  threadSource = std::move(previous_);
}

const std::string& TLogSourceScope::Current() {
  return threadSource;
}
