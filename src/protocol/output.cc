#include "protocol/output.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "protocol/json_encoding.h"

namespace tellwyn {
namespace {

template <typename Record>
void emitEncoded(const Record& record) {
  if (const auto text = encodeJson(record)) writeStdoutLine(*text);
}

}  // namespace

void writeStdoutLine(std::string_view text) {
  // The parentheses call the C library's functions rather than the inline
  // macro forms, so all buffer handling stays behind the stream lock inside
  // the library (and thread checkers see no unlocked access in our code).
  flockfile(stdout);
  (fwrite_unlocked)(text.data(), 1, text.size(), stdout);
  (fwrite_unlocked)("\n", 1, 1, stdout);
  funlockfile(stdout);
  std::fflush(stdout);
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
