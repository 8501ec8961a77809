#include "platform/linux/asio_application.h"

#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <thread>

#include "platform/clock_duration.h"

namespace tellwyn {
namespace {

// A one-shot timer on the Asio loop. While armed, the pending wait holds the
// timer, so the caller may drop its reference without cancelling it.
class AsioTimer : public Timer, public std::enable_shared_from_this<AsioTimer> {
 public:
  explicit AsioTimer(asio::io_context& io) : timer_(io) {}

  void arm(double seconds, std::function<void()> fire) {
    valid_ = true;
    // An interval too long for the clock, infinity included, saturates to the
    // latest expiry the clock can hold (Asio saturates the addition too), so
    // the timer stays armed and never fires.
    timer_.expires_after(clockDuration(seconds));
    timer_.async_wait([self = shared_from_this(), fire = std::move(fire)](const asio::error_code&) {
      if (!self->valid_) {
        return;
      }
      self->valid_ = false;
      fire();
    });
  }

  void invalidate() override {
    valid_ = false;
    timer_.cancel();
  }

  bool isValid() const override { return valid_; }

 private:
  asio::steady_timer timer_;
  bool valid_ = false;
};

}  // namespace

// The io_context with its work guard, the queue over it and, once installed,
// the SIGTERM watch.
class AsioApplication::Loop : public MainQueue {
 public:
  Loop() : work_(asio::make_work_guard(io_)) {}

  void post(std::function<void()> action) override { asio::post(io_, std::move(action)); }

  std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> fire) override {
    auto timer = std::make_shared<AsioTimer>(io_);
    timer->arm(seconds, std::move(fire));
    return timer;
  }

  void watchTermination(std::function<void()> handler) {
    // The signal_set's own handler only wakes the loop; `handler` runs here on
    // the main thread, between two queued actions.
    terminationHandler_ = std::move(handler);
    signals_.emplace(io_, SIGTERM);
    waitForSignal();
  }

  void runForever() {
    for (;;) {
      io_.run();
      io_.restart();
    }
  }

 private:
  void waitForSignal() {
    signals_->async_wait([this](const asio::error_code& error, int) {
      if (error) {
        return;
      }
      waitForSignal();
      terminationHandler_();
    });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::optional<asio::signal_set> signals_;
  std::function<void()> terminationHandler_;
};

AsioApplication::AsioApplication() : loop_(std::make_unique<Loop>()) {}

AsioApplication::~AsioApplication() = default;

void AsioApplication::setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }

void AsioApplication::run() {
  if (delegate_ != nullptr) {
    loop_->post([this] { delegate_->applicationDidFinishLaunching(); });
  }
  loop_->runForever();
}

MainQueue& AsioApplication::mainQueue() { return *loop_; }

void AsioApplication::setActivationPolicy(int) {}

void AsioApplication::activateIgnoringOtherApps(bool) {}

void AsioApplication::installTerminationHandler(std::function<void()> handler) {
  loop_->watchTermination(std::move(handler));
}

void AsioApplication::exitProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Background threads (capture, decoder, stdin reader) may still be running;
  // _exit ends the process without running destructors under their feet.
  ::_exit(status);
}

void ThreadSleeper::sleepFor(double seconds) {
  std::this_thread::sleep_for(clockDuration(seconds));
}

}  // namespace tellwyn
