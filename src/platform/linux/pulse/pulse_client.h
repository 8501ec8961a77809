#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/termination_watch.h"

namespace tellwyn {

// The name every connection of this process gives the sound server.
inline constexpr char kPulseClientName[] = "Tellwyn";

// libpulse error numbers: PA_OK (0) is success. kPulseTerminated is not one
// of libpulse's: a wait gave up because the process is to terminate.
using PulseError = int;
inline constexpr PulseError kPulseTerminated = -1;

// libpulse's text for an error number ("Timeout", "No such entity", ...).
std::string pulseErrorText(PulseError error);

using PulseDeadline = std::chrono::steady_clock::time_point;
inline PulseDeadline pulseDeadlineAfter(std::chrono::milliseconds timeout) {
  return std::chrono::steady_clock::now() + timeout;
}

// A libpulse main loop together with the one way a caller waits on it. The
// two kinds below differ only there: PulseSyncLoop is iterated by the waiting
// thread itself; PulseThreadedLoop runs on a thread of its own and the
// waiting thread sleeps (with the loop lock released) until a callback wakes
// it. Either wait also watches the termination request, when given one.
class PulseLoop {
 public:
  enum class WaitResult { kDone, kTimedOut, kTerminated, kFailed };

  virtual ~PulseLoop() = default;
  virtual pa_mainloop_api* api() = 0;
  // Waits until done() holds, `deadline` passes or termination is requested.
  // done() is checked with the loop lock held (threaded loop: the caller
  // holds it).
  virtual WaitResult waitUntil(const std::function<bool()>& done, PulseDeadline deadline) = 0;
  // From a libpulse callback: wakes waitUntil to look at done() again.
  virtual void wake() = 0;
  // Around teardown of libpulse objects from outside the loop's callbacks.
  virtual void lock() {}
  virtual void unlock() {}
};

// A pa_mainloop iterated only inside waitUntil, on the caller's thread. One
// thread at a time.
class PulseSyncLoop : public PulseLoop {
 public:
  explicit PulseSyncLoop(const TerminationWatch* termination = nullptr);
  ~PulseSyncLoop() override;
  PulseSyncLoop(const PulseSyncLoop&) = delete;
  PulseSyncLoop& operator=(const PulseSyncLoop&) = delete;

  pa_mainloop_api* api() override;
  WaitResult waitUntil(const std::function<bool()>& done, PulseDeadline deadline) override;
  void wake() override {}

 private:
  pa_mainloop* loop_;
  pa_io_event* terminationEvent_ = nullptr;
  bool terminated_ = false;
};

// A pa_threaded_mainloop, whose thread runs every libpulse callback with the
// loop lock held (it is the capture thread). Other threads take the lock
// (lock()/unlock(), or Lock) before touching the loop's objects; waitUntil
// is called with it held and releases it while sleeping. start() begins the
// loop thread; the destructor ends it, so no callback runs afterwards (call
// it without the lock). wake() on the loop thread; the rest on one other
// thread.
class PulseThreadedLoop : public PulseLoop {
 public:
  explicit PulseThreadedLoop(const TerminationWatch* termination = nullptr);
  ~PulseThreadedLoop() override;
  PulseThreadedLoop(const PulseThreadedLoop&) = delete;
  PulseThreadedLoop& operator=(const PulseThreadedLoop&) = delete;

  // Holds the loop lock while it lives. Not on the loop's own thread.
  class Lock {
   public:
    explicit Lock(PulseLoop& loop) : loop_(loop) { loop_.lock(); }
    ~Lock() { loop_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PulseLoop& loop_;
  };

  bool start();
  pa_mainloop_api* api() override;
  WaitResult waitUntil(const std::function<bool()>& done, PulseDeadline deadline) override;
  void wake() override;
  void lock() override;
  void unlock() override;

 private:
  pa_threaded_mainloop* loop_;
  int wakeFd_ = -1;
  const TerminationWatch* termination_;
  bool started_ = false;
};

// What a client needs to know of one capture source.
struct PulseSource {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::optional<std::string> description;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
};

// One libpulse context on a PulseLoop: connecting with a deadline (never
// spawning a server) and the queries this process makes, each waited for
// with a deadline. A timeout, a termination request or a broken connection
// leaves the operation cancelled, so its callback never runs afterwards.
// Callers use it on the thread that waits on the loop (threaded loop: with
// the lock held, except for the destructor, which takes it).
class PulseClient {
 public:
  explicit PulseClient(PulseLoop& loop);
  ~PulseClient();
  PulseClient(const PulseClient&) = delete;
  PulseClient& operator=(const PulseClient&) = delete;

  // Connects to `server`, or where libpulse looks (PULSE_SERVER,
  // client.conf, XDG_RUNTIME_DIR) when absent.
  PulseError connect(const std::optional<std::string>& server, PulseDeadline deadline);
  bool connected() const;
  // The error number the context holds.
  PulseError lastError() const;

  // The name of the server's default source; absent when it has none.
  PulseError defaultSourceName(std::optional<std::string>& out, PulseDeadline deadline);
  PulseError sourceByName(const std::string& name, PulseSource& out, PulseDeadline deadline);
  PulseError sourceByIndex(std::uint32_t index, PulseSource& out, PulseDeadline deadline);
  // Every source, in the order the server lists them.
  PulseError sources(std::vector<PulseSource>& out, PulseDeadline deadline);
  PulseError setDefaultSource(const std::string& name, PulseDeadline deadline);

  pa_context* context() { return context_; }
  PulseLoop& loop() { return loop_; }
  // Runs on the loop's thread when the connection breaks after it was up.
  // Set it with the loop lock held.
  void setOnBroken(std::function<void()> onBroken) { onBroken_ = std::move(onBroken); }
  // Waits for `done` (checked as PulseLoop::waitUntil does) while the
  // connection holds; the reason it stopped otherwise.
  PulseError waitFor(const std::function<bool()>& done, PulseDeadline deadline);

 private:
  struct SourceQuery;
  static void contextStateChanged(pa_context* context, void* self);
  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* data);
  PulseError run(pa_operation* operation, const std::function<bool()>& done,
                 PulseDeadline deadline);
  PulseError runSourceQuery(SourceQuery& query, pa_operation* operation, PulseDeadline deadline);

  PulseLoop& loop_;
  pa_context* context_;
  bool wasReady_ = false;  // loop thread
  std::function<void()> onBroken_;
};

}  // namespace tellwyn
