#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tellwyn {

// The calls made on the fakes that share it, in order, as short names such as
// "installTap" or "endAudio", so tests can check the order across fakes. Main
// (test) thread only; the capture thread never records here.
class CallLog {
 public:
  void record(std::string call) { calls_.push_back(std::move(call)); }
  const std::vector<std::string>& calls() const { return calls_; }
  void clear() { calls_.clear(); }

 private:
  std::vector<std::string> calls_;
};

}  // namespace tellwyn
