// The recognition worker on a 16 kHz 16-bit mono file, without a sound
// server: the file is appended in buffers of --chunk frames (default 1024),
// and with --drain each buffer waits until the decoder has taken everything
// before it (as live capture does, where the decoder is ahead of the audio
// and gets each buffer on its own). Prints the final transcript on stdout,
// and on stderr, per utterance, the decoder's own hypothesis at its end and
// what the worker committed for it, so the two can be compared with
// pocketsphinx_continuous -infile on the same file.
//
//   offline_worker_bench [--chunk=N] [--drain] FILE.raw
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "blocking_main_queue.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "platform/linux/pocketsphinx/recognition_worker.h"

namespace {

using tellwyn::bench::BlockingMainQueue;

// The words with their frames: "word:start:end ...".
std::string joined(const std::vector<tellwyn::DecodedWord>& words) {
  std::string text;
  for (const auto& word : words) {
    text += (text.empty() ? "" : " ") + word.text + ":" + std::to_string(word.startFrame) + ":" +
            std::to_string(word.endFrame);
  }
  return text;
}

// The real decoder, telling each utterance's end on stderr.
class LoggingDecoder : public tellwyn::UtteranceDecoder {
 public:
  explicit LoggingDecoder(std::unique_ptr<tellwyn::UtteranceDecoder> inner)
      : inner_(std::move(inner)) {}
  void startUtterance() override { inner_->startUtterance(); }
  void process(std::span<const std::int16_t> samples) override {
    samples_ += samples.size();
    inner_->process(samples);
    if (trace_) {
      std::fprintf(stderr, "step %d %d %s\n", inner_->frames(), inner_->inSpeech() ? 1 : 0,
                   joined(inner_->words()).c_str());
    }
  }
  bool inSpeech() override { return inner_->inSpeech(); }
  void endUtterance() override {
    inner_->endUtterance();
    std::fprintf(stderr, "utt end at %.2f s, %d frames: %s\n", samples_ / 16000.0, inner_->frames(),
                 joined(inner_->words()).c_str());
  }
  std::vector<tellwyn::DecodedWord> words() override { return inner_->words(); }
  int frames() override { return inner_->frames(); }

 private:
  std::unique_ptr<tellwyn::UtteranceDecoder> inner_;
  std::size_t samples_ = 0;
  const bool trace_ = std::getenv("TRACE") != nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t chunk = 1024;
  bool drain = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--chunk=", 0) == 0) {
      chunk = std::stoul(arg.substr(8));
    } else if (arg == "--drain") {
      drain = true;
    } else {
      path = arg;
    }
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);

  auto model = tellwyn::locateModel("/usr/share/pocketsphinx/model", {"en", "US"});
  if (!model) return 1;
  BlockingMainQueue queue;
  // Room for the whole file: nothing is dropped however far the decoder lags.
  auto inbox = std::make_shared<tellwyn::AudioInbox>(samples.size() / 16000.0 + 10);
  auto delivery = std::make_shared<tellwyn::RecognitionDelivery>();
  std::optional<std::string> final;
  delivery->handler = [&](std::optional<tellwyn::RecognitionResult> result,
                          std::optional<tellwyn::Error> error) {
    if (error) std::fprintf(stderr, "error: %s\n", error->description.c_str());
    if (result && result->isFinal) final = result->bestTranscription;
  };
  auto library = std::make_shared<tellwyn::PocketsphinxLibrary>();
  tellwyn::RecognitionWorker worker(
      queue,
      [&]() -> tellwyn::Result<std::unique_ptr<tellwyn::UtteranceDecoder>> {
        auto decoder = tellwyn::PocketsphinxDecoder::load(library, *model);
        if (!decoder) return decoder.error();
        return std::unique_ptr<tellwyn::UtteranceDecoder>(
            std::make_unique<LoggingDecoder>(std::move(decoder).value()));
      },
      inbox, delivery);
  std::thread thread([&] { worker.run(); });

  const auto format = *tellwyn::AudioFormat::make(tellwyn::CommonFormat::kInt16, 16000, 1, false);
  auto buffer = *tellwyn::PcmBuffer::make(format, static_cast<std::uint32_t>(chunk));
  for (std::size_t at = 0; at < samples.size(); at += chunk) {
    const auto frames = static_cast<std::uint32_t>(std::min(chunk, samples.size() - at));
    buffer.setFrameLength(frames);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), frames,
                buffer.int16ChannelData()[0]);
    inbox->append(buffer);
    while (drain && (inbox->ring() == nullptr || inbox->ring()->size() > 0)) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  inbox->endAudio();
  while (!final) queue.runOne();
  thread.join();
  std::printf("%s\n", final->c_str());
  return 0;
}
