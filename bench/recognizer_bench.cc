// The whole offline recognition pipeline on pocketsphinx's test recordings
// (16 kHz 16-bit mono): 1024-frame buffers appended as from the capture
// thread, the model load, 16 kHz conversion, decoding and the reports on a
// main queue, as fast as the decoder goes. Per file: wall time per second of
// audio (the real-time factor). BM_Recognize48k feeds the same recordings
// as 48 kHz float, as a 48 kHz microphone would, so the two show what the
// resampling costs.
//
// With --transcribe FILE... it instead recognizes each file once and prints
// "<file>\t<final transcript>", for bench/recognizer_figures.sh, which runs it
// under /usr/bin/time next to pocketsphinx_continuous.
#include <benchmark/benchmark.h>
#include <speex/speex_resampler.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "blocking_main_queue.h"
#include "platform/linux/pocketsphinx/pocketsphinx_recognition.h"

namespace {

const std::string kTestData = "/usr/share/pocketsphinx/test/data/";

using tellwyn::bench::BlockingMainQueue;

std::vector<std::int16_t> readRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The 16 kHz samples as float samples at 48 kHz.
std::vector<float> at48k(const std::vector<std::int16_t>& in) {
  std::vector<float> source(in.begin(), in.end());
  for (float& sample : source) sample /= 32768.0f;
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init(1, 16000, 48000, 5, &error);
  std::vector<float> out(source.size() * 3 + 64);
  auto inLength = static_cast<spx_uint32_t>(source.size());
  auto outLength = static_cast<spx_uint32_t>(out.size());
  speex_resampler_process_float(state, 0, source.data(), &inLength, out.data(), &outLength);
  speex_resampler_destroy(state);
  out.resize(outLength);
  return out;
}

template <typename Sample>
std::span<Sample* const> channels(tellwyn::PcmBuffer& buffer) {
  if constexpr (std::is_same_v<Sample, float>) {
    return buffer.floatChannelData();
  } else {
    return buffer.int16ChannelData();
  }
}

// Recognizes `samples` with a fresh task and returns the final transcript.
template <typename Sample>
std::string transcribe(tellwyn::SpeechRecognizer& recognizer, BlockingMainQueue& queue,
                       const std::vector<Sample>& samples, double rate = 16000) {
  const auto format =
      *tellwyn::AudioFormat::make(std::is_same_v<Sample, float> ? tellwyn::CommonFormat::kFloat32
                                                                : tellwyn::CommonFormat::kInt16,
                                  rate, 1, false);
  auto buffer = *tellwyn::PcmBuffer::make(format, 1024);
  auto request = recognizer.makeRequest();
  request->setShouldReportPartialResults(true);
  std::optional<std::string> final;
  auto task = recognizer.startTask(request, [&](std::optional<tellwyn::RecognitionResult> result,
                                                std::optional<tellwyn::Error>) {
    if (result && result->isFinal) final = result->bestTranscription;
  });
  for (std::size_t at = 0; at < samples.size(); at += 1024) {
    const auto frames =
        static_cast<std::uint32_t>(std::min<std::size_t>(1024, samples.size() - at));
    buffer.setFrameLength(frames);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), frames,
                channels<Sample>(buffer)[0]);
    request->append(buffer);
  }
  request->endAudio();
  while (!final) queue.runOne();
  task->cancel();
  return *final;
}

void BM_Recognize(benchmark::State& state, const std::string& file) {
  BlockingMainQueue queue;
  auto service = tellwyn::makePocketsphinxRecognition(queue);
  auto recognizer = service->makeRecognizer("en-US");
  const auto samples = readRaw(kTestData + file);
  for (auto _ : state) benchmark::DoNotOptimize(transcribe(*recognizer, queue, samples));
  const double audioSeconds = static_cast<double>(samples.size()) / 16000.0;
  state.counters["audio_s"] = audioSeconds;
  state.counters["s_per_audio_s"] = benchmark::Counter(
      audioSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Recognize48k(benchmark::State& state, const std::string& file) {
  BlockingMainQueue queue;
  auto service = tellwyn::makePocketsphinxRecognition(queue);
  auto recognizer = service->makeRecognizer("en-US");
  const auto samples = at48k(readRaw(kTestData + file));
  for (auto _ : state) benchmark::DoNotOptimize(transcribe(*recognizer, queue, samples, 48000));
  const double audioSeconds = static_cast<double>(samples.size()) / 48000.0;
  state.counters["audio_s"] = audioSeconds;
  state.counters["s_per_audio_s"] = benchmark::Counter(
      audioSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(BM_Recognize48k, numbers, std::string("numbers.raw"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Recognize, goforward, std::string("goforward.raw"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Recognize, something, std::string("something.raw"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Recognize, numbers, std::string("numbers.raw"))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--transcribe") == 0) {
    BlockingMainQueue queue;
    auto service = tellwyn::makePocketsphinxRecognition(queue);
    auto recognizer = service->makeRecognizer("en-US");
    if (!recognizer) return 1;
    for (int i = 2; i < argc; ++i) {
      std::printf("%s\t%s\n", argv[i], transcribe(*recognizer, queue, readRaw(argv[i])).c_str());
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
