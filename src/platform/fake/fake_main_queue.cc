#include "platform/fake/fake_main_queue.h"

#include <utility>

namespace tellwyn {

class FakeMainQueue::FakeTimer : public Timer {
 public:
  void invalidate() override { valid_ = false; }
  bool isValid() const override { return valid_; }
  void spend() { valid_ = false; }

 private:
  bool valid_ = true;
};

void FakeMainQueue::post(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  actions_.push_back(std::move(action));
}

std::shared_ptr<Timer> FakeMainQueue::scheduleTimer(double seconds, std::function<void()> fire) {
  auto timer = std::make_shared<FakeTimer>();
  intervals_.push_back(seconds);
  // An infinite interval is due at infinity: armed, and never reached.
  timers_.emplace(std::make_pair(now_ + seconds, nextTimerSequence_++),
                  Entry{timer, std::move(fire)});
  return timer;
}

int FakeMainQueue::runPending() {
  int ran = 0;
  for (;;) {
    std::function<void()> action;
    {
      std::lock_guard lock(mutex_);
      if (actions_.empty()) return ran;
      action = std::move(actions_.front());
      actions_.pop_front();
    }
    action();
    ++ran;
  }
}

void FakeMainQueue::advance(double seconds) {
  const double end = now_ + seconds;
  runPending();
  while (!timers_.empty() && timers_.begin()->first.first <= end) {
    auto node = timers_.extract(timers_.begin());
    now_ = node.key().first;
    if (auto& timer = node.mapped().timer; timer->isValid()) {
      timer->spend();
      node.mapped().fire();
    }
    runPending();
  }
  now_ = end;
}

int FakeMainQueue::armedTimerCount() const {
  int count = 0;
  for (const auto& [due, entry] : timers_) {
    if (entry.timer->isValid()) ++count;
  }
  return count;
}

}  // namespace tellwyn
