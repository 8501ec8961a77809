#pragma once

#include <functional>
#include <mutex>

namespace tellwyn {

// Tells waits that block the main thread that the termination signal has
// arrived, and lets them hand the process over to the termination handler.
//
// The event loop acts on the signal only between two actions; a wait inside
// an action (the sound server during start, the route-settling pause) would
// keep it from doing so for as long as it lasts. Such a wait also watches
// fd(), which becomes readable once request() has been called and stays so;
// when it fires, the wait gives up, releases what it holds and calls
// handOver(), which runs the handler on the calling (main) thread.
//
// request() may be called from any thread (it only writes to an eventfd, so
// it is also safe where only async-signal-safe calls are allowed);
// setHandler, handOver and the destructor on the main thread.
class TerminationWatch {
 public:
  TerminationWatch();
  ~TerminationWatch();
  TerminationWatch(const TerminationWatch&) = delete;
  TerminationWatch& operator=(const TerminationWatch&) = delete;

  // Readable (POLLIN) from the first request() on; never read by anyone.
  int fd() const { return fd_; }
  void request();
  // Whether request() has been called; does not block.
  bool requested() const;

  // The handler that handOver() runs; an empty one makes handOver return.
  void setHandler(std::function<void()> handler);
  // Runs the handler (the process's termination, which does not return).
  // Returns only when no handler is set or the handler returns.
  void handOver();

 private:
  int fd_ = -1;
  std::mutex mutex_;
  std::function<void()> handler_;  // guarded by mutex_
};

}  // namespace tellwyn
