#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tellwyn {

// Carries "capture ended by itself" from the audio engine to the recognition
// requests that were being fed, so the running recognition task can report
// it: the engine and the recognizer are separate services that share one
// notice. Listeners are held weakly and must not call the notice from their
// destructors. Any thread; captureEnded runs the listeners on the calling
// thread (the capture thread), so a listener only records the news and wakes
// its own thread.
class CaptureFailureNotice {
 public:
  // Told when capture has ended without being asked to.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void captureEnded(const std::string& description) = 0;
  };

  void subscribe(const std::shared_ptr<Listener>& listener);
  void unsubscribe(const Listener* listener);
  // Tells every live listener; `description` says what happened.
  void captureEnded(const std::string& description);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<Listener>> listeners_;  // guarded by mutex_
};

}  // namespace tellwyn
