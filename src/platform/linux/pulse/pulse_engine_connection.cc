#include "platform/linux/pulse/pulse_engine_connection.h"

namespace tellwyn {
namespace {

constexpr const char* kClientName = "Tellwyn";

bool isFinal(pa_context_state_t state) {
  return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

// Runs a query and waits for its callback, which fills `done`.
template <typename Start>
bool runQuery(PulseEngineConnection& connection, bool& done, Start start) {
  pa_operation* operation = start();
  if (operation == nullptr) return false;
  while (!done && pa_operation_get_state(operation) == PA_OPERATION_RUNNING) connection.wait();
  pa_operation_unref(operation);
  return done;
}

}  // namespace

Result<std::unique_ptr<PulseEngineConnection>> PulseEngineConnection::open() {
  auto connection = std::make_unique<PulseEngineConnection>(Key{});
  connection->loop_ = pa_threaded_mainloop_new();
  if (connection->loop_ == nullptr) return Error{"tellwyn.audio", 1, "Out of memory"};
  connection->context_ =
      pa_context_new(pa_threaded_mainloop_get_api(connection->loop_), kClientName);
  if (connection->context_ == nullptr) return Error{"tellwyn.audio", 1, "Out of memory"};
  pa_context_set_state_callback(connection->context_, &contextStateChanged, connection.get());
  // The connection is begun before the loop thread exists, so only the wait
  // for it needs the lock.
  if (pa_context_connect(connection->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return Error{"tellwyn.audio", 2, connection->lastError()};
  }
  if (pa_threaded_mainloop_start(connection->loop_) < 0) {
    return Error{"tellwyn.audio", 1, "Could not start the sound server thread"};
  }

  Lock lock(*connection);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(connection->context_);
    if (state == PA_CONTEXT_READY) break;
    if (isFinal(state)) return Error{"tellwyn.audio", 2, connection->lastError()};
    connection->wait();
  }
  return connection;
}

PulseEngineConnection::~PulseEngineConnection() {
  if (loop_ == nullptr) return;
  if (context_ != nullptr) {
    {
      Lock lock(*this);
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_context_unref(context_);
  } else {
    pa_threaded_mainloop_stop(loop_);
  }
  pa_threaded_mainloop_free(loop_);
}

void PulseEngineConnection::contextStateChanged(pa_context* context, void* self) {
  auto& connection = *static_cast<PulseEngineConnection*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) connection.wasReady_ = true;
  if (isFinal(state) && connection.wasReady_ && connection.onBroken_) connection.onBroken_();
  connection.signal();
}

std::string PulseEngineConnection::lastError() const {
  return pa_strerror(pa_context_errno(context_));
}

bool PulseEngineConnection::connected() const {
  return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

Result<PulseSourceInfo> PulseEngineConnection::defaultSource() {
  Lock lock(*this);
  if (!connected()) return Error{"tellwyn.audio", 2, lastError()};

  struct ServerQuery {
    PulseEngineConnection* connection = nullptr;
    bool done = false;
    std::string defaultSource;
  } server;
  server.connection = this;
  const bool gotServer = runQuery(*this, server.done, [&] {
    return pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* userdata) {
          auto& query = *static_cast<ServerQuery*>(userdata);
          if (info != nullptr && info->default_source_name != nullptr) {
            query.defaultSource = info->default_source_name;
          }
          query.done = true;
          query.connection->signal();
        },
        &server);
  });
  if (!gotServer) return Error{"tellwyn.audio", 2, lastError()};
  if (server.defaultSource.empty()) {
    return Error{"tellwyn.audio", 3, "The sound server has no default input"};
  }

  struct SourceQuery {
    PulseEngineConnection* connection = nullptr;
    bool done = false;
    bool found = false;
    PulseSourceInfo info;
  } source;
  source.connection = this;
  source.info.name = server.defaultSource;
  const bool gotSource = runQuery(*this, source.done, [&] {
    return pa_context_get_source_info_by_name(
        context_, source.info.name.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
          auto& query = *static_cast<SourceQuery*>(userdata);
          if (info != nullptr && !query.found) {
            query.found = true;
            query.info.sampleSpec = info->sample_spec;
            query.info.channelMap = info->channel_map;
          }
          if (eol != 0 || info == nullptr) {
            query.done = true;
            query.connection->signal();
          }
        },
        &source);
  });
  if (!gotSource || !source.found) {
    return Error{"tellwyn.audio", 3, "The default input \"" + source.info.name + "\" is gone"};
  }
  return source.info;
}

}  // namespace tellwyn
