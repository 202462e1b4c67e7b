#pragma once

#include <optional>
#include <utility>

#include "base/io_result.h"
#include "core/error.h"

namespace pvdb::core {

// The value of a fallible operation, or its one error. No exceptions: the caller
// checks ok() and then reads value() or takes error().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}              // NOLINT: implicit by design
  Result(VectorDbError error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return value_.has_value(); }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  const VectorDbError& error() const& { return *error_; }
  VectorDbError&& error() && { return std::move(*error_); }

 private:
  std::optional<T> value_;
  std::optional<VectorDbError> error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(VectorDbError error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  const VectorDbError& error() const& { return *error_; }
  VectorDbError&& error() && { return std::move(*error_); }

 private:
  std::optional<VectorDbError> error_;
};

// The core's form of an operating-system call's result: a failure becomes an Io error
// with the system's own message.
template <class T>
Result<T> from_os(base::IoResult<T>&& result) {
  if (!result.ok()) return VectorDbError::from_os(result.error());
  return std::move(result).value();
}

inline Result<void> from_os(base::IoResult<void> result) {
  if (!result.ok()) return VectorDbError::from_os(result.error());
  return {};
}

}  // namespace pvdb::core
