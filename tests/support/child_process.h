#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tellwyn::testing {

// How a child process ended.
struct ExitStatus {
  std::optional<int> code;    // set when it exited
  std::optional<int> signal;  // set when a signal ended it
  bool timedOut = false;      // it was killed because it ran too long
};

// A child process with pipes on its standard streams. Its output lines are
// collected by reader threads, so a test can wait for a line while the child
// runs. Owned and driven by one test thread; the destructor kills a child
// that is still running.
class ChildProcess {
 public:
  // arguments[0] is looked up in PATH when it has no slash. `environment`
  // entries are added to (or, with an empty optional, removed
  // from) this process's environment for the child.
  ChildProcess(const std::vector<std::string>& arguments,
               const std::map<std::string, std::optional<std::string>>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes to the child's standard input; false once the pipe is broken.
  bool writeStdin(const std::string& bytes);
  void closeStdin();
  void closeStdout();  // the parent stops reading and closes its end
  void sendSignal(int signal);

  // Waits until some standard-output line satisfies `match`, or `timeout`
  // passes, or the output ends. Returns that line.
  std::optional<std::string> waitForStdoutLine(const std::function<bool(const std::string&)>& match,
                                               std::chrono::milliseconds timeout);
  std::optional<std::string> waitForStderrLine(const std::function<bool(const std::string&)>& match,
                                               std::chrono::milliseconds timeout);

  // Waits for the child to end, killing it after `timeout`; then waits for
  // its output to be read to the end.
  ExitStatus wait(std::chrono::milliseconds timeout);

  std::vector<std::string> stdoutLines();
  std::vector<std::string> stderrLines();

 private:
  struct Stream {
    int fd = -1;
    int stopRead = -1;  // a byte here stops the reader
    int stopWrite = -1;
    std::vector<std::string> lines;
    std::string partial;
    bool ended = false;
    std::thread reader;
  };
  void readLoop(Stream& stream);
  std::optional<std::string> waitForLine(Stream& stream,
                                         const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout);
  void joinReaders();

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::optional<ExitStatus> status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Stream out_;
  Stream err_;
};

// Runs the command to its end with `input` on standard input.
struct RunResult {
  ExitStatus status;
  std::vector<std::string> stdoutLines;
  std::vector<std::string> stderrLines;
};
RunResult runProcess(const std::vector<std::string>& arguments,
                     const std::map<std::string, std::optional<std::string>>& environment = {},
                     const std::string& input = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tellwyn::testing
