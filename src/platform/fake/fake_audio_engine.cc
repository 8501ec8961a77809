#include "platform/fake/fake_audio_engine.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

namespace tellwyn {

struct FakeAudioEngineFactory::State {
  FakeAudioEngineFactory* factory = nullptr;
  CallLog* log = nullptr;
  int enginesMade = 0;
  // The tap of the engine that installed it last; read by the capture thread
  // only between start() and stop().
  TapBlock tap;
  int tapOwner = 0;
  std::uint32_t tapBufferSize = 0;
  std::optional<AudioFormat> tapFormat;
  bool running = false;
  std::atomic<std::uint64_t> captured{0};

  void record(std::string call) const {
    if (log != nullptr) log->record(std::move(call));
  }
};

namespace {

class FakeAudioEngine : public AudioEngine {
 public:
  FakeAudioEngine(std::shared_ptr<FakeAudioEngineFactory::State> state, int id)
      : state_(std::move(state)), id_(id) {}

  ~FakeAudioEngine() override {
    joinCapture();
    if (state_->tapOwner == id_) {
      state_->tap = nullptr;
      state_->tapOwner = 0;
    }
  }

  AudioFormat inputFormat() override {
    state_->record("inputFormat");
    return state_->factory->inputFormat;
  }

  void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) override {
    state_->record("installTap");
    state_->tap = std::move(block);
    state_->tapOwner = id_;
    state_->tapBufferSize = bufferSize;
    state_->tapFormat = format;
  }

  void removeTap() override {
    state_->record("removeTap");
    if (state_->tapOwner == id_) {
      state_->tap = nullptr;
      state_->tapOwner = 0;
    }
  }

  void prepare() override { state_->record("prepare"); }

  Status start() override {
    state_->record("start");
    if (state_->factory->startError) return *state_->factory->startError;
    state_->running = true;
    if (!state_->factory->captureBuffers.empty() && state_->tapOwner == id_) {
      stopping_ = false;
      capture_ = std::thread([this] { captureLoop(); });
    }
    return {};
  }

  void stop() override {
    state_->record("stop");
    joinCapture();
    state_->running = false;
  }

 private:
  // Hands the scripted buffers to the tap in turn until stop().
  void captureLoop() {
    const auto& buffers = state_->factory->captureBuffers;
    std::uint64_t sampleTime = 0;
    for (std::size_t next = 0; !stopping_.load(std::memory_order_acquire);
         next = (next + 1) % buffers.size()) {
      state_->tap(buffers[next], AudioTime{sampleTime});
      sampleTime += buffers[next].frameLength();
      state_->captured.fetch_add(1, std::memory_order_release);
      std::this_thread::yield();
    }
  }

  void joinCapture() {
    if (!capture_.joinable()) return;
    stopping_.store(true, std::memory_order_release);
    capture_.join();
  }

  std::shared_ptr<FakeAudioEngineFactory::State> state_;
  int id_;
  std::atomic<bool> stopping_{false};
  std::thread capture_;
};

}  // namespace

FakeAudioEngineFactory::FakeAudioEngineFactory(CallLog* log) : state_(std::make_shared<State>()) {
  state_->factory = this;
  state_->log = log;
}

FakeAudioEngineFactory::~FakeAudioEngineFactory() { state_->factory = nullptr; }

Result<std::unique_ptr<AudioEngine>> FakeAudioEngineFactory::makeEngine(
    const std::optional<std::string>& deviceUID) {
  state_->record(deviceUID ? "makeEngine " + *deviceUID : std::string("makeEngine"));
  if (makeError) return *makeError;
  return std::unique_ptr<AudioEngine>(
      std::make_unique<FakeAudioEngine>(state_, ++state_->enginesMade));
}

bool FakeAudioEngineFactory::pushBuffer(const PcmBuffer& buffer, AudioTime time) {
  if (!state_->tap) return false;
  // A copy, so the tap may be removed while it runs without destroying it.
  TapBlock tap = state_->tap;
  tap(buffer, time);
  return true;
}

bool FakeAudioEngineFactory::tapInstalled() const { return static_cast<bool>(state_->tap); }
std::uint32_t FakeAudioEngineFactory::tapBufferSize() const { return state_->tapBufferSize; }
std::optional<AudioFormat> FakeAudioEngineFactory::tapFormat() const { return state_->tapFormat; }
int FakeAudioEngineFactory::enginesMade() const { return state_->enginesMade; }
bool FakeAudioEngineFactory::running() const { return state_->running; }

std::uint64_t FakeAudioEngineFactory::capturedCount() const {
  return state_->captured.load(std::memory_order_acquire);
}

bool FakeAudioEngineFactory::waitForCaptured(std::uint64_t count, double timeoutSeconds) const {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  while (capturedCount() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tellwyn
