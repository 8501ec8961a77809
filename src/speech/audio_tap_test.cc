#include "speech/audio_tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/fake/fake_speech_recognition.h"
#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

constexpr double kRate = 48000;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// A buffer of `format`'s sample type holding `channels` (one array per
// channel, all of the same length), with the format's channel count taken
// from the arrays.
PcmBuffer makeBuffer(CommonFormat type, const std::vector<std::vector<float>>& channels) {
  const auto frames = static_cast<std::uint32_t>(channels.empty() ? 0 : channels[0].size());
  auto format = AudioFormat::make(type, kRate, static_cast<std::uint32_t>(channels.size()), false);
  auto buffer = PcmBuffer::make(*format, std::max<std::uint32_t>(frames, 1));
  buffer->setFrameLength(frames);
  for (std::size_t c = 0; c < channels.size(); ++c) {
    for (std::uint32_t i = 0; i < frames; ++i) {
      if (type == CommonFormat::kFloat32) buffer->floatChannelData()[c][i] = channels[c][i];
      if (type == CommonFormat::kInt16) {
        buffer->int16ChannelData()[c][i] = static_cast<std::int16_t>(channels[c][i]);
      }
    }
  }
  return std::move(*buffer);
}

std::vector<std::vector<float>> samplesOf(const AppendedBuffer& buffer) {
  std::vector<std::vector<float>> channels;
  for (const auto& channel : buffer.floatChannels) channels.emplace_back(channel);
  for (const auto& channel : buffer.int16Channels) {
    channels.emplace_back(channel.begin(), channel.end());
  }
  return channels;
}

struct DownmixCase {
  const char* name;
  CommonFormat type;
  std::uint32_t formatChannels;  // what the tap's input format says
  std::vector<std::vector<float>> samples;
  int selected;      // the channel sent alone, or -1: the buffer goes unchanged
  std::string line;  // the debug line, or empty for none
};

// NaN compares unequal to itself; compare sample arrays bit for bit instead.
bool sameSamples(const std::vector<std::vector<float>>& a,
                 const std::vector<std::vector<float>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t c = 0; c < a.size(); ++c) {
    if (a[c].size() != b[c].size()) return false;
    for (std::size_t i = 0; i < a[c].size(); ++i) {
      if (!(a[c][i] == b[c][i] || (std::isnan(a[c][i]) && std::isnan(b[c][i])))) return false;
    }
  }
  return true;
}

TEST(AudioTapTest, SendsTheLoudestChannelOrPassesTheBufferThrough) {
  const auto f32 = CommonFormat::kFloat32;
  const auto i16 = CommonFormat::kInt16;
  const DownmixCase cases[] = {
      {"float, second louder",
       f32,
       2,
       {{0.5f, -0.25f, 0}, {1, -1, 0.5f}},
       1,
       "downmix select channel=1 energy=2.25"},
      {"float, first louder",
       f32,
       2,
       {{1, -1, 0.5f}, {0.5f, -0.25f, 0}},
       0,
       "downmix select channel=0 energy=2.25"},
      {"energy printed as the shortest float",
       f32,
       2,
       {{0.1f}, {0}},
       0,
       "downmix select channel=0 energy=0.010000001"},
      // Summed in sample order in 32 bits, the small squares vanish next to
      // the 1; a wider or reordered sum would print 1.0000001.
      {"float energy is a 32-bit sum in sample order",
       f32,
       2,
       {{1, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f, 1e-4f},
        std::vector<float>(11, 0.0f)},
       0,
       "downmix select channel=0 energy=1.0"},
      {"float, three channels",
       f32,
       3,
       {{0.1f, 0}, {0, 0.2f}, {0.5f, 0.5f}},
       2,
       "downmix select channel=2 energy=0.5"},
      {"float tie goes to the lowest index",
       f32,
       2,
       {{0.5f, -0.5f}, {-0.5f, 0.5f}},
       0,
       "downmix select channel=0 energy=0.5"},
      {"float silence picks channel 0",
       f32,
       2,
       {{0, 0}, {0, 0}},
       0,
       "downmix select channel=0 energy=0.0"},
      {"NaN never wins", f32, 2, {{kNaN, 1}, {0.5f, 0}}, 1, "downmix select channel=1 energy=0.25"},
      {"NaN after a real channel",
       f32,
       2,
       {{0.5f, 0}, {kNaN, 9}},
       0,
       "downmix select channel=0 energy=0.25"},
      {"all NaN keeps channel 0 and -1",
       f32,
       2,
       {{kNaN}, {kNaN}},
       0,
       "downmix select channel=0 energy=-1.0"},
      {"int16, second louder",
       i16,
       2,
       {{100, -100}, {-32768, 32767}},
       1,
       "downmix select channel=1 energy=2147418113"},
      {"int16 tie", i16, 2, {{3, 4}, {-4, 3}}, 0, "downmix select channel=0 energy=25"},
      {"int16 silence", i16, 2, {{0, 0}, {0, 0}}, 0, "downmix select channel=0 energy=0"},
      {"one channel passes through", f32, 1, {{0.5f, 0.25f}}, -1, ""},
      {"zero frames pass through", f32, 2, {{}, {}}, -1, ""},
      {"int16 zero frames pass through", i16, 2, {{}, {}}, -1, ""},
      {"other sample type passes through", CommonFormat::kInt32, 2, {{0, 0}, {0, 0}}, -1, ""},
      {"buffer with fewer channels than its format", f32, 2, {{0.5f, 0.5f}}, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PcmBuffer buffer = makeBuffer(c.type, c.samples);
    const AudioFormat inputFormat{c.type, kRate, c.formatChannels, false};
    FakeRecognitionRequest request(nullptr);
    bool logged = false;
    OutputCapture capture;

    handleAudioBuffer(buffer, inputFormat, &request, logged);

    const auto appended = request.appended();
    ASSERT_EQ(appended.size(), 1u);
    EXPECT_EQ(appended[0].frameLength, buffer.frameLength());
    if (c.selected < 0) {
      EXPECT_EQ(appended[0].format, buffer.format());
      if (c.type == f32 || c.type == i16) {
        EXPECT_TRUE(sameSamples(samplesOf(appended[0]), c.samples));
      }
    } else {
      EXPECT_EQ(appended[0].format, (AudioFormat{c.type, kRate, 1, false}));
      EXPECT_TRUE(sameSamples(samplesOf(appended[0]), {c.samples[c.selected]}));
    }
    EXPECT_EQ(logged, !c.line.empty());
    EXPECT_EQ(capture.stderrText(), c.line.empty() ? "" : "debug: " + c.line + "\n");
    EXPECT_EQ(capture.stdoutText(), "");
  }
}

TEST(AudioTapTest, LogsOnlyTheFirstSelectionAndEachBufferIsSelectedAfresh) {
  FakeRecognitionRequest request(nullptr);
  bool logged = false;
  OutputCapture capture;
  const AudioFormat stereo{CommonFormat::kFloat32, kRate, 2, false};
  handleAudioBuffer(makeBuffer(CommonFormat::kFloat32, {{0, 0.5f}, {1, 1}}), stereo, &request,
                    logged);
  handleAudioBuffer(makeBuffer(CommonFormat::kFloat32, {{1, 1}, {0, 0.5f}}), stereo, &request,
                    logged);
  EXPECT_EQ(capture.stderrLines(),
            std::vector<std::string>{"debug: downmix select channel=1 energy=2.0"});
  const auto appended = request.appended();
  ASSERT_EQ(appended.size(), 2u);
  EXPECT_EQ(appended[0].floatChannels, (std::vector<std::vector<float>>{{1, 1}}));
  EXPECT_EQ(appended[1].floatChannels, (std::vector<std::vector<float>>{{1, 1}}));
}

TEST(AudioTapTest, ABufferOfAnotherSampleTypeThanItsFormatPassesThrough) {
  FakeRecognitionRequest request(nullptr);
  bool logged = false;
  OutputCapture capture;
  handleAudioBuffer(makeBuffer(CommonFormat::kFloat32, {{1, 2}, {3, 4}}),
                    {CommonFormat::kInt16, kRate, 2, false}, &request, logged);
  const auto appended = request.appended();
  ASSERT_EQ(appended.size(), 1u);
  EXPECT_EQ(appended[0].floatChannels, (std::vector<std::vector<float>>{{1, 2}, {3, 4}}));
  EXPECT_EQ(capture.stderrText(), "");
}

TEST(AudioTapTest, WithoutARequestBuffersAreDropped) {
  bool logged = true;
  OutputCapture capture;
  handleAudioBuffer(makeBuffer(CommonFormat::kFloat32, {{0.5f}, {1}}),
                    {CommonFormat::kFloat32, kRate, 2, false}, nullptr, logged);
  handleAudioBuffer(makeBuffer(CommonFormat::kFloat32, {{0.5f}}),
                    {CommonFormat::kFloat32, kRate, 1, false}, nullptr, logged);
  EXPECT_EQ(capture.stderrText(), "");
}

}  // namespace
}  // namespace tellwyn
