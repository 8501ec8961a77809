// The capture-thread tap on one 1024-frame stereo float buffer whose channel 1
// is louder (energies, selection, a fresh mono buffer and the copy), against
// a plain copy of the same 2048 samples into a fresh stereo buffer. The
// selection line is already logged, so no debug line is written in the loop.
// Prints the ratio of the two times at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_format.h"
#include "platform/speech_recognition.h"
#include "speech/audio_tap.h"

namespace {

using tellwyn::AudioFormat;
using tellwyn::CommonFormat;
using tellwyn::PcmBuffer;

constexpr std::uint32_t kFrames = 1024;
const AudioFormat kStereo{CommonFormat::kFloat32, 48000, 2, false};

PcmBuffer capturedBuffer() {
  auto buffer = PcmBuffer::make(kStereo, kFrames);
  buffer->setFrameLength(kFrames);
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const float wave = static_cast<float>((i % 64) - 32) / 32.0f;
    buffer->floatChannelData()[0][i] = 0.1f * wave;
    buffer->floatChannelData()[1][i] = 0.6f * wave;
  }
  return std::move(*buffer);
}

// A request that only keeps the appended samples from being optimised away.
class SinkRequest : public tellwyn::RecognitionRequest {
 public:
  void setShouldReportPartialResults(bool) override {}
  void append(const PcmBuffer& buffer) override {
    benchmark::DoNotOptimize(buffer.floatChannelData()[0][kFrames - 1]);
  }
  void endAudio() override {}
};

void BM_TapDownmixStereoFloat(benchmark::State& state) {
  const PcmBuffer buffer = capturedBuffer();
  SinkRequest request;
  bool logged = true;
  for (auto _ : state) {
    tellwyn::handleAudioBuffer(buffer, kStereo, &request, logged);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TapDownmixStereoFloat);

void BM_PlainCopyStereoFloat(benchmark::State& state) {
  const PcmBuffer buffer = capturedBuffer();
  SinkRequest request;
  for (auto _ : state) {
    std::optional<PcmBuffer> copy = PcmBuffer::make(kStereo, kFrames);
    copy->setFrameLength(kFrames);
    for (std::uint32_t c = 0; c < 2; ++c) {
      std::copy_n(buffer.floatChannelData()[c], kFrames, copy->floatChannelData()[c]);
    }
    request.append(*copy);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PlainCopyStereoFloat);

// The console output, followed by the tap's time over the copy's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto tap = times_.find("BM_TapDownmixStereoFloat");
    const auto copy = times_.find("BM_PlainCopyStereoFloat");
    if (tap != times_.end() && copy != times_.end() && copy->second > 0) {
      std::printf("ratio tap/copy: %.2f\n", tap->second / copy->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
