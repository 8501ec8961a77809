#include "platform/linux/asio_application.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
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

// Takes SIGTERM off every thread and reads it on a thread of its own, from a
// signalfd. The signal is blocked on the constructing (main) thread before
// any other thread exists, so every thread inherits the block and none is
// ever interrupted by it; the kernel keeps it pending until the signalfd is
// read. An asynchronous handler instead runs on whichever thread the kernel
// picks, and the thread sanitizer defers a handler that lands on a thread
// about to block until that thread wakes, which can be never.
//
// Until forwardToWatch(), a SIGTERM has its default effect: the thread lets it
// through to itself, which ends the process as if it had never been blocked.
// From then on it only marks the watch. The destructor stops the thread and
// restores the constructing thread's signal mask.
class AsioApplication::SignalThread {
 public:
  explicit SignalThread(TerminationWatch& watch) : watch_(watch) {
    sigset_t terminate = terminationSignal();
    ::pthread_sigmask(SIG_BLOCK, &terminate, &previousMask_);
    signals_ = ::signalfd(-1, &terminate, SFD_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (signals_ < 0 || stop_ < 0) throw std::runtime_error("signalfd or eventfd failed");
    thread_ = std::thread([this] { readSignals(); });
  }
  ~SignalThread() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(signals_);
    ::close(stop_);
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

  // Called on the main thread once the termination handler is set.
  void forwardToWatch() {
    // A blocked signal is never discarded, even when a parent passed SIGTERM
    // on ignored: it stays pending for the signalfd.
    forwarding_.store(true);
  }

 private:
  static sigset_t terminationSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    return set;
  }

  void readSignals() {
    for (;;) {
      pollfd watched[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(watched, 2, -1) < 0) continue;  // EINTR from another signal
      if ((watched[1].revents & POLLIN) != 0) return;
      signalfd_siginfo info;
      if (::read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      if (forwarding_.load()) {
        watch_.request();
        continue;
      }
      sigset_t terminate = terminationSignal();
      ::pthread_sigmask(SIG_UNBLOCK, &terminate, nullptr);
      ::raise(SIGTERM);  // ends the process unless SIGTERM is ignored
      ::pthread_sigmask(SIG_BLOCK, &terminate, nullptr);
    }
  }

  TerminationWatch& watch_;
  sigset_t previousMask_;
  int signals_ = -1;
  int stop_ = -1;
  std::atomic<bool> forwarding_{false};
  std::thread thread_;
};

AsioApplication::AsioApplication()
    : signals_(std::make_unique<SignalThread>(termination_)), loop_(std::make_unique<Loop>()) {}

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
  signals_->forwardToWatch();
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
