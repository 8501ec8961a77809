#include "platform/termination_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace tellwyn {

TerminationWatch::TerminationWatch() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

TerminationWatch::~TerminationWatch() { ::close(fd_); }

void TerminationWatch::request() {
  const std::uint64_t one = 1;
  // Only a full counter can refuse the write, and then it is readable anyway.
  [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

bool TerminationWatch::requested() const {
  pollfd watched{fd_, POLLIN, 0};
  return ::poll(&watched, 1, 0) > 0 && (watched.revents & POLLIN) != 0;
}

void TerminationWatch::setHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void TerminationWatch::handOver() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler) handler();
}

}  // namespace tellwyn
