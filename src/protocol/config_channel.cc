#include "protocol/config_channel.h"

#include <fcntl.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <utility>

#include "protocol/json_encoding.h"
#include "protocol/number_text.h"
#include "protocol/output.h"
#include "protocol/unicode_trim.h"

namespace tellwyn {

BridgeConfigChannel::BridgeConfigChannel(std::function<void(double)> onSilenceMs, int fd)
    : onSilenceMs_(std::move(onSilenceMs)), fd_(fd) {}

BridgeConfigChannel::~BridgeConfigChannel() {
  if (reader_.joinable()) {
    ::close(std::exchange(wakeWrite_, -1));  // the reader sees the hang-up
    reader_.join();
  }
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void BridgeConfigChannel::start() {
  if (reader_.joinable() || wakeRead_ >= 0) return;
  std::array<int, 2> wake{};
  if (::pipe2(wake.data(), O_CLOEXEC) != 0) return;
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  reader_ = std::thread([this] { readLoop(); });
}

void BridgeConfigChannel::readLoop() {
  // Each read takes at most one buffer's worth; the pending line is capped
  // separately, so the reader's memory is bounded.
  std::array<char, 16 * 1024> chunk{};
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{fd_, POLLIN, 0}, pollfd{wakeRead_, POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;  // the owner is going away
    if (fds[0].revents == 0) continue;
    const ssize_t count = ::read(fd_, chunk.data(), chunk.size());
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    if (count == 0) return;  // end of input: nothing more can arrive
    consume(std::string_view(chunk.data(), static_cast<std::size_t>(count)));
  }
}

void BridgeConfigChannel::consume(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto feed = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, feed);
    const bool ended = feed != std::string_view::npos;
    bytes.remove_prefix(ended ? feed + 1 : bytes.size());

    if (discardingLine_) {
      discardingLine_ = !ended;
      continue;
    }
    if (stdinBuffer_.size() + piece.size() > kMaxLineBytes) {
      // Too long to be a configuration line: drop it through its line feed.
      std::string().swap(stdinBuffer_);
      discardingLine_ = !ended;
      continue;
    }
    if (!ended) {
      stdinBuffer_.append(piece);
      continue;
    }
    if (stdinBuffer_.empty()) {
      handleLine(piece);
    } else {
      stdinBuffer_.append(piece);
      const std::string line = std::exchange(stdinBuffer_, std::string());
      handleLine(line);
    }
  }
}

void BridgeConfigChannel::handleLine(std::string_view line) {
  if (!isValidUtf8(line)) return;
  const std::string_view trimmed = trimUnicodeWhitespace(line);
  if (trimmed.empty()) return;
  handleConfigLine(trimmed);
}

void BridgeConfigChannel::handleConfigLine(std::string_view line) {
  const auto json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) return;
  const auto type = json.find("type");
  if (type == json.end() || !type->is_string() || type->get_ref<const std::string&>() != "config") {
    return;
  }
  const auto silence = json.find("silenceMs");
  if (silence == json.end()) return;
  double value = 0;
  if (silence->is_boolean()) {
    value = silence->get<bool>() ? 1.0 : 0.0;
  } else if (silence->is_number()) {
    // Integers a double cannot hold exactly are rounded to the nearest one.
    value = silence->get<double>();
  } else {
    return;
  }
  emitDebug("config update silenceMs=" + shortestDecimal(value));
  onSilenceMs_(value);
}

}  // namespace tellwyn
