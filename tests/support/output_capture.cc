#include "support/output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tellwyn::testing {
namespace {

int makeTempFile() {
  char path[] = "/tmp/tellwyn-capture-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(path);
  return fd;
}

}  // namespace

OutputCapture::OutputCapture() {
  std::fflush(stdout);
  for (Stream* s : {&out_, &err_}) {
    s->file = makeTempFile();
    s->saved = dup(s->fd);
    dup2(s->file, s->fd);
  }
}

OutputCapture::~OutputCapture() {
  std::fflush(stdout);
  for (Stream* s : {&out_, &err_}) {
    dup2(s->saved, s->fd);
    close(s->saved);
    close(s->file);
  }
}

std::string OutputCapture::readAll(const Stream& stream) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(stream.file, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return text;
}

std::string OutputCapture::stdoutText() {
  std::fflush(stdout);
  return readAll(out_);
}

std::string OutputCapture::stderrText() { return readAll(err_); }

std::vector<std::string> OutputCapture::stdoutLines() { return splitLines(stdoutText()); }
std::vector<std::string> OutputCapture::stderrLines() { return splitLines(stderrText()); }

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace tellwyn::testing
