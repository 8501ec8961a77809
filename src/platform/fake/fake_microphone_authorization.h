#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/microphone_authorization.h"

namespace tellwyn {

// A scriptable microphone permission. The status is whatever the test sets.
// A request either answers at once with `autoAnswer` or stays open until the
// test calls answer(); either way the completion runs on a thread of its own,
// which the fake joins before it returns, so the answer has been handed over
// (typically posted to a main queue) when the call that gave it returns.
// The test's thread only.
class FakeMicrophoneAuthorization : public MicrophoneAuthorization {
 public:
  int authorizationStatus() override {
    ++statusReads;
    return status;
  }

  void requestAccess(std::function<void(bool granted)> completion) override {
    ++requests;
    if (autoAnswer) {
      completeOnOwnThread(std::move(completion), *autoAnswer);
    } else {
      pending_.push_back(std::move(completion));
    }
  }

  // Answers the oldest open request. Returns false when none is open.
  bool answer(bool granted) {
    if (pending_.empty()) return false;
    auto completion = std::move(pending_.front());
    pending_.erase(pending_.begin());
    completeOnOwnThread(std::move(completion), granted);
    return true;
  }

  int pendingRequests() const { return static_cast<int>(pending_.size()); }

  int status = kMicrophoneAuthorized;
  std::optional<bool> autoAnswer;
  int requests = 0;
  int statusReads = 0;
  // The threads that ran the completions.
  std::vector<std::thread::id> answerThreads;

 private:
  void completeOnOwnThread(std::function<void(bool)> completion, bool granted) {
    std::thread thread([this, completion = std::move(completion), granted] {
      {
        std::lock_guard lock(mutex_);
        answerThreads.push_back(std::this_thread::get_id());
      }
      completion(granted);
    });
    thread.join();
  }

  std::mutex mutex_;
  std::vector<std::function<void(bool)>> pending_;
};

}  // namespace tellwyn
