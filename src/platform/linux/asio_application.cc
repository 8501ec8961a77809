#include "platform/linux/asio_application.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
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
// the watch on the termination mark.
class AsioApplication::Loop : public MainQueue {
 public:
  Loop() : work_(asio::make_work_guard(io_)) {}

  void post(std::function<void()> action) override { asio::post(io_, std::move(action)); }

  std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> fire) override {
    auto timer = std::make_shared<AsioTimer>(io_);
    timer->arm(seconds, std::move(fire));
    return timer;
  }

  void watchTermination(const TerminationWatch& watch, std::function<void()> handler) {
    // `handler` runs here on the main thread, between two queued actions. The
    // descriptor is a duplicate: the watch keeps its own.
    terminationHandler_ = std::move(handler);
    termination_.emplace(io_, ::dup(watch.fd()));
    termination_->async_wait(asio::posix::stream_descriptor::wait_read,
                             [this](const asio::error_code& error) {
                               if (!error) terminationHandler_();
                             });
  }

  void runForever() {
    for (;;) {
      io_.run();
      io_.restart();
    }
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::optional<asio::posix::stream_descriptor> termination_;
  std::function<void()> terminationHandler_;
};

// Catches SIGTERM on a thread of its own and marks the watch; nothing else
// happens there. The signal is caught from construction on; the thread runs
// until destruction (the process usually ends first).
class AsioApplication::SignalThread {
 public:
  explicit SignalThread(TerminationWatch& watch)
      : work_(asio::make_work_guard(io_)), signals_(io_, SIGTERM) {
    signals_.async_wait([&watch](const asio::error_code& error, int) {
      if (!error) watch.request();
    });
    thread_ = std::thread([this] { io_.run(); });
  }
  ~SignalThread() {
    io_.stop();
    thread_.join();
  }
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::signal_set signals_;
  std::thread thread_;
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
  termination_.setHandler(handler);
  loop_->watchTermination(termination_, std::move(handler));
  if (!signals_) signals_ = std::make_unique<SignalThread>(termination_);
}

void AsioApplication::exitProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Background threads (capture, decoder, stdin reader) may still be running;
  // _exit ends the process without running destructors under their feet.
  ::_exit(status);
}

void ThreadSleeper::sleepFor(double seconds) {
  // Only route settling sleeps, for fixed short pauses; an endless or
  // meaningless one is skipped rather than left to hang the main thread.
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  const auto interval = clockDuration(seconds);
  if (termination_ == nullptr) {
    std::this_thread::sleep_for(interval);
    return;
  }
  // Measured from the start rather than as a deadline, which a saturated
  // interval would overflow.
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        interval - (std::chrono::steady_clock::now() - started));
    if (left.count() <= 0) return;
    pollfd watched{termination_->fd(), POLLIN, 0};
    const int ready =
        ::poll(&watched, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
    if (ready > 0) {
      termination_->handOver();
      return;
    }
  }
}

}  // namespace tellwyn
