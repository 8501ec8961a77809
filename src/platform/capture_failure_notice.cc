#include "platform/capture_failure_notice.h"

#include <algorithm>

namespace tellwyn {

void CaptureFailureNotice::subscribe(const std::shared_ptr<Listener>& listener) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [](const auto& weak) { return weak.expired(); });
  listeners_.push_back(listener);
}

void CaptureFailureNotice::unsubscribe(const Listener* listener) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [listener](const auto& weak) {
    const auto strong = weak.lock();
    return !strong || strong.get() == listener;
  });
}

void CaptureFailureNotice::captureEnded(const std::string& description) {
  // Listeners run outside the lock: one may be released (and destroyed) here.
  std::vector<std::shared_ptr<Listener>> live;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : listeners_) {
      if (auto listener = weak.lock()) live.push_back(std::move(listener));
    }
  }
  for (const auto& listener : live) listener->captureEnded(description);
}

}  // namespace tellwyn
