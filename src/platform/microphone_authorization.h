#pragma once

#include <functional>

namespace tellwyn {

// Microphone statuses: 0 not determined, 1 restricted, 2 denied,
// 3 authorized (1 and 2 mean the opposite of the speech statuses).
inline constexpr int kMicrophoneAuthorized = 3;

// The microphone permission. authorizationStatus runs on the main thread and
// never prompts; requestAccess's completion runs once on a thread of its own.
class MicrophoneAuthorization {
 public:
  virtual ~MicrophoneAuthorization() = default;
  virtual int authorizationStatus() = 0;
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace tellwyn
