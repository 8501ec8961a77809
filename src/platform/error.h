#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tellwyn {

// A failure passed between components: where it came from (domain), a number
// that identifies it within that domain (code) and a human-readable text
// (description). Callers show only the description.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  bool operator==(const Error&) const = default;
};

// A value or the error that prevented it. Immutable once built; any thread.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const Error& error() const { return std::get<Error>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Success without a value, or an error.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit by design

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tellwyn
