#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace tellwyn::testing {

// Sets (or, with an absent value, removes) one environment variable of this
// process and puts the old value back when it goes. The test's thread only,
// while no other thread reads the environment.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) saved_ = old;
    apply(value);
  }
  ~ScopedEnvironmentVariable() { apply(saved_); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace tellwyn::testing
