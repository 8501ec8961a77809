#include "app/auth_status.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/testing_platform.h"
#include "support/output_capture.h"
#include "support/process_exit.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

TEST(AuthStatusTest, LabelsFollowEachEnumeration) {
  const struct {
    int raw;
    const char* mic;
    const char* speech;
  } cases[] = {
      {0, "not_determined", "not_determined"},
      {1, "restricted", "denied"},
      {2, "denied", "restricted"},
      {3, "authorized", "authorized"},
      {4, "unknown", "unknown"},
      {-1, "unknown", "unknown"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(micStatusLabel(c.raw), c.mic) << c.raw;
    EXPECT_EQ(speechStatusLabel(c.raw), c.speech) << c.raw;
  }
}

// What one run of the mode left behind.
struct Outcome {
  std::optional<int> exitStatus;
  std::string out;
  std::vector<std::string> err;
};

Outcome runReport(TestingPlatform& fakes, const std::optional<std::string>& file) {
  Outcome outcome;
  OutputCapture capture;
  outcome.exitStatus = testing::exitStatusOf([&] { printAuthStatusAndExit(file, fakes.platform); });
  outcome.out = capture.stdoutText();
  outcome.err = capture.stderrLines();
  return outcome;
}

TEST(AuthStatusTest, ReportLineForEachStatusPair) {
  const struct {
    int mic;
    int speech;
    std::optional<std::string> identifier;
    std::optional<std::string> executable;
    std::string line;
  } cases[] = {
      {3, 1, "org.tellwyn.Tellwyn", "/opt/t/tellwyn",
       R"({"microphone":"authorized","speech":"denied","micGranted":true,"speechGranted":false,)"
       R"("bundleIdentifier":"org.tellwyn.Tellwyn","executablePath":"\/opt\/t\/tellwyn"})"},
      {1, 2, "x", "/e",
       R"({"microphone":"restricted","speech":"restricted","micGranted":false,)"
       R"("speechGranted":false,"bundleIdentifier":"x","executablePath":"\/e"})"},
      {2, 3, std::nullopt, "/e",
       R"({"microphone":"denied","speech":"authorized","micGranted":false,"speechGranted":true,)"
       R"("executablePath":"\/e"})"},
      {0, 0, "x", std::nullopt,
       R"({"microphone":"not_determined","speech":"not_determined","micGranted":false,)"
       R"("speechGranted":false,"bundleIdentifier":"x"})"},
      {4, -1, std::nullopt, std::nullopt,
       R"({"microphone":"unknown","speech":"unknown","micGranted":false,"speechGranted":false})"},
  };
  for (const auto& c : cases) {
    TestingPlatform fakes;
    fakes.microphone.status = c.mic;
    fakes.speech.status = c.speech;
    fakes.bundle.identifier = c.identifier;
    fakes.bundle.executable = c.executable;
    const auto outcome = runReport(fakes, std::nullopt);
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.out, c.line + "\n");
    EXPECT_TRUE(outcome.err.empty());
    EXPECT_EQ(fakes.files.writes, 0);
    EXPECT_EQ(fakes.microphone.requests + fakes.speech.authorizationRequests, 0);
  }
}

TEST(AuthStatusTest, ReportFileGetsTheLineWithoutItsFeed) {
  TestingPlatform fakes;
  const auto outcome = runReport(fakes, "/tmp/report.json");
  EXPECT_EQ(outcome.exitStatus, 0);
  ASSERT_TRUE(outcome.out.ends_with('\n'));
  EXPECT_EQ(fakes.files.files,
            (std::map<std::string, std::string>{
                {"/tmp/report.json", outcome.out.substr(0, outcome.out.size() - 1)}}));
  EXPECT_TRUE(outcome.err.empty());
}

TEST(AuthStatusTest, EmptyFilePathCountsAsNoFile) {
  TestingPlatform fakes;
  const auto outcome = runReport(fakes, "");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_FALSE(outcome.out.empty());
  EXPECT_EQ(fakes.files.writes, 0);
  EXPECT_TRUE(outcome.err.empty());
}

TEST(AuthStatusTest, FailedFileWriteIsOneDebugLineAndStillStatusZero) {
  TestingPlatform fakes;
  fakes.files.failure = Error{"posix", 2, "No such file or directory"};
  fakes.files.files["/nowhere/report.json"] = "old";
  const auto outcome = runReport(fakes, "/nowhere/report.json");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_FALSE(outcome.out.empty());
  EXPECT_EQ(outcome.err, std::vector<std::string>{
                             "debug: auth status file write failed: No such file or directory"});
  EXPECT_EQ(fakes.files.files.at("/nowhere/report.json"), "old");
}

TEST(AuthStatusTest, RecordThatDoesNotEncodeWritesNothingAnywhere) {
  TestingPlatform fakes;
  fakes.bundle.executable = std::string("/bad/\xFF");
  const auto outcome = runReport(fakes, "/tmp/report.json");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_TRUE(outcome.out.empty());
  EXPECT_TRUE(outcome.err.empty());
  EXPECT_EQ(fakes.files.writes, 0);
}

}  // namespace
}  // namespace tellwyn
