#include "protocol/config_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

const std::string kLongLine(BridgeConfigChannel::kMaxLineBytes + 1, ' ');

struct StreamCase {
  const char* name;
  std::vector<std::string> reads;
  std::vector<double> values;  // the callbacks, in order
};

// Each read goes in whole; every accepted value writes its debug line first.
TEST(BridgeConfigChannelTest, ByteStreams) {
  const std::string accepted = R"({"type":"config","silenceMs":1500})";
  const StreamCase cases[] = {
      {"one line", {accepted + "\n"}, {1500.0}},
      {"two lines in one read",
       {R"({"type":"config","silenceMs":1})"
        "\n"
        R"({"type":"config","silenceMs":2})"
        "\n"},
       {1.0, 2.0}},
      {"split before the feed", {R"({"type":"config",)", R"("silenceMs":250.5})", "\n"}, {250.5}},
      {"feed and next line's start in one read",
       {accepted + "\n" + R"({"type":"config","sil)", R"(enceMs":7})"
                                                      "\n"},
       {1500.0, 7.0}},
      {"UTF-8 character split across reads",
       {"{\"type\":\"config\",\"silenceMs\":3,\"x\":\"\xC3", "\xA9\"}\n"},
       {3.0}},
      {"CRLF", {accepted + "\r\n"}, {1500.0}},
      {"white space around", {" \t" + accepted + " \t\r\n"}, {1500.0}},
      {"Unicode white space around",
       {"\xC2\xA0\xE2\x80\xA8\xC2\x85" + accepted + "\xE3\x80\x80\xE2\x80\xA9\x0B\x0C\n"},
       {1500.0}},
      {"blank lines", {"\n\n \t\r\n\xC2\xA0\n"}, {}},
      {"negative and zero",
       {R"({"type":"config","silenceMs":-5})"
        "\n"
        R"({"type":"config","silenceMs":0})"
        "\n"},
       {-5.0, 0.0}},
      {"booleans",
       {R"({"type":"config","silenceMs":true})"
        "\n"
        R"({"type":"config","silenceMs":false})"
        "\n"},
       {1.0, 0.0}},
      {"extra members",
       {R"({"mode":"x","type":"config","silenceMs":800,"more":[1,{}]})"
        "\n"},
       {800.0}},
      {"integer beyond a double's precision rounds",
       {R"({"type":"config","silenceMs":9007199254740993})"
        "\n"},
       {9007199254740992.0}},
      {"unsigned beyond int64",
       {R"({"type":"config","silenceMs":18446744073709551615})"
        "\n"},
       {18446744073709551616.0}},
      {"exponent form",
       {R"({"type":"config","silenceMs":1.5e3})"
        "\n"},
       {1500.0}},
      {"ignored forms",
       {R"({"type":"config","silenceMs":"1500"})"
        "\n"
        R"({"type":"config","silenceMs":null})"
        "\n"
        R"({"type":"config"})"
        "\n"
        R"({"type":"Config","silenceMs":1500})"
        "\n"
        R"({"silenceMs":1500})"
        "\n"
        R"({"type":1,"silenceMs":1500})"
        "\n"
        R"({"type":"config","silenceMs":[1]})"
        "\n"
        R"({"type":"config","silenceMs":{}})"
        "\n"
        R"([{"type":"config","silenceMs":1500}])"
        "\n"
        "1500\n"
        R"("config")"
        "\n"
        R"({"type":"config","silenceMs":1} {"type":"config","silenceMs":2})"
        "\n"
        R"({"type":"config","silenceMs":1500)"
        "\n"
        R"({"type":"config","silenceMs":NaN})"
        "\n"
        R"({'type':'config','silenceMs':1})"
        "\n"
        "{\"type\":\"config\",\"silenceMs\":1500,\"x\":\"\xFF\"}\n"
        "\n"},
       {}},
      {"invalid UTF-8 line dropped, next handled",
       {"\xC3(" + accepted + "\n" +
        R"({"type":"config","silenceMs":9})"
        "\n"},
       {9.0}},
      {"unfinished last line never handled", {accepted}, {}},
      {"overlong line dropped through its feed",
       {kLongLine, accepted + "\n" +
                       R"({"type":"config","silenceMs":4})"
                       "\n"},
       {4.0}},
      {"overlong line in one read",
       {kLongLine + accepted + "\n" +
        R"({"type":"config","silenceMs":5})"
        "\n"},
       {5.0}},
      {"overlong line without feed keeps being dropped",
       {kLongLine, kLongLine, "x", "\n", accepted + "\n"},
       {1500.0}},
      {"line of exactly the cap is kept",
       {std::string(BridgeConfigChannel::kMaxLineBytes - accepted.size(), ' ') + accepted + "\n"},
       {1500.0}},
  };
  for (const auto& c : cases) {
    std::vector<double> values;
    std::vector<std::string> lines;
    std::string out;
    {
      // Failures print to standard output, so they are checked after the
      // capture ends.
      OutputCapture capture;
      BridgeConfigChannel channel([&values](double ms) { values.push_back(ms); });
      for (const auto& read : c.reads) channel.consume(read);
      lines = capture.stderrLines();
      out = capture.stdoutText();
    }
    EXPECT_EQ(values, c.values) << c.name;
    EXPECT_EQ(lines.size(), c.values.size()) << c.name;
    for (const auto& line : lines) {
      EXPECT_TRUE(line.starts_with("debug: config update silenceMs=")) << c.name << ": " << line;
    }
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(BridgeConfigChannelTest, DebugLineTextPrecedesTheCallback) {
  struct Case {
    std::string value;
    std::string text;
  } cases[] = {{"1500", "1500.0"}, {"250.5", "250.5"},  {"-5", "-5.0"}, {"0", "0.0"},
               {"true", "1.0"},    {"1e300", "1e+300"}, {"0.1", "0.1"}};
  for (const auto& c : cases) {
    std::vector<std::string> seenAtCallback;
    std::string written;
    {
      OutputCapture capture;
      BridgeConfigChannel channel([&](double) { seenAtCallback.push_back(capture.stderrText()); });
      channel.consume(R"({"type":"config","silenceMs":)" + c.value + "}\n");
      written = capture.stderrText();
    }
    const std::string line = "debug: config update silenceMs=" + c.text + "\n";
    EXPECT_EQ(written, line) << c.value;
    EXPECT_EQ(seenAtCallback, std::vector<std::string>{line}) << c.value;
  }
}

// Collects callback values from the reader thread.
class Collector {
 public:
  void add(double value) {
    std::lock_guard lock(mutex_);
    values_.push_back(value);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return values_.size() >= count; });
  }
  std::vector<double> values() {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<double> values_;
  std::vector<std::thread::id> threads_;
};

class PipeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<int, 2> fds{};
    ASSERT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
  }
  void TearDown() override {
    closeWriteEnd();
    ::close(readEnd_);
  }
  void write(const std::string& bytes) {
    ASSERT_EQ(::write(writeEnd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeWriteEnd() {
    if (writeEnd_ >= 0) ::close(writeEnd_);
    writeEnd_ = -1;
  }

  int readEnd_ = -1;
  int writeEnd_ = -1;
};

TEST_F(PipeFixture, ReaderThreadDeliversLinesInOrderOffTheOwnersThread) {
  std::optional<OutputCapture> capture(std::in_place);
  Collector collector;
  BridgeConfigChannel channel([&](double ms) { collector.add(ms); }, readEnd_);
  channel.start();
  channel.start();  // a second start does nothing
  write(R"({"type":"config","silen)");
  write(R"(ceMs":100})"
        "\n"
        R"({"type":"config","silenceMs":200})"
        "\n");
  collector.waitFor(2);
  write(R"({"type":"config","silenceMs":300})"
        "\n");
  const bool arrived = collector.waitFor(3);
  const auto lines = capture->stderrLines();
  capture.reset();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(collector.values(), (std::vector<double>{100.0, 200.0, 300.0}));
  for (const auto& id : collector.threads()) EXPECT_NE(id, std::this_thread::get_id());
  EXPECT_EQ(lines, (std::vector<std::string>{"debug: config update silenceMs=100.0",
                                             "debug: config update silenceMs=200.0",
                                             "debug: config update silenceMs=300.0"}));
}

TEST_F(PipeFixture, EndOfInputStopsReadingAndDropsTheUnfinishedLine) {
  Collector collector;
  std::vector<std::string> lines;
  std::string out;
  {
    OutputCapture capture;
    auto channel =
        std::make_unique<BridgeConfigChannel>([&](double ms) { collector.add(ms); }, readEnd_);
    channel->start();
    write(R"({"type":"config","silenceMs":1})"
          "\n"
          R"({"type":"config","silenceMs":2})");
    closeWriteEnd();
    collector.waitFor(1);
    // The reader stops on its own at the end; destruction only joins it.
    channel.reset();
    lines = capture.stderrLines();
    out = capture.stdoutText();
  }
  EXPECT_EQ(collector.values(), std::vector<double>{1.0});
  EXPECT_EQ(lines, std::vector<std::string>{"debug: config update silenceMs=1.0"});
  EXPECT_TRUE(out.empty());
}

TEST_F(PipeFixture, DestructionWhileTheReaderWaitsReturns) {
  Collector collector;
  {
    BridgeConfigChannel channel([&](double ms) { collector.add(ms); }, readEnd_);
    channel.start();
    write(R"({"type":"config","silenceMs":1})");  // never finished
  }
  // The write end is still open: the reader was woken by the destructor.
  EXPECT_TRUE(collector.values().empty());
  BridgeConfigChannel neverStarted([](double) {}, readEnd_);
}

TEST_F(PipeFixture, EndlessLineIsDroppedAndTheReaderGoesOn) {
  std::optional<OutputCapture> capture(std::in_place);
  Collector collector;
  BridgeConfigChannel channel([&](double ms) { collector.add(ms); }, readEnd_);
  channel.start();
  const std::string megabyte(1 << 20, 'x');
  std::thread writer([&] {
    for (int i = 0; i < 8; ++i) write(megabyte);
    write(
        "\n"
        R"({"type":"config","silenceMs":42})"
        "\n");
  });
  const bool arrived = collector.waitFor(1);
  writer.join();
  capture.reset();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(collector.values(), std::vector<double>{42.0});
}

}  // namespace
}  // namespace tellwyn
