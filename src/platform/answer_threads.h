#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tellwyn {

// Runs each permission answer on a thread of its own, as the permission
// services promise, and joins them all when destroyed. Any thread may call
// run(); the destructor belongs to the owner.
class AnswerThreads {
 public:
  AnswerThreads() = default;
  ~AnswerThreads() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }
  AnswerThreads(const AnswerThreads&) = delete;
  AnswerThreads& operator=(const AnswerThreads&) = delete;

  void run(std::function<void()> answer) {
    std::lock_guard lock(mutex_);
    threads_.emplace_back(std::move(answer));
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
};

}  // namespace tellwyn
