#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tellwyn::testing {
namespace {

std::vector<std::string> mergedEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

ExitStatus decode(int status) {
  ExitStatus result;
  if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::optional<std::string>>& environment) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // The child starts with default signal handling and nothing blocked, even
  // if the test runner changed them.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv = arguments;
  std::vector<std::string> envp = mergedEnvironment(environment);
  auto argvPointers = pointers(argv);
  auto envPointers = pointers(envp);
  const int failed = ::posix_spawnp(&pid_, argv[0].c_str(), &actions, &attributes,
                                    argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (failed != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("posix_spawn " + arguments[0] + ": " + std::strerror(failed));
  }
  stdinFd_ = in[1];
  out_.fd = out[0];
  err_.fd = err[0];
  for (Stream* stream : {&out_, &err_}) {
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    stream->stopRead = stop[0];
    stream->stopWrite = stop[1];
  }
  out_.reader = std::thread([this] { readLoop(out_); });
  err_.reader = std::thread([this] { readLoop(err_); });
}

ChildProcess::~ChildProcess() {
  if (!status_) wait(std::chrono::milliseconds(0));
  closeStdin();
  joinReaders();
}

void ChildProcess::readLoop(Stream& stream) {
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{stream.fd, POLLIN, 0}, {stream.stopRead, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      if (!stream.partial.empty()) stream.lines.push_back(std::move(stream.partial));
      stream.ended = true;
      changed_.notify_all();
      return;
    }
    stream.partial.append(buffer, static_cast<size_t>(n));
    std::size_t start = 0;
    for (std::size_t lf; (lf = stream.partial.find('\n', start)) != std::string::npos;
         start = lf + 1) {
      stream.lines.push_back(stream.partial.substr(start, lf - start));
    }
    stream.partial.erase(0, start);
    changed_.notify_all();
  }
}

bool ChildProcess::writeStdin(const std::string& bytes) {
  std::size_t done = 0;
  while (stdinFd_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return stdinFd_ >= 0;
}

void ChildProcess::closeStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

void ChildProcess::closeStdout() {
  // Stop the reader, then close the only read end: the child's next write to
  // standard output fails with a broken pipe.
  if (out_.stopWrite >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(out_.stopWrite, "x", 1);
  }
  if (out_.reader.joinable()) out_.reader.join();
  if (out_.fd >= 0) ::close(out_.fd);
  out_.fd = -1;
  std::lock_guard lock(mutex_);
  out_.ended = true;
  changed_.notify_all();
}

void ChildProcess::sendSignal(int signal) {
  if (!status_) ::kill(pid_, signal);
}

std::optional<std::string> ChildProcess::waitForLine(
    Stream& stream, const std::function<bool(const std::string&)>& match,
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::size_t checked = 0;
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (; checked < stream.lines.size(); ++checked) {
      if (match(stream.lines[checked])) {
        found = stream.lines[checked];
        return true;
      }
    }
    return stream.ended;
  });
  return found;
}

std::optional<std::string> ChildProcess::waitForStdoutLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout) {
  return waitForLine(out_, match, timeout);
}

std::optional<std::string> ChildProcess::waitForStderrLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout) {
  return waitForLine(err_, match, timeout);
}

ExitStatus ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool timedOut = false;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  status_ = decode(status);
  status_->timedOut = timedOut;
  joinReaders();
  return *status_;
}

void ChildProcess::joinReaders() {
  for (Stream* stream : {&out_, &err_}) {
    if (stream->reader.joinable()) stream->reader.join();
    for (int* fd : {&stream->fd, &stream->stopRead, &stream->stopWrite}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
}

std::vector<std::string> ChildProcess::stdoutLines() {
  std::lock_guard lock(mutex_);
  return out_.lines;
}

std::vector<std::string> ChildProcess::stderrLines() {
  std::lock_guard lock(mutex_);
  return err_.lines;
}

RunResult runProcess(const std::vector<std::string>& arguments,
                     const std::map<std::string, std::optional<std::string>>& environment,
                     const std::string& input, std::chrono::milliseconds timeout) {
  ChildProcess child(arguments, environment);
  if (!input.empty()) child.writeStdin(input);
  child.closeStdin();
  RunResult result;
  result.status = child.wait(timeout);
  result.stdoutLines = child.stdoutLines();
  result.stderrLines = child.stderrLines();
  return result;
}

}  // namespace tellwyn::testing
