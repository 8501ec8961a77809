#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"

namespace tellwyn::testing {

// Helpers for tests that run build/tellwyn in streaming mode against a
// private sound server. The test thread only.

bool startsWith(const std::string& text, const std::string& prefix);
bool isPartialLine(const std::string& line);
bool isFinalLine(const std::string& line);
bool isErrorLine(const std::string& line);
// A retryable error line whose message says the capture ended (the sound
// server or the chosen source went away).
bool isCaptureEndedLine(const std::string& line);
// The stdout line of a final with `text`.
std::string finalLine(const std::string& text);

// Every stdout and stderr line of `child` so far, for failure messages.
std::string describeOutput(ChildProcess& child);
// Whether stdout holds only JSON lines and stderr only debug lines.
bool onlyJsonAndDebugLines(ChildProcess& child);

// `environment` with an English locale (LANG=en_US.UTF-8, no LC_ALL or
// LC_MESSAGES), as tellwyn is run in these tests.
std::map<std::string, std::optional<std::string>> inEnglish(
    std::map<std::string, std::optional<std::string>> environment);

// Runs tellwyn with `arguments` to its end, in an English locale and by
// default with no sound server reachable.
RunResult runTellwyn(const std::vector<std::string>& arguments,
                     const std::map<std::string, std::optional<std::string>>& environment =
                         noPulseServerEnvironment());

// Starts tellwyn with --device-id=`source` and `extra` arguments, pointed at
// `server`, in an English locale.
std::unique_ptr<ChildProcess> startTellwyn(PulseServer& server, const std::string& source,
                                           const std::vector<std::string>& extra = {});
// Starts tellwyn without --device-id (capture from the server's default
// source), otherwise as startTellwyn does.
std::unique_ptr<ChildProcess> startTellwynOnDefault(PulseServer& server,
                                                    const std::vector<std::string>& extra = {});
// Waits (up to 30 s) for the "input format" debug line that comes as capture
// is set up.
bool waitForCaptureSetUp(ChildProcess& child);

}  // namespace tellwyn::testing
