// The outcome of an operation that can fail: `Status` is a code and a
// message, `Result<T>` a value or the Status that explains why there is none.
// The message is the text the administrator or the log sees, in the system's
// own words; the code lets callers act on the kind of failure.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace corvan {

enum class StatusCode : std::uint8_t {
  kOk,
  kInvalidInput,    // the request itself is wrong: a bad value or name
  kNotFound,        // a named file, user or record does not exist
  kRefused,         // valid, but not now (the server is running, a question is open)
  kIoFailed,        // a file or socket operation failed
  kDatabaseFailed,  // the database reported an error
  kInternal,        // an invariant of the program does not hold
};

class Status {
 public:
  // Success.
  Status() = default;
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }

  bool IsOk() const { return code_ == StatusCode::kOk; }
  StatusCode Code() const { return code_; }
  const std::string& Message() const { return message_; }

  friend bool operator==(const Status&, const Status&) = default;

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

template <typename T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  // A failure. A successful Status carries no value, so it is kept as an
  // internal failure rather than as a Result that claims to hold one.
  Result(Status status)
      : state_(std::in_place_index<1>,
               status.IsOk() ? Status(StatusCode::kInternal, "result without a value") : std::move(status)) {}

  bool IsOk() const { return state_.index() == 0; }

  // The value; only when IsOk() (otherwise throws std::bad_variant_access).
  T& Value() & { return std::get<0>(state_); }
  const T& Value() const& { return std::get<0>(state_); }
  T&& Value() && { return std::get<0>(std::move(state_)); }

  T ValueOr(T fallback) const& { return IsOk() ? std::get<0>(state_) : std::move(fallback); }

  // Success, or why there is no value.
  Status GetStatus() const { return IsOk() ? Status() : std::get<1>(state_); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace corvan
