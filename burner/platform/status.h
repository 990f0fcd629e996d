// status.h: failures as values. No exception crosses a public method of the
// component; inside, operations return a Status (or a Result<T>) whose text is
// the French message a user reads in the log.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace zamo {

class [[nodiscard]] Status {
 public:
  enum class Code { kOk, kIoError, kNotFound, kInvalid, kInternal, kAborted, kUnsupported };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status IoError(std::string text) { return Status(Code::kIoError, std::move(text)); }
  static Status NotFound(std::string text) { return Status(Code::kNotFound, std::move(text)); }
  static Status Invalid(std::string text) { return Status(Code::kInvalid, std::move(text)); }
  static Status Internal(std::string text) { return Status(Code::kInternal, std::move(text)); }
  static Status Aborted(std::string text) { return Status(Code::kAborted, std::move(text)); }
  static Status Unsupported(std::string text) { return Status(Code::kUnsupported, std::move(text)); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // The text shown to the user; empty for success.
  const std::string& UserText() const { return text_; }

 private:
  Status(Code code, std::string text) : code_(code), text_(std::move(text)) {}
  Code code_ = Code::kOk;
  std::string text_;
};

// A value or the Status that explains why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) { assert(!status_.ok()); }  // NOLINT

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace zamo
