// A bye-action poster for tests: keeps every record posted, from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "stream/ByeAction.h"

class ByeCollector : public TByeActionPoster {
 public:
  void Post(std::unique_ptr<ByeActionInfo> info) override {
    const std::lock_guard guard(lock);
    posted.push_back(*info);
  }
  std::vector<ByeActionInfo> Posted() {
    const std::lock_guard guard(lock);
    return posted;
  }
  size_t Count() {
    const std::lock_guard guard(lock);
    return posted.size();
  }

  std::mutex lock;
  std::vector<ByeActionInfo> posted;
};
