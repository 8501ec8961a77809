#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/error.h"

namespace tellwyn {

// The default source as the server describes it.
struct PulseSourceInfo {
  std::string name;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
};

// A connection to the sound server for the audio engine: a libpulse threaded
// main loop (whose thread is the capture thread) and a context named
// "Tellwyn", connected without spawning a server. libpulse calls back on the
// loop's thread with the loop lock held; everyone else takes the lock with
// Lock before touching the context or its streams. Destroying the connection
// stops the loop thread: no callback runs afterwards.
//
// Threads: open, defaultSource and the destructor on the main thread, never
// with the lock held; the rest as stated.
class PulseEngineConnection {
 public:
  // Holds the loop lock while it lives. Not on the loop's own thread.
  class Lock {
   public:
    explicit Lock(PulseEngineConnection& connection) : loop_(connection.loop_) {
      pa_threaded_mainloop_lock(loop_);
    }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // Connects, or fails with the server's reason (e.g. "Connection refused").
  static Result<std::unique_ptr<PulseEngineConnection>> open();

  struct Key {
   private:
    Key() = default;
    friend class PulseEngineConnection;
  };
  explicit PulseEngineConnection(Key) {}
  ~PulseEngineConnection();
  PulseEngineConnection(const PulseEngineConnection&) = delete;
  PulseEngineConnection& operator=(const PulseEngineConnection&) = delete;

  // The server's default source and its sample format. Takes the lock.
  Result<PulseSourceInfo> defaultSource();

  // With the lock held:
  pa_context* context() { return context_; }
  // Sleeps until a callback calls signal() (releasing the lock meanwhile).
  void wait() { pa_threaded_mainloop_wait(loop_); }
  // From a callback: wakes wait().
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // The text of the context's last error.
  std::string lastError() const;
  bool connected() const;
  // Called on the loop's thread, lock held, when the connection breaks after
  // it was up. Set with the lock held.
  void setOnBroken(std::function<void()> onBroken) { onBroken_ = std::move(onBroken); }

 private:
  static void contextStateChanged(pa_context* context, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool wasReady_ = false;  // loop thread, lock held
  std::function<void()> onBroken_;
};

}  // namespace tellwyn
