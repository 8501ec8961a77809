#include "protocol/output.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <system_error>

#include "protocol/json_encoding.h"

namespace tellwyn {
namespace {

template <typename Record>
void emitEncoded(const Record& record) {
  if (const auto text = encodeJson(record)) writeStdoutLine(*text);
}

// Ends the process after a write or flush to standard output failed with
// `error`, called with the stream's lock held and never releasing it, so no
// other thread writes a line after the failure. A parent that cannot get our
// output must not see a clean exit: the file would just end early, maybe in
// a cut line. A closed pipe ends the process by SIGPIPE, as it does when the
// signal has its default effect; only a parent that left SIGPIPE ignored gets
// here with EPIPE.
[[noreturn]] void endAfterFailedWrite(int error) {
  if (error == EPIPE) {
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);
    std::raise(SIGPIPE);
  }
  emitDebug("stdout write failed: " + std::system_category().message(error));
  // _exit: no flush of the stream that failed, and no destructors under the
  // feet of threads that are still running.
  ::_exit(1);
}

}  // namespace

void writeStdoutLine(std::string_view text) {
  // The parentheses call the C library's functions rather than the inline
  // macro forms, so all buffer handling stays behind the stream lock inside
  // the library (and thread checkers see no unlocked access in our code).
  // The flush happens under the same lock, so a failure is seen by the
  // writer whose line failed.
  flockfile(stdout);
  const bool written = (fwrite_unlocked)(text.data(), 1, text.size(), stdout) == text.size() &&
                       (fwrite_unlocked)("\n", 1, 1, stdout) == 1 && (fflush_unlocked)(stdout) == 0;
  if (!written) endAfterFailedWrite(errno);
  funlockfile(stdout);
}

void emitBridgeJson(const BridgeMessage& message) { emitEncoded(message); }

void emitBridgeJson(const std::vector<DeviceInfo>& devices) { emitEncoded(devices); }

void emitDebug(std::string_view message) {
  if (!isValidUtf8(message)) return;
  std::string line;
  line.reserve(message.size() + 8);
  line += "debug: ";
  line += message;
  line += '\n';
  // One write request; a short or failed write is not retried.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace tellwyn
