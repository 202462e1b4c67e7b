#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pvdb::core {

enum class ErrorKind {
  Io,
  Json,
  DimensionMismatch,
  EmptyEmbedding,
  // Added beyond the four original kinds: a NaN or infinite element is written as
  // null and can never be read back, so the store refuses it before writing.
  NonFiniteEmbedding,
};

// The store core's one error type. A value: moved to the caller, never shared.
// Every message text of the store core is produced in error.cc.
class VectorDbError {
 public:
  // An operating-system error number (errno).
  static VectorDbError io_errno(int code);
  // The reading and writing layer's own failures, with fixed texts.
  static VectorDbError invalid_utf8();
  static VectorDbError write_zero();
  static VectorDbError flush_zero();
  static VectorDbError nul_in_path();
  // A JSON error; line 0 means the position is unknown.
  static VectorDbError json(std::string description, std::uint64_t line = 0,
                            std::uint64_t column = 0);
  static VectorDbError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static VectorDbError empty_embedding();
  // `id` is empty for a write; compaction names the record that holds the value.
  static VectorDbError non_finite_embedding();
  static VectorDbError non_finite_entry(std::string_view id);

  ErrorKind kind() const { return kind_; }
  // The errno of an Io error from the operating system, else 0.
  int os_code() const { return code_; }
  std::uint64_t line() const { return line_; }
  std::uint64_t column() const { return column_; }
  // The description alone (Json), without position.
  const std::string& description() const { return text_; }
  // The one textual form, exactly what a Python caller reads.
  std::string message() const;

 private:
  VectorDbError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  std::string text_;
  int code_ = 0;
  std::uint64_t line_ = 0;
  std::uint64_t column_ = 0;
  std::uint64_t expected_ = 0;
  std::uint64_t got_ = 0;
};

}  // namespace pvdb::core
