#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/io_result.h"

namespace pvdb::core {

// The syntax failures of the JSON decoder; each has one fixed description.
enum class JsonSyntax {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidCodePoint,
  ControlCharacter,
  KeyMustBeString,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  TrailingComma,
  TrailingCharacters,
  RecursionLimit,
};

// What a decoded JSON value had to be, named in type and length errors.
enum class JsonExpected {
  String,
  F32,
  Usize,
  Sequence,
  Unit,
  VariantIdentifier,
  VectorEntry,
  Snapshot,
  WalRecord,
  DeleteVariant,
  VectorEntryElements,
  SnapshotElements,
  DeleteElements,
};

// The value a JSON decoder found where it expected something else. `text` is the
// integer's digits, the float already formatted, or the decoded string.
struct JsonFound {
  enum class Kind { Null, Bool, Integer, Float, String, Sequence, Map };
  Kind kind = Kind::Null;
  std::string text;
};

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
  // A failed call to the operating system, by its errno or its own failure.
  static VectorDbError from_os(base::IoError error);
  // The reading and writing layer's own failures, with fixed texts.
  static VectorDbError invalid_utf8();
  static VectorDbError write_zero();
  static VectorDbError flush_zero();
  static VectorDbError nul_in_path();
  // The store's files hold changes by another writer that this store has not read.
  static VectorDbError files_changed();
  // A JSON error; line 0 means the position is unknown.
  static VectorDbError json(std::string description, std::uint64_t line = 0,
                            std::uint64_t column = 0);
  // JSON decoding failures at `line`/`column` (0/0 when not yet known).
  static VectorDbError json_syntax(JsonSyntax code, std::uint64_t line, std::uint64_t column);
  static VectorDbError json_missing_field(std::string_view name);
  static VectorDbError json_duplicate_field(std::string_view name);
  static VectorDbError json_unknown_variant(std::string_view name);
  static VectorDbError json_invalid_type(const JsonFound& found, JsonExpected expected);
  static VectorDbError json_invalid_value(const JsonFound& found, JsonExpected expected);
  static VectorDbError json_invalid_length(std::uint64_t length, JsonExpected expected);
  // A held array with more elements than its type takes.
  static VectorDbError json_invalid_length_in_sequence(std::uint64_t length,
                                                       std::uint64_t expected);
  // Gives a position to a JSON error made before its position was known.
  void set_position(std::uint64_t line, std::uint64_t column) {
    line_ = line;
    column_ = column;
  }
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
