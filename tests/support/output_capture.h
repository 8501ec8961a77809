#pragma once

#include <string>
#include <vector>

namespace tellwyn::testing {

// Redirects standard output and standard error (the file descriptors, so
// writes from any thread are caught) into temporary files while it lives.
// One at a time; the test thread only.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything written so far.
  std::string stdoutText();
  std::string stderrText();
  // The same, split at line feeds (a last line without one is kept).
  std::vector<std::string> stdoutLines();
  std::vector<std::string> stderrLines();

 private:
  struct Stream {
    int fd;
    int saved = -1;
    int file = -1;
  };
  static std::string readAll(const Stream& stream);

  Stream out_{1};
  Stream err_{2};
};

std::vector<std::string> splitLines(const std::string& text);

}  // namespace tellwyn::testing
