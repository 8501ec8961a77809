// How far the decoder falls behind live audio. A feeder thread appends a
// recording to the recognizer's inbox at real-time pace, in 1024-frame
// buffers as the capture thread does, while the recognition worker decodes it
// with the real model. After each block it decodes, the worker's decoder is
// this far behind: the wall time now minus the moment the block's last sample
// was captured. The decoder holds the first speech of a run back until it
// knows that speech's cepstral mean, then decodes it at once, so the start
// has two figures: how long until the decoder has searched its first frame
// and is within 0.25 s of real time again, and the worst lag until then
// (the model load and that burst). From then on, the steady state: the lag's
// median, 95th percentile and maximum, and the seconds of audio decoded more
// than 0.5 s late.
// bench/decoder_keep_up.sh runs it with and without the other core kept busy.
//
//   decoder_keep_up_bench FILE.raw [mono16|stereo48]
// FILE.raw is 16 kHz mono s16le, or with stereo48 the 48 kHz two-channel
// float file that bench/make_passages writes beside it (NAME.stereo48.raw,
// the speech on channel 1). The inbox gets what the session's tap hands it:
// one channel, here the one with the speech, at 48 kHz.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/pocketsphinx/audio_inbox.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "platform/linux/pocketsphinx/recognition_worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBufferFrames = 1024;

// A main queue that drops everything: the bench watches the decoder, not the
// reports.
class DiscardingMainQueue : public tellwyn::MainQueue {
 public:
  void post(std::function<void()>) override {}
  std::shared_ptr<tellwyn::Timer> scheduleTimer(double, std::function<void()>) override {
    return nullptr;
  }
};

// One block the decoder worked through: how many seconds of audio, and how
// late its last sample was when the decoder was done with it.
struct DecodedBlock {
  double seconds;
  double lag;
  bool searched;  // whether the decoder has searched any audio yet
};

// The real decoder, noting after each block how late its last sample is.
class LagMeasuringDecoder : public tellwyn::UtteranceDecoder {
 public:
  LagMeasuringDecoder(std::unique_ptr<tellwyn::UtteranceDecoder> decoder, Clock::time_point start,
                      std::vector<DecodedBlock>& blocks)
      : decoder_(std::move(decoder)), start_(start), blocks_(blocks) {}

  void startUtterance() override { decoder_->startUtterance(); }
  void process(std::span<const std::int16_t> samples) override {
    decoder_->process(samples);
    decoded_ += samples.size();
    const double captured = static_cast<double>(decoded_) / 16000.0;
    // A fresh utterance counts one frame before it has searched any audio.
    searched_ = searched_ || decoder_->frames() > 1;
    blocks_.push_back({static_cast<double>(samples.size()) / 16000.0,
                       std::chrono::duration<double>(Clock::now() - start_).count() - captured,
                       searched_});
  }
  bool inSpeech() override { return decoder_->inSpeech(); }
  void endUtterance() override { decoder_->endUtterance(); }
  std::vector<tellwyn::DecodedWord> words() override { return decoder_->words(); }
  int frames() override { return decoder_->frames(); }

 private:
  std::unique_ptr<tellwyn::UtteranceDecoder> decoder_;
  Clock::time_point start_;
  std::uint64_t decoded_ = 0;
  bool searched_ = false;
  std::vector<DecodedBlock>& blocks_;
};

std::vector<char> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.raw [mono16|stereo48]\n", argv[0]);
    return 2;
  }
  const bool stereo48 = argc > 2 && std::strcmp(argv[2], "stereo48") == 0;
  const auto bytes = readBytes(argv[1]);
  const double rate = stereo48 ? 48000 : 16000;
  const std::size_t bytesPerFrame = stereo48 ? 8 : 2;
  const std::size_t totalFrames = bytes.size() / bytesPerFrame;
  if (totalFrames == 0) {
    std::fprintf(stderr, "no audio in %s\n", argv[1]);
    return 1;
  }

  const auto model = tellwyn::locateModel(
      tellwyn::modelDirectory([](const char* name) { return std::getenv(name); }),
      tellwyn::parseLocaleIdentifier("en-US"));
  if (!model) {
    std::fprintf(stderr, "no en-US model\n");
    return 1;
  }

  DiscardingMainQueue queue;
  auto inbox = std::make_shared<tellwyn::AudioInbox>();
  inbox->setReportPartialResults(true);
  auto delivery = std::make_shared<tellwyn::RecognitionDelivery>();
  std::vector<DecodedBlock> blocks;
  auto library = std::make_shared<tellwyn::PocketsphinxLibrary>();
  const Clock::time_point start = Clock::now();
  tellwyn::RecognitionWorker worker(
      queue,
      [&]() -> tellwyn::Result<std::unique_ptr<tellwyn::UtteranceDecoder>> {
        auto loaded = tellwyn::PocketsphinxDecoder::load(library, *model);
        if (!loaded) return loaded.error();
        return std::unique_ptr<tellwyn::UtteranceDecoder>(
            std::make_unique<LagMeasuringDecoder>(std::move(loaded).value(), start, blocks));
      },
      inbox, delivery);

  // The capture side: the first buffer leaves at `start`, each one when its
  // last frame would have been captured.
  std::thread feeder([&] {
    const auto format = *tellwyn::AudioFormat::make(
        stereo48 ? tellwyn::CommonFormat::kFloat32 : tellwyn::CommonFormat::kInt16, rate, 1, false);
    auto buffer = *tellwyn::PcmBuffer::make(format, kBufferFrames);
    for (std::size_t at = 0; at < totalFrames; at += kBufferFrames) {
      const auto frames =
          static_cast<std::uint32_t>(std::min<std::size_t>(kBufferFrames, totalFrames - at));
      std::this_thread::sleep_until(
          start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(static_cast<double>(at + frames) / rate)));
      buffer.setFrameLength(frames);
      for (std::uint32_t frame = 0; frame < frames; ++frame) {
        const char* source = bytes.data() + (at + frame) * bytesPerFrame;
        if (stereo48) {
          std::memcpy(&buffer.floatChannelData()[0][frame], source + 4, 4);
        } else {
          std::memcpy(&buffer.int16ChannelData()[0][frame], source, 2);
        }
      }
      inbox->append(buffer);
    }
    inbox->endAudio();
  });
  worker.run();
  feeder.join();

  // From the first block decoded nearly in time after the first search on,
  // the model load's backlog and the held first speech have been worked off.
  const auto caughtUp = std::find_if(blocks.begin(), blocks.end(), [](const DecodedBlock& block) {
    return block.searched && block.lag < 0.25;
  });
  if (caughtUp == blocks.end()) {
    std::printf("never caught up: lag at the end %.3f s\n",
                blocks.empty() ? 0.0 : blocks.back().lag);
    return 0;
  }
  double startSeconds = 0;
  double startLag = 0;
  for (auto block = blocks.begin(); block != caughtUp; ++block) {
    startSeconds += block->seconds;
    startLag = std::max(startLag, block->lag);
  }
  std::vector<double> lags;
  double lateSeconds = 0;
  for (auto block = caughtUp; block != blocks.end(); ++block) {
    lags.push_back(block->lag);
    if (block->lag > 0.5) lateSeconds += block->seconds;
  }
  std::printf(
      "audio %.1f s  start: %.2f s, worst lag %.3f s  then lag median %.3f  p95 %.3f  "
      "max %.3f s  over 0.5 s: %.2f s of audio\n",
      static_cast<double>(totalFrames) / rate, startSeconds, startLag, percentile(lags, 0.5),
      percentile(lags, 0.95), *std::max_element(lags.begin(), lags.end()), lateSeconds);
  return 0;
}
