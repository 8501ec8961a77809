#pragma once

#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace tellwyn {

// Reads configuration lines from standard input (or another descriptor) on a
// thread of its own and hands each accepted silence delay, in milliseconds,
// to `onSilenceMs` on that thread. A line is the bytes up to a line feed; it
// must be valid UTF-8 and, trimmed of white space and line breaks, one JSON
// object whose "type" is the string "config" and whose "silenceMs" is a
// number (or a JSON boolean, read as 1.0 or 0.0). Anything else is ignored
// without a trace. Each accepted line first writes the debug line
// "config update silenceMs=<value>". At the end of input, or on a read
// error, reading stops for good and nothing is written.
//
// A pending line is capped at kMaxLineBytes: the bytes of a longer line are
// discarded up to and including its line feed, so memory stays bounded
// whatever arrives.
//
// The constructor, start() and the destructor belong to one owning thread;
// the destructor wakes and joins the reader.
class BridgeConfigChannel {
 public:
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  explicit BridgeConfigChannel(std::function<void(double)> onSilenceMs, int fd = STDIN_FILENO);
  ~BridgeConfigChannel();
  BridgeConfigChannel(const BridgeConfigChannel&) = delete;
  BridgeConfigChannel& operator=(const BridgeConfigChannel&) = delete;

  // Starts the reader thread once; later calls do nothing. If the wake-up
  // pipe cannot be made (no descriptors left), nothing is read.
  void start();

  // Feeds bytes as if they had been read. The reader thread calls it; tests
  // may call it directly on a channel that has not been started.
  void consume(std::string_view bytes);

 private:
  void readLoop();
  void handleLine(std::string_view line);
  void handleConfigLine(std::string_view line);

  std::function<void(double)> onSilenceMs_;
  int fd_;
  // Reader-thread state: the bytes of the line not yet ended, and whether
  // the rest of an overlong line is being skipped.
  std::string stdinBuffer_;
  bool discardingLine_ = false;
  // A byte written here, or its closing, wakes the reader to stop.
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread reader_;
};

}  // namespace tellwyn
