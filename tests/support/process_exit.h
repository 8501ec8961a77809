#pragma once

#include <optional>
#include <utility>

#include "platform/fake/fake_application.h"

namespace tellwyn::testing {

// Runs `action` and returns the status with which it ended the process
// through FakeApplication::exitProcess, or nothing when it returned. The
// test's thread only.
template <typename Action>
std::optional<int> exitStatusOf(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const ProcessExit& exit) {
    return exit.status;
  }
  return std::nullopt;
}

}  // namespace tellwyn::testing
