// The device-listing mode of the real executable, against the private sound
// server and without any server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"

namespace tellwyn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

void expectOnlyDebugLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) EXPECT_EQ(line.rfind("debug: ", 0), 0u) << line;
}

class ListDevicesOnBothServersTest : public ::testing::TestWithParam<testing::PulseServerKind> {};

TEST_P(ListDevicesOnBothServersTest, PrintsEverySourceOfTheServerInOrder) {
  auto& server = testing::sharedPulseServer(GetParam());
  // The sources with their descriptions, as pactl sees them.
  std::vector<std::string> names, descriptions;
  for (const auto& line : server.pactlLines({"list", "short", "sources"})) {
    std::istringstream fields(line);
    std::string index, name;
    fields >> index >> name;
    names.push_back(name);
  }
  for (const auto& line : server.pactlLines({"list", "sources"})) {
    const auto at = line.find("Description: ");
    if (at != std::string::npos) descriptions.push_back(line.substr(at + 13));
  }
  ASSERT_EQ(names.size(), descriptions.size());
  nlohmann::json expected = nlohmann::json::array();
  for (std::size_t i = 0; i < names.size(); ++i) {
    expected.push_back({{"deviceId", names[i]}, {"label", descriptions[i]}});
  }

  const auto result = testing::runTellwyn({"--list-devices"}, server.clientEnvironment());
  EXPECT_FALSE(result.status.timedOut);
  EXPECT_EQ(result.status.code, 0);
  ASSERT_EQ(result.stdoutLines.size(), 1u);
  const auto printed = nlohmann::json::parse(result.stdoutLines[0], nullptr, false);
  EXPECT_EQ(printed, expected) << result.stdoutLines[0];
  EXPECT_THAT(
      names, ElementsAre("tellwyn_null.monitor", testing::kMono16Source, testing::kStereo48Source));
  expectOnlyDebugLines(result.stderrLines);
  // Listing changes nothing on the server.
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(testing::kMono16Source));
}

INSTANTIATE_TEST_SUITE_P(BothServers, ListDevicesOnBothServersTest,
                         ::testing::ValuesIn(testing::kBothServerKinds),
                         testing::serverKindTestName);

TEST(ListDevicesTest, PrintsAnEmptyListWithoutAServer) {
  const auto result = testing::runTellwyn({"--list-devices"});
  EXPECT_FALSE(result.status.timedOut);
  EXPECT_EQ(result.status.code, 0);
  EXPECT_THAT(result.stdoutLines, ElementsAre("[]"));
  EXPECT_THAT(result.stderrLines, IsEmpty());
}

}  // namespace
}  // namespace tellwyn
