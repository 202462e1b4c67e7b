#pragma once

#include <optional>
#include <utility>

namespace pvdb::base {

// Why a call to the operating system failed: the errno it set, or one of the two
// failures that no errno names. The layers above turn it into their own errors.
struct IoError {
  static constexpr int kNulInPath = -1;  // a path with a zero byte, refused before any call
  static constexpr int kWriteZero = -2;  // a write that took no byte and reported no error

  int code;

  // The path names nothing (ENOENT).
  bool absent() const;
  // A file too large to read into memory (EFBIG).
  static IoError too_large();
};

// The value of a call to the operating system, or why it failed. No exceptions: the
// caller checks ok() and then reads value() or error().
template <class T>
class [[nodiscard]] IoResult {
 public:
  IoResult(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  IoResult(IoError error) : error_(error) {}       // NOLINT: implicit by design

  bool ok() const { return value_.has_value(); }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  IoError error() const { return error_; }

 private:
  std::optional<T> value_;
  IoError error_{0};
};

template <>
class [[nodiscard]] IoResult<void> {
 public:
  IoResult() = default;
  IoResult(IoError error) : error_(error) {}  // NOLINT: implicit by design

  bool ok() const { return error_.code == 0; }
  IoError error() const { return error_; }

 private:
  IoError error_{0};
};

}  // namespace pvdb::base
