// A two-hour streaming session driven through the fakes faster than real
// time: utterances of about twelve words, a partial for every word (carrying
// the whole transcript of the run, as the recognizer reports it) and a final
// after each silence. Prints, for each stretch of session time, the CPU time
// per partial and per final and the process's peak resident memory, as a
// Markdown table. Standard output and standard error go to /dev/null while
// the session runs, so the cost of encoding and writing the lines is
// included.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fake/fake_audio_devices.h"
#include "platform/fake/fake_audio_engine.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/fake/fake_speech_recognition.h"
#include "speech/speech_bridge.h"

namespace {

constexpr double kSessionSeconds = 2 * 60 * 60;
constexpr double kWordSeconds = 0.4;  // 150 words a minute
constexpr int kWordsPerUtterance = 12;
constexpr double kSilenceSeconds = 1.2;
constexpr double kReportEverySeconds = 15 * 60;

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

const char* word(std::size_t n) {
  static const char* const kWords[] = {
      "the",   "route", "to",    "the",    "north", "gate",   "is",    "clear", "and",
      "we",    "will",  "meet",  "there",  "at",    "ten",    "after", "the",   "call",
      "about", "price", "of",    "wheat",  "in",    "july",   "café",  "naïve", "résumé",
      "one",   "two",   "three", "eleven", "go",    "forward"};
  return kWords[(n * 7 + n / 5) % (sizeof kWords / sizeof kWords[0])];
}

struct Stretch {
  double partialCpu = 0;
  double finalCpu = 0;
  int partials = 0;
  int finals = 0;
  std::size_t transcriptBytes = 0;
};

}  // namespace

int main() {
  using namespace tellwyn;
  FakeMainQueue queue;
  FakeSpeechRecognition speech(queue);
  FakeAudioEngineFactory audio;
  FakeAudioDeviceSystem devices;
  FakeSleeper sleeper;
  auto created = SpeechBridge::create(SpeechServices{speech, audio, devices, sleeper, queue},
                                      std::nullopt, kSilenceSeconds);
  if (!created) {
    std::fprintf(stderr, "no session: %s\n", created.error().description.c_str());
    return 1;
  }
  auto bridge = created.value();

  std::fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  const int savedStderr = dup(STDERR_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  dup2(devNull, STDERR_FILENO);
  close(devNull);

  if (!bridge->start(std::nullopt)) return 1;

  std::vector<Stretch> stretches(static_cast<std::size_t>(kSessionSeconds / kReportEverySeconds));
  std::string transcript;
  std::size_t words = 0;
  double sessionTime = 0;
  while (sessionTime < kSessionSeconds) {
    auto& stretch = stretches[static_cast<std::size_t>(sessionTime / kReportEverySeconds)];
    for (int i = 0; i < kWordsPerUtterance; ++i) {
      if (!transcript.empty()) transcript += ' ';
      transcript += word(words++);
      const double before = threadCpuSeconds();
      speech.deliverPartial(transcript);
      queue.runPending();
      queue.advance(kWordSeconds);
      stretch.partialCpu += threadCpuSeconds() - before;
      ++stretch.partials;
      sessionTime += kWordSeconds;
    }
    // The silence: the timer fires and the new words go out as a final.
    const double before = threadCpuSeconds();
    queue.advance(kSilenceSeconds);
    stretch.finalCpu += threadCpuSeconds() - before;
    ++stretch.finals;
    sessionTime += kSilenceSeconds;
    stretch.transcriptBytes = transcript.size();
  }
  bridge->stop();
  queue.runPending();

  std::fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);
  dup2(savedStderr, STDERR_FILENO);
  close(savedStdout);
  close(savedStderr);

  std::printf("| session time | transcript | CPU per partial | CPU per final |\n");
  std::printf("|---|---|---|---|\n");
  for (std::size_t i = 0; i < stretches.size(); ++i) {
    const auto& s = stretches[i];
    std::printf("| %3.0f-%3.0f min | %6.1f KiB | %7.1f µs | %7.1f µs |\n",
                static_cast<double>(i) * kReportEverySeconds / 60,
                static_cast<double>(i + 1) * kReportEverySeconds / 60,
                static_cast<double>(s.transcriptBytes) / 1024, s.partialCpu / s.partials * 1e6,
                s.finalCpu / s.finals * 1e6);
  }
  std::printf("\n%zu words, peak resident memory %ld KiB\n", words, peakResidentKiB());
  return 0;
}
