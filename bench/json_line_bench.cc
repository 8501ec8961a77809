// One `partial` line of 200 characters: encoding it and writing it with
// emitBridgeJson, against copying the already-encoded bytes and writing them
// the same way (locked write, line feed, flush). Standard output goes to
// /dev/null while each benchmark runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "protocol/bridge_message.h"
#include "protocol/json_encoding.h"
#include "protocol/output.h"

namespace {

// Points file descriptor 1 at /dev/null for its lifetime.
class StdoutToDevNull {
 public:
  StdoutToDevNull() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~StdoutToDevNull() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutToDevNull(const StdoutToDevNull&) = delete;
  StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

 private:
  int saved_;
};

std::string sampleText() {
  // Mostly words, with the characters the encoder has to look at.
  std::string text;
  while (text.size() < 200) text += "so the route/path is \"clear\" ";
  text.resize(200);
  return text;
}

void BM_EmitPartialLine(benchmark::State& state) {
  const std::string text = sampleText();
  StdoutToDevNull redirect;
  for (auto _ : state) {
    tellwyn::emitBridgeJson(tellwyn::BridgeMessage::partial(text));
  }
}
BENCHMARK(BM_EmitPartialLine);

void BM_CopyAndWriteSameBytes(benchmark::State& state) {
  const std::string line = *tellwyn::encodeJson(tellwyn::BridgeMessage::partial(sampleText()));
  StdoutToDevNull redirect;
  for (auto _ : state) {
    std::string copy = line;
    benchmark::DoNotOptimize(copy.data());
    tellwyn::writeStdoutLine(copy);
  }
}
BENCHMARK(BM_CopyAndWriteSameBytes);

}  // namespace

BENCHMARK_MAIN();
