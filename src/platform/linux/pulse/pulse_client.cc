#include "platform/linux/pulse/pulse_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>

namespace tellwyn {
namespace {

// Milliseconds left until `deadline`, rounded up, for poll(); 0 once passed.
int millisecondsUntil(PulseDeadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(
      std::clamp<std::int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
}

bool isFinal(pa_context_state_t state) {
  return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

// An error number that is never PA_OK: a failure without its own number.
PulseError failure(PulseError error, PulseError otherwise) {
  return error != PA_OK ? error : otherwise;
}

}  // namespace

std::string pulseErrorText(PulseError error) {
  if (error == kPulseTerminated) return "Terminated";
  const char* text = pa_strerror(error);
  if (text == nullptr) return "Unknown sound server error " + std::to_string(error);
  return text;
}

PulseSyncLoop::PulseSyncLoop(const TerminationWatch* termination) : loop_(pa_mainloop_new()) {
  if (loop_ == nullptr) throw std::bad_alloc();
  if (termination != nullptr) {
    pa_mainloop_api* loopApi = api();
    terminationEvent_ = loopApi->io_new(
        loopApi, termination->fd(), PA_IO_EVENT_INPUT,
        [](pa_mainloop_api* api, pa_io_event* event, int, pa_io_event_flags_t, void* self) {
          static_cast<PulseSyncLoop*>(self)->terminated_ = true;
          api->io_enable(event, PA_IO_EVENT_NULL);
        },
        this);
  }
}

PulseSyncLoop::~PulseSyncLoop() { pa_mainloop_free(loop_); }

pa_mainloop_api* PulseSyncLoop::api() { return pa_mainloop_get_api(loop_); }

PulseLoop::WaitResult PulseSyncLoop::waitUntil(const std::function<bool()>& done,
                                               PulseDeadline deadline) {
  for (;;) {
    if (terminated_) return WaitResult::kTerminated;
    if (done()) return WaitResult::kDone;
    if (std::chrono::steady_clock::now() >= deadline) return WaitResult::kTimedOut;
    const auto left =
        std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    const int timeout = static_cast<int>(
        std::clamp<std::int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
    if (pa_mainloop_prepare(loop_, timeout) < 0 || pa_mainloop_poll(loop_) < 0 ||
        pa_mainloop_dispatch(loop_) < 0) {
      return WaitResult::kFailed;
    }
  }
}

PulseThreadedLoop::PulseThreadedLoop(const TerminationWatch* termination)
    : loop_(pa_threaded_mainloop_new()),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      termination_(termination) {
  if (loop_ == nullptr || wakeFd_ < 0) {
    if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    throw std::bad_alloc();
  }
}

PulseThreadedLoop::~PulseThreadedLoop() {
  if (started_) pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
  ::close(wakeFd_);
}

bool PulseThreadedLoop::start() {
  if (!started_) started_ = pa_threaded_mainloop_start(loop_) >= 0;
  return started_;
}

pa_mainloop_api* PulseThreadedLoop::api() { return pa_threaded_mainloop_get_api(loop_); }

void PulseThreadedLoop::lock() { pa_threaded_mainloop_lock(loop_); }

void PulseThreadedLoop::unlock() { pa_threaded_mainloop_unlock(loop_); }

void PulseThreadedLoop::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

PulseLoop::WaitResult PulseThreadedLoop::waitUntil(const std::function<bool()>& done,
                                                   PulseDeadline deadline) {
  // A callback changes what done() looks at under the lock and then writes
  // to the wake descriptor, which stays readable until drained here: a wake
  // that comes between the check and the poll is not lost.
  for (;;) {
    if (termination_ != nullptr && termination_->requested()) return WaitResult::kTerminated;
    if (done()) return WaitResult::kDone;
    const int timeout = millisecondsUntil(deadline);
    if (timeout == 0) return WaitResult::kTimedOut;
    pollfd watched[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    if (termination_ != nullptr) watched[1].fd = termination_->fd();
    unlock();
    const int ready = ::poll(watched, 2, timeout);
    lock();
    if (ready < 0 && errno != EINTR) return WaitResult::kFailed;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &count, sizeof count);
  }
}

struct PulseClient::SourceQuery {
  PulseClient* client = nullptr;
  bool done = false;
  PulseError error = PA_OK;
  std::vector<PulseSource> sources;
};

PulseClient::PulseClient(PulseLoop& loop)
    : loop_(loop), context_(pa_context_new(loop.api(), kPulseClientName)) {
  if (context_ == nullptr) throw std::bad_alloc();
  pa_context_set_state_callback(context_, &contextStateChanged, this);
}

PulseClient::~PulseClient() {
  loop_.lock();
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  loop_.unlock();
}

void PulseClient::contextStateChanged(pa_context* context, void* self) {
  auto& client = *static_cast<PulseClient*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) client.wasReady_ = true;
  if (isFinal(state) && client.wasReady_ && client.onBroken_) client.onBroken_();
  client.loop_.wake();
}

PulseError PulseClient::lastError() const { return pa_context_errno(context_); }

bool PulseClient::connected() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

PulseError PulseClient::connect(const std::optional<std::string>& server, PulseDeadline deadline) {
  if (pa_context_get_state(context_) != PA_CONTEXT_UNCONNECTED) {
    return connected() ? PA_OK : failure(lastError(), PA_ERR_CONNECTIONTERMINATED);
  }
  if (pa_context_connect(context_, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0) {
    return failure(lastError(), PA_ERR_CONNECTIONREFUSED);
  }
  return waitFor([this] { return connected(); }, deadline);
}

PulseError PulseClient::waitFor(const std::function<bool()>& done, PulseDeadline deadline) {
  PulseError broken = PA_OK;
  const auto finished = [&] {
    if (done()) return true;
    if (isFinal(pa_context_get_state(context_))) {
      broken = failure(lastError(), PA_ERR_CONNECTIONTERMINATED);
      return true;
    }
    return false;
  };
  switch (loop_.waitUntil(finished, deadline)) {
    case PulseLoop::WaitResult::kDone:
      return broken;
    case PulseLoop::WaitResult::kTimedOut:
      return PA_ERR_TIMEOUT;
    case PulseLoop::WaitResult::kTerminated:
      return kPulseTerminated;
    case PulseLoop::WaitResult::kFailed:
      break;
  }
  return PA_ERR_INTERNAL;
}

PulseError PulseClient::run(pa_operation* operation, const std::function<bool()>& done,
                            PulseDeadline deadline) {
  if (operation == nullptr) return failure(lastError(), PA_ERR_INTERNAL);
  const PulseError error = waitFor(done, deadline);
  // The callback must not run on the query once the caller has returned.
  if (error != PA_OK) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return error;
}

void PulseClient::onSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                               void* data) {
  auto& query = *static_cast<SourceQuery*>(data);
  if (eol < 0) {
    query.error = failure(pa_context_errno(context), PA_ERR_UNKNOWN);
  } else if (eol == 0 && info != nullptr) {
    PulseSource source;
    source.index = info->index;
    source.name = info->name != nullptr ? info->name : "";
    if (info->description != nullptr) source.description = info->description;
    source.sampleSpec = info->sample_spec;
    source.channelMap = info->channel_map;
    query.sources.push_back(std::move(source));
    return;
  }
  query.done = true;
  query.client->loop_.wake();
}

PulseError PulseClient::runSourceQuery(SourceQuery& query, pa_operation* operation,
                                       PulseDeadline deadline) {
  query.client = this;
  const PulseError error = run(
      operation, [&] { return query.done; }, deadline);
  return error != PA_OK ? error : query.error;
}

PulseError PulseClient::sources(std::vector<PulseSource>& out, PulseDeadline deadline) {
  SourceQuery query;
  const PulseError error = runSourceQuery(
      query, pa_context_get_source_info_list(context_, &onSourceInfo, &query), deadline);
  if (error == PA_OK) out = std::move(query.sources);
  return error;
}

PulseError PulseClient::sourceByName(const std::string& name, PulseSource& out,
                                     PulseDeadline deadline) {
  SourceQuery query;
  PulseError error = runSourceQuery(
      query, pa_context_get_source_info_by_name(context_, name.c_str(), &onSourceInfo, &query),
      deadline);
  if (error == PA_OK && query.sources.empty()) error = PA_ERR_NOENTITY;
  if (error == PA_OK) out = std::move(query.sources.front());
  return error;
}

PulseError PulseClient::sourceByIndex(std::uint32_t index, PulseSource& out,
                                      PulseDeadline deadline) {
  SourceQuery query;
  PulseError error = runSourceQuery(
      query, pa_context_get_source_info_by_index(context_, index, &onSourceInfo, &query), deadline);
  if (error == PA_OK && query.sources.empty()) error = PA_ERR_NOENTITY;
  if (error == PA_OK) out = std::move(query.sources.front());
  return error;
}

PulseError PulseClient::defaultSourceName(std::optional<std::string>& out, PulseDeadline deadline) {
  struct ServerQuery {
    PulseClient* client = nullptr;
    bool done = false;
    std::optional<std::string> defaultSource;
  } query;
  query.client = this;
  const PulseError error = run(
      pa_context_get_server_info(
          context_,
          [](pa_context*, const pa_server_info* info, void* data) {
            auto& server = *static_cast<ServerQuery*>(data);
            // PipeWire names a placeholder when no source is the default.
            if (info != nullptr && info->default_source_name != nullptr &&
                info->default_source_name[0] != '\0' &&
                std::string_view(info->default_source_name) != "@DEFAULT_SOURCE@") {
              server.defaultSource = info->default_source_name;
            }
            server.done = true;
            server.client->loop_.wake();
          },
          &query),
      [&] { return query.done; }, deadline);
  if (error == PA_OK) out = std::move(query.defaultSource);
  return error;
}

PulseError PulseClient::setDefaultSource(const std::string& name, PulseDeadline deadline) {
  struct SuccessQuery {
    PulseClient* client = nullptr;
    bool done = false;
    PulseError error = PA_OK;
  } query;
  query.client = this;
  const PulseError error = run(
      pa_context_set_default_source(
          context_, name.c_str(),
          [](pa_context* context, int success, void* data) {
            auto& result = *static_cast<SuccessQuery*>(data);
            if (!success) result.error = failure(pa_context_errno(context), PA_ERR_UNKNOWN);
            result.done = true;
            result.client->loop_.wake();
          },
          &query),
      [&] { return query.done; }, deadline);
  return error != PA_OK ? error : query.error;
}

}  // namespace tellwyn
