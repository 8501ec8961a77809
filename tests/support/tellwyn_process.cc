#include "support/tellwyn_process.h"

#include <chrono>

namespace tellwyn::testing {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool isPartialLine(const std::string& line) { return startsWith(line, R"({"type":"partial",)"); }
bool isFinalLine(const std::string& line) { return startsWith(line, R"({"type":"final",)"); }
bool isErrorLine(const std::string& line) { return startsWith(line, R"({"type":"error",)"); }

bool isCaptureEndedLine(const std::string& line) {
  return startsWith(line, R"({"type":"error","code":"retryable",)") &&
         line.find(R"("message":"Audio capture ended)") != std::string::npos;
}

std::string finalLine(const std::string& text) {
  return R"({"type":"final","text":")" + text + "\"}";
}

std::string describeOutput(ChildProcess& child) {
  std::string text = "stdout:\n";
  for (const auto& line : child.stdoutLines()) text += "  " + line + "\n";
  text += "stderr:\n";
  for (const auto& line : child.stderrLines()) text += "  " + line + "\n";
  return text;
}

bool onlyJsonAndDebugLines(ChildProcess& child) {
  for (const auto& line : child.stdoutLines()) {
    if (!startsWith(line, "{") && !startsWith(line, "[")) return false;
  }
  for (const auto& line : child.stderrLines()) {
    if (!startsWith(line, "debug: ")) return false;
  }
  return true;
}

std::map<std::string, std::optional<std::string>> inEnglish(
    std::map<std::string, std::optional<std::string>> environment) {
  environment["LANG"] = "en_US.UTF-8";
  environment["LC_ALL"] = std::nullopt;
  environment["LC_MESSAGES"] = std::nullopt;
  return environment;
}

RunResult runTellwyn(const std::vector<std::string>& arguments,
                     const std::map<std::string, std::optional<std::string>>& environment) {
  std::vector<std::string> command = {TELLWYN_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProcess(command, inEnglish(environment));
}

std::unique_ptr<ChildProcess> startTellwyn(PulseServer& server, const std::string& source,
                                           const std::vector<std::string>& extra) {
  std::vector<std::string> arguments = {"--device-id=" + source};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return startTellwynOnDefault(server, arguments);
}

std::unique_ptr<ChildProcess> startTellwynOnDefault(PulseServer& server,
                                                    const std::vector<std::string>& extra) {
  std::vector<std::string> arguments = {TELLWYN_BINARY};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return std::make_unique<ChildProcess>(arguments, inEnglish(server.clientEnvironment()));
}

bool waitForCaptureSetUp(ChildProcess& child) {
  return child
      .waitForStderrLine(
          [](const std::string& line) { return startsWith(line, "debug: input format "); },
          std::chrono::seconds(30))
      .has_value();
}

}  // namespace tellwyn::testing
